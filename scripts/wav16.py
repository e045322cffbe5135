"""16-bit WAV files as the evaluation scripts read and write them, and espeak-ng speech.

Channels are rows of floats on the -1 .. 1 scale (a sample of 32768 is 1.0).
"""
import os
import subprocess
import tempfile
import wave

import numpy as np
from scipy.signal import resample_poly

RATE = 16000


def read_wav(path):
    """The channels of a 16-bit WAV file, one row each."""
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2, path
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
        return data.reshape(-1, w.getnchannels()).T / 32768.0


def write_wav(path, channels, rate=RATE):
    """Rows of samples as a 16-bit WAV file, rounded and clipped."""
    pcm = np.clip(np.round(np.asarray(channels).T * 32768.0), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(pcm.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


def speak(voice, speed, text, rate=RATE):
    """Mono speech from espeak-ng at `rate`, peak-normalised."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "voice.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-w", path, text], check=True)
        with wave.open(path) as w:
            own = w.getframerate()
            x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
    g = np.gcd(own, rate)
    x = resample_poly(x, rate // g, own // g)
    return x / np.max(np.abs(x))
