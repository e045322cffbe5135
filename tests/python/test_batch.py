"""A corpus through python3 -m zelkbp.batch: 30 short files, one of them corrupt, on a
local cluster and on a scheduler with two workers started here on 127.0.0.1."""
import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

import zelkbp

from conftest import network, write_wav


@pytest.fixture(scope="module")
def corpus(tmp_path_factory, demo):
    """30 clips of 0.3 s cut from the demo recording; clip07 is not audio."""
    folder = tmp_path_factory.mktemp("corpus")
    for i in range(30):
        write_wav(folder / f"clip{i:02d}.wav", demo[:, i * 2400:i * 2400 + 4800])
    (folder / "clip07.wav").write_bytes(b"RIFF\x10\x00\x00\x00WAVEnot audio at all")
    return folder


def batch(corpus, out, *options):
    return subprocess.run([sys.executable, "-m", "zelkbp.batch", network("enhance"), "--inputs",
                           str(corpus / "*.wav"), "--output-dir", str(out), "OUTPUT={stem}.wav",
                           "NOISE_PERIOD=0.1", *options], capture_output=True, text=True, timeout=300)


def summary(out):
    return {os.path.basename(r["input"]): r for r in map(json.loads, open(out / "summary.jsonl"))}


def outputs(out):
    return {f: (out / f).read_bytes() for f in sorted(os.listdir(out)) if f.endswith(".wav")}


@pytest.fixture(scope="module")
def local_run(corpus, tmp_path_factory):
    out = tmp_path_factory.mktemp("local")
    return out, batch(corpus, out, "--workers", "2")


def test_one_bad_file_is_reported_and_skipped(local_run):
    out, run = local_run
    assert run.returncode == 1, run.stderr
    records = summary(out)
    assert len(records) == 30 and len(outputs(out)) == 29
    bad = records.pop("clip07.wav")
    assert bad["status"] == "failed" and "clip07.wav" in bad["error"] and "FAILED" in run.stderr
    assert not os.path.exists(out / "clip07.wav")
    for name, r in records.items():
        assert r["status"] == "ok" and r["error"] is None and r["outputs"] == [str(out / name)]
        assert r["audio_seconds"] == 0.3 and r["seconds"] > 0 and r["real_time_factor"] > 0


def test_a_rerun_does_no_work(local_run, corpus):
    out, _ = local_run
    before = {f: os.stat(out / f).st_mtime_ns for f in outputs(out)}
    rerun = batch(corpus, out, "--workers", "1")
    assert rerun.returncode == 1 and "0 done, 1 failed, 29 skipped" in rerun.stderr
    assert {f: os.stat(out / f).st_mtime_ns for f in outputs(out)} == before
    assert sum(r["status"] == "skipped" for r in summary(out).values()) == 29


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_scheduler_and_two_workers_give_the_same_outputs(local_run, corpus, tmp_path):
    from dask.distributed import Client
    address = f"tcp://127.0.0.1:{free_port()}"
    port = address.rsplit(":", 1)[1]
    package = os.path.dirname(os.path.dirname(os.path.abspath(zelkbp.__file__)))
    env = dict(os.environ, PYTHONPATH=package)
    common = dict(cwd=tmp_path, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    procs = [subprocess.Popen(["dask", "scheduler", "--host", "127.0.0.1", "--port", port, "--no-dashboard"],
                              **common)]
    try:
        for i in range(2):
            procs.append(subprocess.Popen(["dask", "worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                                           "--no-dashboard", "--local-directory", str(tmp_path / f"w{i}")],
                                          **common))
        with Client(address, timeout="60s") as client:
            client.wait_for_workers(2, timeout=60)
        out = tmp_path / "out"
        run = batch(corpus, out, "--scheduler", address)
        assert run.returncode == 1, run.stderr
        assert outputs(out) == outputs(local_run[0]), run.stderr[-3000:]
        assert summary(out)["clip07.wav"]["status"] == "failed"
    finally:
        for p in reversed(procs):
            os.killpg(p.pid, signal.SIGTERM)
        for p in reversed(procs):
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
