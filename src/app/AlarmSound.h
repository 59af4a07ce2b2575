#pragma once
// The alarm's sound: a short tone of our own (":/sounds/alarm.wav"), played
// when switched on and again every 2 s until switched off. Without a sound
// device, or when the sound cannot be played, it stays silent: never a
// message, never an error. The sound system is only touched at the first
// alarm, so a station without alarms never opens it.

#include <QObject>
#include <QTimer>

class QSoundEffect;

// The resource the tone is played from.
inline constexpr const char* kAlarmSoundUrl = "qrc:/sounds/alarm.wav";
// From the start of one tone to the start of the next.
inline constexpr int kAlarmSoundRepeatMs = 2000;

class TAlarmSound : public QObject {
    Q_OBJECT
  public:
    explicit TAlarmSound(QObject* parent = nullptr);
    ~TAlarmSound() override;

    // Starts (at once, then every 2 s) or stops the tone; the same state
    // again changes nothing.
    void SetOn(bool on);
    bool On() const { return FRepeat.isActive(); }
    // How many times the tone was started while a sound device was there.
    int Plays() const { return FPlays; }
    // The sound system's effect; nil until the first tone was due.
    QSoundEffect* Effect() const { return FEffect; }

  private:
    void Play();

    QTimer FRepeat;
    QSoundEffect* FEffect = nullptr;
    int FPlays = 0;
};
