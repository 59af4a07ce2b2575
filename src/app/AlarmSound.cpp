#include "app/AlarmSound.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

// The resources of a static library are registered by hand.
static void InitSoundResources() {
    Q_INIT_RESOURCE(sounds);
}

TAlarmSound::TAlarmSound(QObject* parent) : QObject(parent) {
    InitSoundResources();
    FRepeat.setObjectName(QStringLiteral("AlarmSoundTimer"));
    FRepeat.setInterval(kAlarmSoundRepeatMs);
    connect(&FRepeat, &QTimer::timeout, this, [this] { Play(); });
}

TAlarmSound::~TAlarmSound() {
    FRepeat.stop();
    if (FEffect != nullptr) FEffect->stop();
}

void TAlarmSound::SetOn(bool on) {
    if (on == On()) return;
    if (!on) {
        FRepeat.stop();
        if (FEffect != nullptr) FEffect->stop();
        return;
    }
    FRepeat.start();
    Play();
}

void TAlarmSound::Play() {
    // A device plugged in later is used from then on; none means silence.
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) return;
    if (FEffect == nullptr) {
        FEffect = new QSoundEffect(this);
        FEffect->setSource(QUrl(QString::fromUtf8(kAlarmSoundUrl)));
    }
    if (FEffect->audioDevice() != device) FEffect->setAudioDevice(device);
    // Still loading, or it could not be loaded: this tone is skipped, the
    // next one tries again.
    if (FEffect->status() != QSoundEffect::Ready) return;
    FEffect->play();
    ++FPlays;
}
