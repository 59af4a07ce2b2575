#!/usr/bin/env python3
"""Writes the station's alarm sound, src/app/sounds/alarm.wav: two tones
(880 Hz then 660 Hz, 0.25 s each, with short fades so they do not click),
16-bit PCM, mono, 16 kHz. The window plays it again every 2 s while an alarm
waits for its acknowledgement.

    python3 scripts/make-alarm-sound.py
"""
import math
import os
import struct
import wave

RATE = 16000
TONES = [(880.0, 0.25), (660.0, 0.25)]
FADE = 0.01
VOLUME = 0.6


def samples():
    for freq, seconds in TONES:
        count = int(RATE * seconds)
        fade = int(RATE * FADE)
        for n in range(count):
            gain = min(1.0, n / fade, (count - 1 - n) / fade)
            yield int(32767 * VOLUME * gain * math.sin(2 * math.pi * freq * n / RATE))


def main():
    path = os.path.join(os.path.dirname(__file__), "..", "src", "app", "sounds", "alarm.wav")
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(b"".join(struct.pack("<h", s) for s in samples()))


if __name__ == "__main__":
    main()
