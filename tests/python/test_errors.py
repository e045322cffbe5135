"""Wrong arrays, rates and arguments raise clear exceptions; a failed frame stops the
stream with the host's message."""
import numpy as np
import pytest

import zelkbp
from conftest import DEMO, network

X = np.zeros((2, 1600), dtype=np.float32)


@pytest.mark.parametrize("x, error, words", [
    (np.zeros(1600, np.float32), ValueError, "shape (channels, samples), got shape (1600,); for one channel"),
    (np.zeros((1, 2, 1600), np.float32), ValueError, "got shape (1, 2, 1600)"),
    (np.zeros((0, 1600), np.float32), ValueError, "at least one channel"),
    (np.zeros((1600, 2), np.float32), ValueError, "channels x samples; pass x.T"),
    (np.zeros((2, 1600), np.int64), TypeError, "float or int16 array"),
    (np.zeros((2, 1600), np.complex64), TypeError, "got dtype complex64"),
    ([["a", "b"]], TypeError, "got dtype <U1"),
    (np.full((2, 1600), np.nan, np.float32), ValueError, "NaN"),
])
def test_wrong_arrays(x, error, words):
    with pytest.raises(error) as e:
        zelkbp.Network("enhance").run(x)
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
    with pytest.raises(ValueError, match="its input from a file"):
        zelkbp.Network("vad", INPUT=DEMO).push(X)


@pytest.mark.parametrize("call, words", [
    (lambda: zelkbp.localize(X, 0), "rate must be a positive whole number"),
    (lambda: zelkbp.localize(X, 16000.5), "got 16000.5"),
    (lambda: zelkbp.localize(X, "16k"), "got '16k'"),
    (lambda: zelkbp.Network("localize").run(X, rate=44100),
     "at 44100 Hz but the network runs at 16000 Hz: give SAMPLING_RATE=44100"),
])
def test_wrong_rates(call, words):
    with pytest.raises(ValueError) as e:
        call()
    assert words in str(e.value)


@pytest.mark.parametrize("args, words", [
    ({"MICS_DISTANS": 18}, "unknown argument MICS_DISTANS (did you mean MICS_DISTANCE?)"),
    ({"MICS_DISTANCE": "far"}, "argument MICS_DISTANCE=far is not a float"),
    ({"LENGTH": 0}, 'AudioFileSource "audio": LENGTH must be'),
    ({"LENGTH": 0, "LOCALIZED": "x.jsonl"}, "localize.n:"),
])
def test_wrong_arguments_name_the_callers_file_and_nodes(args, words):
    with pytest.raises(zelkbp.LoadError) as e:
        zelkbp.Network(network("localize"), **args)
    text = str(e.value)
    assert words in text and "/proc/self" not in text and "ArraySource" not in text
    assert isinstance(e.value, ValueError) and e.value.problems and "; ".join(e.value.problems) == text


def test_other_wrong_networks():
    with pytest.raises(FileNotFoundError, match="the examples are enhance, localize"):
        zelkbp.Network("nope")
    with pytest.raises(TypeError, match="argument MICS_DISTANCE: expected a number or a string, got list"):
        zelkbp.Network("localize", MICS_DISTANCE=[18])
    with pytest.raises(zelkbp.LoadError, match="enhance.n:20: AudioFileSource \"audio\": cannot open /no/such.wav"):
        zelkbp.Network("enhance", INPUT="/no/such.wav")


def test_a_failed_frame_stops_the_stream():
    """One channel into the two-microphone localization: the node's one-line message."""
    net = zelkbp.Network("localize")
    with pytest.raises(zelkbp.RunError) as e:
        net.run(np.zeros((1, 16000), np.float32))
    assert isinstance(e.value, RuntimeError) and "BinauralMultisourceLocalization" in str(e.value)
    with pytest.raises(zelkbp.RunError, match="stopped at an earlier error"):
        net.push(np.zeros((1, 160), np.float32))
