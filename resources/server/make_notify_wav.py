#!/usr/bin/env python3
"""Writes notify.wav, the console's own alert sound: two short rising sine chimes with a soft
attack and decay, 22050 Hz, 16-bit mono. Run it to regenerate the committed file."""
import math
import struct
import sys
import wave

RATE = 22050


def chime(freq, seconds, volume=0.45):
    n = int(RATE * seconds)
    out = []
    for i in range(n):
        t = i / RATE
        attack = min(1.0, i / (RATE * 0.01))
        decay = math.exp(-5.0 * t / seconds)
        s = math.sin(2 * math.pi * freq * t) + 0.3 * math.sin(2 * math.pi * 2 * freq * t)
        out.append(int(32767 * volume * attack * decay * s / 1.3))
    return out


def main(path):
    samples = chime(880.0, 0.14) + [0] * int(RATE * 0.03) + chime(1318.5, 0.22)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", s) for s in samples))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "notify.wav")
