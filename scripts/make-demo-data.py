#!/usr/bin/python3
"""Makes data/demo.wav: two talkers heard by two microphones 18 cm apart.

A male voice speaks from -30 degrees and a female voice from +40 degrees
(0 straight ahead, positive towards the second, right microphone, which then
hears the sound first), their sentences overlapping by about a second. The
first half second holds only a faint background noise, which runs on under the
speech so that the recording is never digital silence. 16 kHz, 2 channels,
16-bit PCM, about 5 s.

Free-field model: a source at azimuth theta reaches the left microphone
d * sin(theta) / c later than the right one (d = 18 cm, c = 34050 cm/s); each
channel gets half of that delay, as a fractional delay applied in the frequency
domain. Needs espeak-ng, numpy and scipy.

usage: scripts/make-demo-data.py [OUTPUT.wav]
"""
import os
import sys
import wave

import numpy as np

from wav16 import speak

RATE = 16000
DISTANCE_CM = 18.0
SOUND_SPEED_CM = 34050.0
LEAD_IN_S = 0.5
DURATION_S = 5.0

TALKERS = [
    # voice, words per minute, azimuth (degrees), start (s), text
    ("en-us+m3", 165, -30.0, 0.55, "The robot turned its head towards the open door."),
    ("en-us+f4", 170, 40.0, 2.0, "Two voices can be heard from two directions."),
]




def delayed(x, seconds, length):
    """x delayed by `seconds` (fractional, may be negative), in `length` samples."""
    n = 1
    while n < length + len(x):
        n *= 2
    spectrum = np.fft.rfft(x, n)
    freqs = np.fft.rfftfreq(n, 1.0 / RATE)
    y = np.fft.irfft(spectrum * np.exp(-2j * np.pi * freqs * seconds), n)
    return y[:length]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "data", "demo.wav")
    length = int(DURATION_S * RATE)
    mix = np.zeros((2, length))
    for voice, speed, azimuth, start, text in TALKERS:
        speech = 9000.0 * speak(voice, speed, text)
        tau = DISTANCE_CM * np.sin(np.radians(azimuth)) / SOUND_SPEED_CM  # left lags right by tau
        offset = start
        mix[0] += delayed(speech, offset + tau / 2, length)
        mix[1] += delayed(speech, offset - tau / 2, length)
    rng = np.random.default_rng(20240607)
    mix += rng.normal(0.0, 30.0, size=mix.shape)  # background noise, independent per microphone
    pcm = np.clip(np.round(mix), -32768, 32767).astype("<i2")
    with wave.open(out, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.T.tobytes())
    lead = np.max(np.abs(pcm[:, : int(LEAD_IN_S * RATE)]))
    print(f"{out}: {length / RATE:.1f} s, 2 channels at {RATE} Hz; lead-in peak {lead}, overall peak "
          f"{np.max(np.abs(pcm))}")


if __name__ == "__main__":
    main()
