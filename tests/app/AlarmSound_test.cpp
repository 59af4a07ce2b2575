// The alarm tone: our own sound in the resources, repeated while on, and
// silent without a sound device (the test machines have none).

#include "app/AlarmSound.h"

#include <gtest/gtest.h>

#include <QAudioDevice>
#include <QFile>
#include <QMediaDevices>
#include <QSignalSpy>
#include <QSoundEffect>
#include <QTest>
#include <QUrl>
#include <cstdint>
#include <cstring>

#include "app/StationTestSupport.h"

namespace {

uint32_t Le32(const QByteArray& bytes, int at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.constData() + at, 4);
    return value;
}

uint16_t Le16(const QByteArray& bytes, int at) {
    uint16_t value = 0;
    std::memcpy(&value, bytes.constData() + at, 2);
    return value;
}

}  // namespace

// A plain PCM wave that any backend plays, shorter than the repeat, so one
// tone never runs into the next.
TEST(AlarmSound, TheToneIsAShortPcmWaveInTheResources) {
    TAlarmSound sound;  // registers the resources
    QFile file(QStringLiteral(":/sounds/alarm.wav"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_GE(bytes.size(), 44);
    EXPECT_EQ(bytes.left(4), "RIFF");
    EXPECT_EQ(bytes.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(Le16(bytes, 20), 1);  // PCM
    const uint16_t channels = Le16(bytes, 22);
    const uint32_t rate = Le32(bytes, 24);
    const uint16_t bits = Le16(bytes, 34);
    EXPECT_EQ(bytes.mid(36, 4), "data");
    const uint32_t dataBytes = Le32(bytes, 40);
    EXPECT_EQ(static_cast<qsizetype>(dataBytes) + 44, bytes.size());
    const double seconds = static_cast<double>(dataBytes) / (rate * channels * bits / 8.0);
    EXPECT_GT(seconds, 0.2);
    EXPECT_LT(seconds * 1000, kAlarmSoundRepeatMs / 2);

    // The sound system decodes it (also without a device to play it on).
    QSoundEffect effect;
    effect.setSource(QUrl(QString::fromUtf8(kAlarmSoundUrl)));
    QTRY_VERIFY_WITH_TIMEOUT(
        effect.status() != QSoundEffect::Loading && effect.status() != QSoundEffect::Null, 10000);
    EXPECT_EQ(effect.status(), QSoundEffect::Ready);
}

TEST(AlarmSound, RepeatsWhileOnAndStaysSilentWithoutADevice) {
    TMessageLog log;
    TAlarmSound sound;
    EXPECT_FALSE(sound.On());
    sound.SetOn(true);
    EXPECT_TRUE(sound.On());
    sound.SetOn(true);  // the same state again: nothing restarts
    EXPECT_TRUE(sound.On());
    QTest::qWait(kAlarmSoundRepeatMs + 500);
    if (QMediaDevices::defaultAudioOutput().isNull()) {
        // Nothing to play on: no effect is made, nothing is said.
        EXPECT_EQ(sound.Effect(), nullptr);
        EXPECT_EQ(sound.Plays(), 0);
    } else {
        EXPECT_GE(sound.Plays(), 1);
    }
    sound.SetOn(false);
    EXPECT_FALSE(sound.On());
    const int plays = sound.Plays();
    QTest::qWait(kAlarmSoundRepeatMs + 500);
    EXPECT_EQ(sound.Plays(), plays);
    EXPECT_TRUE(log.Messages().isEmpty()) << log.Messages().join('\n').toStdString();
}
