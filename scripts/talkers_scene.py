#!/usr/bin/python3
"""Renders a 24-s scene of three talkers heard by two microphones 18 cm apart (free field,
16 kHz, 2 channels, 16-bit PCM), for evaluating trackers:

  walker  speaks 1.0-11.0 s and 12.2-23.0 s while walking from -60 degrees (at 1 s) to
          +30 degrees (at 21 s), then stands still;
  still   speaks 3.0-13.0 s and 14.3-23.5 s at +50 degrees;
  brief   speaks 2.5-9.5 s (7 s) at -5 degrees.

From 3.0 to 9.5 s all three speak at once. The first second holds only background noise
(independent per microphone), which runs on under the speech. Voices come from espeak-ng
(its own pauses between sentences stay in). Azimuth 0 is straight ahead, positive towards
the second (right) microphone, which then hears the source first.

Delays change sample by sample: a source at azimuth theta(t) reaches the left microphone
tau(t) / 2 late and the right one tau(t) / 2 early, tau = d sin(theta) / c, each channel
read from the source signal at its fractional position through a 32-tap Kaiser-windowed
sinc interpolator.

usage: scripts/talkers_scene.py OUTPUT.wav
As a module: TALKERS, azimuth(talker, t), active(talker, t), render(path).
"""
import sys
import wave

import numpy as np

from wav16 import speak

RATE = 16000
DURATION_S = 24.0
DISTANCE_CM = 18.0
SOUND_SPEED_CM = 34050.0
LEVEL = 6000.0            # speech peak, 16-bit scale
BACKGROUND = 30.0         # noise standard deviation per microphone

SENTENCES = [
    "The robot turned its head towards the open door and listened carefully.",
    "Two voices can be heard from two directions at the same time.",
    "Please bring the red box from the kitchen to the table by the window.",
    "We measured the delay between the microphones for every direction.",
    "A third person walked slowly across the room while talking about the weather.",
    "The meeting starts at nine and should be over before lunch.",
    "Every frame of sound gives a new estimate of where the talker is.",
    "She asked whether the machine could tell the speakers apart.",
]

# name, espeak voice, words per minute, speaking intervals (s), path: list of (time s, azimuth deg)
TALKERS = [
    ("walker", "en-us+m3", 160, [(1.0, 11.0), (12.2, 23.0)], [(1.0, -60.0), (21.0, 30.0)]),
    ("still", "en-us+f4", 165, [(3.0, 13.0), (14.3, 23.5)], [(0.0, 50.0)]),
    ("brief", "en-gb+m1", 170, [(2.5, 9.5)], [(0.0, -5.0)]),
]


def azimuth(talker, t):
    """Azimuth in degrees of a talker at time(s) t: piecewise linear, constant outside its path."""
    times, angles = zip(*talker[4])
    return np.interp(t, times, angles)


def active(talker, t):
    """True where t lies in one of the talker's speaking intervals."""
    t = np.asarray(t, dtype=float)
    return np.any([(t >= a) & (t < b) for a, b in talker[3]], axis=0)




def speech_track(talker, index, length):
    """The talker's dry speech on the scene's time line: sentences one after another in each interval."""
    name, voice, speed, intervals, _ = talker
    out = np.zeros(length)
    k = index * 3
    for start, end in intervals:
        at, stop = int(start * RATE), int(end * RATE)
        while at < stop:
            s = speak(voice, speed, SENTENCES[k % len(SENTENCES)])
            k += 1
            n = min(len(s), stop - at)
            fade = np.ones(n)
            fade[-min(n, 160):] = np.linspace(1.0, 0.0, min(n, 160))  # a cut sentence ends softly
            out[at:at + n] = s[:n] * fade
            at += n
    return LEVEL * out


def fractional_read(x, position, taps=32):
    """x read at fractional sample positions (windowed-sinc interpolation, zero outside)."""
    base = np.floor(position).astype(np.int64)
    frac = position - base
    half = taps // 2
    window_beta = 8.0
    y = np.zeros(len(position))
    for k in range(-half + 1, half + 1):
        idx = base + k
        valid = (idx >= 0) & (idx < len(x))
        u = k - frac
        w = np.sinc(u) * np.i0(window_beta * np.sqrt(np.clip(1.0 - (u / half) ** 2, 0.0, 1.0))) / np.i0(window_beta)
        y += np.where(valid, x[np.clip(idx, 0, len(x) - 1)], 0.0) * w
    return y


def render(path, seed=20261206):
    length = int(DURATION_S * RATE)
    t = np.arange(length) / RATE
    mix = np.zeros((2, length))
    for i, talker in enumerate(TALKERS):
        s = speech_track(talker, i, length)
        tau = DISTANCE_CM * np.sin(np.radians(azimuth(talker, t))) / SOUND_SPEED_CM * RATE  # samples
        mix[0] += fractional_read(s, np.arange(length) - tau / 2)  # left hears it tau/2 late
        mix[1] += fractional_read(s, np.arange(length) + tau / 2)
    rng = np.random.default_rng(seed)
    mix += rng.normal(0.0, BACKGROUND, size=mix.shape)
    pcm = np.clip(np.round(mix), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.T.copy().tobytes())


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    render(sys.argv[1])
