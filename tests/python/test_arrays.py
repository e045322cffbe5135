"""Arrays in, arrays out: the same results as flowrun on the same recording, whole
or pushed in chunks."""
import json
import subprocess

import numpy as np
import pytest

import zelkbp
from conftest import DEMO, FLOWRUN, flowrun, network, pcm16, read_wav, write_wav


def source_rows(path):
    """A SourceListWriter file as (frame, time, id, azimuth, power) tuples."""
    return [(l["frame"], l["time"], s["id"], s["azimuth"], np.float32(s["power"]))
            for l in map(json.loads, open(path)) for s in l["sources"]]


def as_written(rows):
    """Collected source rows at the precision the writer prints them (power exactly: it round-trips)."""
    return [(int(r["frame"]), round(float(r["time"]), 6), int(r["id"]), round(float(r["azimuth"]), 4),
             np.float32(r["power"])) for r in rows]


def segments(path):
    return [tuple(float(v) for v in line.split("\t")[:2]) for line in open(path)]


# network, flowrun outputs (argument, file name, reader), collected -> comparable
CASES = {
    "localize": [("LOCALIZED", "l.jsonl", source_rows, as_written),
                 ("TRACKED", "t.jsonl", source_rows, as_written),
                 ("TRACKS", "i.jsonl", source_rows, as_written)],
    "enhance": [("OUTPUT", "e.wav", read_wav, pcm16)],
    "vad": [("OUTPUT", "v.txt", segments, lambda s: [tuple(round(v, 6) for v in row) for row in s])],
    "separate": [("OUTPUT", "s.wav", read_wav, pcm16), ("DIRECTIONS", "d.jsonl", source_rows, as_written)],
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_arrays_equal_flowrun_files(name, demo, tmp_path):
    outputs = CASES[name]
    flowrun(network(name), f"INPUT={DEMO}", *(f"{arg}={tmp_path / f}" for arg, f, _, _ in outputs))
    results = zelkbp.Network(network(name)).run(demo)
    assert sorted(results) == sorted(arg for arg, _, _, _ in outputs)
    for arg, f, read, comparable in outputs:
        expected, got = read(tmp_path / f), comparable(results[arg])
        assert len(got) > 0, arg
        if isinstance(expected, np.ndarray):
            assert got.shape == expected.shape and np.array_equal(got, expected), arg
        else:
            assert got == expected, arg


def test_spectra_come_back_as_written_npy(demo, tmp_path):
    """A MatrixWriter's frames come back complex64, bit for bit as in its .npy file."""
    net = tmp_path / "spectra.n"
    net.write_text("""<document><network name="MAIN">
      <arg name="INPUT" type="string"/><arg name="SPECTRA" type="string"/>
      <node name="audio" type="AudioFileSource"><param name="FILE" type="string" arg="INPUT"/>
        <param name="LENGTH" type="int" value="512"/><param name="ADVANCE" type="int" value="160"/>
        <param name="SAMPLING_RATE" type="int" value="16000"/></node>
      <node name="stft" type="ShortTimeSpectrum"><param name="LENGTH" type="int" value="512"/>
        <param name="ADVANCE" type="int" value="160"/></node>
      <node name="out" type="MatrixWriter"><param name="FILE" type="string" arg="SPECTRA"/></node>
      <link from="audio" output="AUDIO" to="stft" input="AUDIO"/>
      <link from="stft" output="SPECTRUM" to="out" input="INPUT"/>
    </network></document>""")
    flowrun(str(net), f"INPUT={DEMO}", f"SPECTRA={tmp_path / 's.npy'}")
    got = zelkbp.Network(net).run(demo)["SPECTRA"]
    expected = np.load(tmp_path / "s.npy")
    assert got.dtype == np.complex64 and got.shape == expected.shape == (503, 2, 257)
    assert np.array_equal(got, expected)


def test_files_and_arrays_mix(demo, tmp_path):
    """An array input may feed a file output, and a file input memory outputs."""
    flowrun(network("enhance"), f"INPUT={DEMO}", f"OUTPUT={tmp_path / 'ref.wav'}")
    net = zelkbp.Network(network("enhance"), OUTPUT=str(tmp_path / "out.wav"))
    assert net.push(demo[:, :8000]) == {} and not (tmp_path / "out.wav").exists()
    net.push(demo[:, 8000:])
    net.close()
    assert np.array_equal(read_wav(tmp_path / "out.wav"), read_wav(tmp_path / "ref.wav"))
    from_file = zelkbp.Network(network("enhance"), INPUT=DEMO).run()["OUTPUT"]
    assert np.array_equal(pcm16(from_file), read_wav(tmp_path / "ref.wav"))


def push_all(net, x, sizes):
    parts, at, i = [], 0, 0
    while at < x.shape[1]:
        n = sizes[i % len(sizes)]
        parts.append(net.push(x[:, at:at + n]))
        at, i = at + n, i + 1
    return parts + [net.close()]


@pytest.mark.parametrize("name", ["roundtrip", "localize", "enhance", "vad", "separate"])
def test_pushing_chunks_equals_whole(name, demo):
    whole = zelkbp.Network(network(name)).run(demo)
    for sizes in ([160], [1, 37, 1000, 0, 4001]):
        net = zelkbp.Network(network(name))
        parts = push_all(net, demo, sizes)
        streamed = zelkbp.concatenate(parts)
        assert sorted(streamed) == sorted(whole)
        for key in whole:
            assert streamed[key].dtype == whole[key].dtype
            assert np.array_equal(streamed[key], whole[key]), (key, sizes)
        # Results come out while pushing, as soon as the look-ahead allows.
        early = zelkbp.concatenate(parts[:-1])
        if net.lookahead < 100 and name != "vad":
            assert all(len(v) > 0 and v.size > 0 for v in early.values()), name


def test_networks_stream_side_by_side_in_threads(demo):
    """Frames run without the GIL: two streams in two threads give what they give alone."""
    from concurrent.futures import ThreadPoolExecutor
    names = ["enhance", "roundtrip", "separate", "enhance"]
    alone = [zelkbp.Network(network(n)).run(demo)["OUTPUT"] for n in names]

    def stream(name):
        return zelkbp.concatenate(push_all(zelkbp.Network(network(name)), demo, [800]))["OUTPUT"]

    with ThreadPoolExecutor(2) as pool:
        together = list(pool.map(stream, names))
    assert all(np.array_equal(a, b) for a, b in zip(alone, together))


def test_roundtrip_gives_the_samples_back_and_latency_is_the_lookahead(demo):
    net = zelkbp.Network(network("roundtrip"))
    out = net.push(demo[:, :16000])["OUTPUT"]
    # frames whose look-ahead is in are done: 100 frames of 160 less the resynthesis' 3
    assert out.shape == (2, (100 - net.lookahead) * 160) and net.lookahead == 3
    assert np.array_equal(pcm16(out), demo[:, :out.shape[1]])
    rest = net.close()["OUTPUT"]
    assert np.array_equal(pcm16(np.concatenate([out, rest], axis=1)), demo[:, :16000])


def test_input_channels_pick_rows_of_a_wider_array(demo):
    four = np.stack([demo[1] // 3, demo[0] // 5, demo[0], demo[1]])
    picked = zelkbp.Network(network("localize"), INPUT_CHANNELS="2,3").run(four)["LOCALIZED"]
    assert np.array_equal(picked, zelkbp.Network(network("localize")).run(demo)["LOCALIZED"])
    with pytest.raises(ValueError, match="CHANNELS names channel 5, but the input has 4 channels"):
        zelkbp.Network(network("localize"), INPUT_CHANNELS="2,5").run(four)


def test_convenience_functions_match_networks(demo):
    assert np.array_equal(zelkbp.enhance(demo, 16000, method="SPECTRAL_SUBTRACTION"),
                          zelkbp.Network("enhance", METHOD="SPECTRAL_SUBTRACTION").run(demo)["OUTPUT"])
    rows = zelkbp.localize(demo, 16000, mics_distance=18.0)
    assert rows.dtype == zelkbp.SOURCE_DTYPE and len(rows) > 0
    assert np.all(np.abs(rows["azimuth"]) <= 90)
    speech = zelkbp.detect_speech(demo, 16000)
    assert speech.shape[1] == 2 and np.all(speech[:, 0] < speech[:, 1])
    nodes = {n["type"]: n for n in zelkbp.list_nodes()}
    listed = subprocess.run([FLOWRUN, "--list"], capture_output=True, text=True, check=True).stdout
    assert list(nodes) == [line for line in listed.splitlines() if line and not line[0].isspace()]
    loc = nodes["BinauralMultisourceLocalization"]
    assert [(p["name"], p["kind"]) for p in loc["inputs"]] == [("AUDIO_SPECTRUM", "spectrum")]
    assert {"name": "MICS_DISTANCE", "type": "float", "help": "microphone spacing in centimetres (> 0)",
            "optional": False} in loc["parameters"]
