"""Shared fixtures of the zelkbp tests: the demo recording as an array, WAV helpers,
flowrun and the example networks (paths from CTest's environment, or the build tree)."""
import os
import subprocess
import wave

import numpy as np
import pytest

import zelkbp

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
NETWORKS = os.environ.get("ZELKBP_NETWORKS", os.path.join(ROOT, "networks"))
FLOWRUN = os.path.abspath(os.environ.get("ZELKBP_FLOWRUN",
                         os.path.join(os.path.dirname(zelkbp.__file__), "..", "..", "bin", "flowrun")))
DEMO = os.path.join(ROOT, "data", "demo.wav")


def read_wav(path):
    """int16 samples of a WAV file as (channels, samples)."""
    with wave.open(str(path)) as w:
        data = np.frombuffer(w.readframes(w.getnframes()), "<i2")
        return data.reshape(-1, w.getnchannels()).T


def write_wav(path, x, rate=16000):
    x = np.asarray(x, dtype="<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(x.shape[0])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(x.T.tobytes())


def pcm16(x):
    """What AudioFileSink writes for float samples: rounded to nearest even, clipped."""
    return np.clip(np.rint(x), -32768, 32767).astype(np.int16)


def flowrun(network, *assignments):
    subprocess.run([FLOWRUN, network, "--quiet", *assignments], check=True,
                   stdout=subprocess.DEVNULL)


def network(name):
    return os.path.join(NETWORKS, name + ".n")


@pytest.fixture(scope="session")
def demo():
    """The demo recording: two talkers, 5 s, 16 kHz, (2, 80000) int16."""
    return read_wav(DEMO)
