#!/usr/bin/python3
"""Costs of the Python package against the runner.

1. zelkbp.localize on 60 s of two-channel audio: CPU seconds in this process, against
   the CPU seconds of `flowrun networks/localize.n` on the same recording as a WAV
   file (target: at most 1.2 times).
2. A corpus of 30 recordings of 10 s through separate.n with `python3 -m zelkbp.batch` on a local cluster of
   2 workers, against running flowrun on them one after another (target: at most
   0.7 times the wall time, start of the cluster included).

    PYTHONPATH=build/python /usr/bin/python3 bench/python/bench_zelkbp.py [--build build]
"""
import argparse
import glob
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def write_wav(path, x, rate=16000):
    with wave.open(path, "wb") as w:
        w.setnchannels(x.shape[0])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.asarray(x, "<i2").T.tobytes())


def read_wav(path):
    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, w.getnchannels()).T


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def recording(seconds):
    demo = read_wav(os.path.join(ROOT, "data", "demo.wav"))
    reps = -(-seconds * 16000 // demo.shape[1])
    return np.tile(demo, reps)[:, :seconds * 16000]


def bench_localize(flowrun, work, repeats):
    import zelkbp
    x = recording(60)
    path = os.path.join(work, "sixty.wav")
    write_wav(path, x)
    runner, python = [], []
    for _ in range(repeats):
        before = child_cpu()
        network = os.path.join(ROOT, "networks", "localize.n")
        outputs = [f"{name}={work}/{name}" for name in zelkbp._zelkbp.network_ports(network)["outputs"]]
        subprocess.run([flowrun, network, f"INPUT={path}", *outputs, "--quiet"], check=True)
        runner.append(child_cpu() - before)
        before = time.process_time()
        rows = zelkbp.localize(x, 16000)
        python.append(time.process_time() - before)
    best_runner, best_python = min(runner), min(python)
    print(f"localize, 60 s of 16 kHz stereo ({len(rows)} source rows): flowrun {best_runner:.3f} s CPU, "
          f"zelkbp.localize {best_python:.3f} s CPU: {best_python / best_runner:.2f}x (target <= 1.2x)")


def bench_batch(flowrun, work, seconds, name):
    corpus = os.path.join(work, "corpus")
    os.makedirs(corpus)
    x = recording(seconds * 30)
    for i in range(30):
        write_wav(os.path.join(corpus, f"clip{i:02d}.wav"), x[:, i * seconds * 16000:(i + 1) * seconds * 16000])
    network = os.path.join(ROOT, "networks", name + ".n")
    start = time.monotonic()
    for f in sorted(glob.glob(os.path.join(corpus, "*.wav"))):
        out = os.path.join(work, "seq-" + os.path.basename(f))
        subprocess.run([flowrun, network, f"INPUT={f}", f"OUTPUT={out}", "--quiet"], check=True,
                       stdout=subprocess.DEVNULL)
    sequential = time.monotonic() - start
    start = time.monotonic()
    subprocess.run([sys.executable, "-m", "zelkbp.batch", network, "--inputs", os.path.join(corpus, "*.wav"),
                    "--output-dir", os.path.join(work, "batch"), "OUTPUT={stem}.wav", "--workers", "2", "--quiet"],
                   check=True, stderr=subprocess.DEVNULL)
    parallel = time.monotonic() - start
    print(f"batch, 30 files of {seconds} s through {name}.n: one after another {sequential:.2f} s, "
          f"zelkbp.batch on 2 local workers {parallel:.2f} s (cluster start included): "
          f"{parallel / sequential:.2f}x (target <= 0.7x)")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--seconds", type=int, default=10, help="length of each batch file")
    p.add_argument("--network", default="separate", help="example network of the batch (one OUTPUT)")
    o = p.parse_args()
    flowrun = os.path.join(o.build, "bin", "flowrun")
    work = tempfile.mkdtemp(prefix="bench_zelkbp_")
    try:
        bench_localize(flowrun, work, o.repeats)
        bench_batch(flowrun, work, o.seconds, o.network)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
