"""Wrong arrays, rates and arguments raise clear exceptions; a failed frame stops the
stream with the host's message."""
import numpy as np
import pytest

import zelkbp
import subprocess

from conftest import DEMO, FLOWRUN, network

X = np.zeros((2, 1600), dtype=np.float32)


def enhancing(x):
    return lambda: zelkbp.Network("enhance").run(x)


@pytest.mark.parametrize("call, error, words", [
    (enhancing(np.zeros(1600, np.float32)), ValueError,
     "shape (channels, samples), got shape (1600,); for one channel"),
    (enhancing(np.zeros((1, 2, 1600), np.float32)), ValueError, "got shape (1, 2, 1600)"),
    (enhancing(np.zeros((0, 1600), np.float32)), ValueError, "at least one channel"),
    (enhancing(np.zeros((1600, 2), np.float32)), ValueError, "channels x samples; pass x.T"),
    (enhancing(np.zeros((2, 1600), np.int64)), TypeError, "float or int16 array"),
    (enhancing(np.zeros((2, 1600), np.complex64)), TypeError, "got dtype complex64"),
    (enhancing([["a", "b"]]), TypeError, "got dtype <U1"),
    (enhancing(np.full((2, 1600), np.nan, np.float32)), ValueError, "NaN"),
    (lambda: zelkbp.localize(X, 0), ValueError, "rate must be a positive whole number"),
    (lambda: zelkbp.localize(X, 16000.5), ValueError, "got 16000.5"),
    (lambda: zelkbp.localize(X, "16k"), ValueError, "got '16k'"),
    (lambda: zelkbp.Network("localize").run(X, rate=44100), ValueError,
     "at 44100 Hz but the network runs at 16000 Hz: give SAMPLING_RATE=44100"),
    (lambda: zelkbp.Network("vad", INPUT=DEMO).push(X), ValueError, "its input from a file"),
    (lambda: zelkbp.Network("nope"), FileNotFoundError, "the examples are enhance, localize"),
    (lambda: zelkbp.Network("localize", MICS_DISTANCE=[18]), TypeError,
     "argument MICS_DISTANCE: expected a number or a string, got list"),
])
def test_wrong_arrays_rates_and_arguments(call, error, words):
    with pytest.raises(error) as e:
        call()
    assert words in str(e.value)


def test_wrong_chunks_and_stream_order():
    net = zelkbp.Network("enhance")
    net.push(X)
    with pytest.raises(ValueError, match="the array has 1 channels, the stream has 2"):
        net.push(X[:1])
    with pytest.raises(ValueError, match=r"is it samples x channels\? pass x.T"):
        net.push(np.zeros((160, 2), np.float32))
    net.close()
    with pytest.raises(ValueError, match="the stream is closed"):
        net.push(X)
    with pytest.raises(ValueError, match="reads INPUT from an array"):
        net.run()


def flowrun_problems(name, args, cwd):
    """The lines flowrun prints for a network that does not load, without "flowrun: "."""
    run = subprocess.run([FLOWRUN, network(name), *(f"{k}={v}" for k, v in args.items())],
                         capture_output=True, text=True, cwd=cwd)
    problems = [line[len("flowrun: "):] for line in run.stderr.splitlines()]
    # An argument the network does not declare is a wrong command line.
    assert run.returncode == (2 if all(": unknown argument " in p for p in problems) else 1)
    return problems


@pytest.mark.parametrize("name, args", [
    ("localize", {"MICS_DISTANS": 18}),
    ("localize", {"MICS_DISTANCE": "far", "LENGTH": 0}),
    ("enhance", {"INPUT": "/no/such.wav"}),
    ("separate", {"SOURCES": 0, "CHANNELS": "0,x"}),
])
def test_wrong_arguments_say_what_flowrun_says(name, args, tmp_path):
    """The same lines as flowrun, naming the caller's file, lines and node types, with
    the input and the outputs left out (flowrun is given files for them)."""
    given = dict({"INPUT": DEMO}, **args)
    for output in zelkbp._zelkbp.network_ports(network(name))["outputs"]:
        given.setdefault(output, output.lower())
    with pytest.raises(zelkbp.LoadError) as e:
        zelkbp.Network(network(name), **args)
    assert isinstance(e.value, ValueError) and str(e.value) == "; ".join(e.value.problems)
    assert e.value.problems == flowrun_problems(name, given, tmp_path)


def test_a_failed_frame_stops_the_stream():
    """One channel into the two-microphone localization: the node's one-line message."""
    net = zelkbp.Network("localize")
    with pytest.raises(zelkbp.RunError) as e:
        net.run(np.zeros((1, 16000), np.float32))
    assert isinstance(e.value, RuntimeError) and "BinauralMultisourceLocalization" in str(e.value)
    with pytest.raises(zelkbp.RunError, match="stopped at an earlier error"):
        net.push(np.zeros((1, 160), np.float32))
