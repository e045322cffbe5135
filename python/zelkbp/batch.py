"""Runs a network once per input file on a Dask cluster.

    python3 -m zelkbp.batch NETWORK.n --inputs 'GLOB' --output-dir DIR [NAME=VALUE ...]
                            [--scheduler ADDRESS] [--workers N] [--summary FILE] [--force]

Each file matched by GLOB is given to the network as its input (INPUT); output
arguments name files under DIR, made from the input's name with {stem}
(OUTPUT={stem}.wav); an output argument left out is named {stem}.<argument>.<ext>.
Other NAME=VALUE pairs are network arguments as for flowrun.

Without --scheduler a local cluster of N worker processes runs the files (N: the
machine's cores); with --scheduler tcp://HOST:PORT the cluster behind that
scheduler does (its workers need zelkbp importable and the same paths).

A file that fails is reported and skipped; the others go on. The summary (JSON
Lines, DIR/summary.jsonl by default) has one record per input: input, outputs,
status ("ok", "failed", or "skipped" when an earlier run already made its outputs),
error, seconds, audio_seconds and real_time_factor (seconds of audio per second of
processing, as flowrun's "x real time"). A rerun skips the inputs whose record says
done with the same network and arguments and whose output files all exist (--force
runs them again). Exit status: 0 when every input is done, 1 when any failed, 2 for
a wrong command line.
"""

import argparse
import glob
import json
import logging
import os
import sys
import time

_EXTENSIONS = {"AudioFileSink": ".wav", "SourceListWriter": ".jsonl", "SegmentWriter": ".txt",
               "MatrixWriter": ".npy"}


class UsageError(Exception):
    pass


def run_one(network, input_argument, input_path, args, outputs):
    """Runs `network` on one input file writing `outputs` (paths); returns its summary
    record (never raises)."""
    record = {"input": input_path, "outputs": outputs, "status": "ok", "error": None, "seconds": 0.0,
              "audio_seconds": 0.0, "real_time_factor": None}
    start = time.perf_counter()
    try:
        import zelkbp
        net = zelkbp.Network(network, **{input_argument: input_path}, **args)
        net.run()
        record["audio_seconds"] = round(net.audio_seconds, 6)
    except Exception as e:  # one bad file is a record, not the end of the batch
        record["status"] = "failed"
        record["error"] = str(e) or type(e).__name__
    record["seconds"] = round(time.perf_counter() - start, 6)
    if record["status"] == "ok" and record["seconds"] > 0:
        record["real_time_factor"] = round(record["audio_seconds"] / record["seconds"], 3)
    return record


def parse_command_line(argv):
    p = argparse.ArgumentParser(prog="python3 -m zelkbp.batch",
                                description="Run a network once per input file on a Dask cluster.")
    p.add_argument("network", help="network file (.n), or an example's name such as enhance")
    p.add_argument("assignments", nargs="*", metavar="NAME=VALUE",
                   help="network arguments; {stem} in an output stands for the input's name")
    p.add_argument("--inputs", required=True, metavar="GLOB", help="input files, e.g. 'corpus/**/*.wav' (quoted)")
    p.add_argument("--output-dir", required=True, metavar="DIR", help="folder of the outputs and the summary")
    p.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler to use, e.g. tcp://127.0.0.1:8786")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="worker processes of the local cluster (default: the number of cores)")
    p.add_argument("--summary", metavar="FILE", help="summary file (default: DIR/summary.jsonl)")
    p.add_argument("--force", action="store_true", help="run every input, even those done before")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    o = p.parse_intermixed_args(argv)
    if o.workers < 1:
        p.error("--workers must be at least 1")
    args = {}
    for a in o.assignments:
        name, eq, value = a.partition("=")
        if not eq or not name:
            p.error(f"expected NAME=VALUE, got {a!r}")
        if name in args:
            p.error(f"argument {name} is given twice")
        args[name] = value
    o.args = args
    return o


def plan(network, args, inputs, output_dir):
    """The input argument and, per input, (path, network arguments, output files)."""
    from zelkbp import _zelkbp
    ports = _zelkbp.network_ports(network)
    if len(ports["inputs"]) != 1:
        raise UsageError(f"{network}: a batch needs a network reading one audio file from an argument, "
                         f"this one reads {len(ports['inputs'])}")
    input_argument = ports["inputs"][0]
    if input_argument in args:
        raise UsageError(f"{input_argument} comes from --inputs; do not give it")
    templates = {}
    for name, writer in sorted(ports["outputs"].items()):
        t = args.get(name, "{stem}." + name.lower() + _EXTENSIONS.get(writer, ""))
        if "{stem}" not in t:
            raise UsageError(f"{name}={t} names the same file for every input: put {{stem}} in it")
        templates[name] = t
    stems = {}
    for path in inputs:
        stem = os.path.splitext(os.path.basename(path))[0]
        if stem in stems:
            raise UsageError(f"{stems[stem]} and {path} have the same name: their outputs would collide")
        stems[stem] = path
    jobs = []
    for path in inputs:
        stem = os.path.splitext(os.path.basename(path))[0]
        a = {k: v.replace("{stem}", stem) for k, v in args.items()}
        for name, t in templates.items():
            a[name] = os.path.join(output_dir, t.replace("{stem}", stem))
        jobs.append((path, a, sorted(a[name] for name in templates)))
    return input_argument, jobs


def _settings(network, args):
    return {"network": network, "arguments": args}


def _done_before(summary_path, network):
    """Records of the inputs an earlier run completed, by input path."""
    done = {}
    try:
        with open(summary_path) as f:
            for line in f:
                try:
                    r = json.loads(line)
                except ValueError:
                    continue
                if r.get("status") in ("ok", "skipped") and r.get("settings", {}).get("network") == network:
                    done[r["input"]] = r
    except FileNotFoundError:
        pass
    return done


class Progress:
    """A one-line progress bar on stderr (a line per input when stderr is not a terminal)."""

    def __init__(self, total, quiet):
        self.total, self.done, self.failed, self.quiet = total, 0, 0, quiet
        self.tty = sys.stderr.isatty()
        self.start = time.monotonic()

    def update(self, record):
        self.done += 1
        self.failed += record["status"] == "failed"
        if record["status"] == "failed":
            self._clear()
            print(f"batch: FAILED {record['input']}: {record['error']}", file=sys.stderr, flush=True)
        if self.quiet:
            return
        if self.tty:
            width = 30
            filled = width * self.done // max(self.total, 1)
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}"
                             f" ({self.failed} failed) {time.monotonic() - self.start:.1f} s\033[K")
            sys.stderr.flush()
        else:
            print(f"batch: {self.done}/{self.total} {record['status']} {record['input']}", file=sys.stderr, flush=True)

    def _clear(self):
        if self.tty and not self.quiet:
            sys.stderr.write("\r\033[K")

    def finish(self):
        if self.tty and not self.quiet:
            sys.stderr.write("\n")


def _client(scheduler, workers):
    import dask
    from dask.distributed import Client, LocalCluster
    if scheduler:
        return Client(scheduler, timeout="30s"), None
    # Forked workers start in a fraction of a second (spawned ones import everything again).
    dask.config.set({"distributed.worker.multiprocessing-method": "fork"})
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                           silence_logs=logging.ERROR)
    return Client(cluster), cluster


def main(argv=None):
    try:
        o = parse_command_line(sys.argv[1:] if argv is None else argv)
    except SystemExit as e:
        return e.code
    import zelkbp
    from zelkbp import batch as this  # workers find run_one by its module, not as __main__'s
    try:
        network = os.path.abspath(zelkbp.network_path(o.network))
        inputs = sorted(os.path.abspath(p) for p in glob.glob(o.inputs, recursive=True) if os.path.isfile(p))
        if not inputs:
            raise UsageError(f"--inputs {o.inputs!r} matches no file")
        output_dir = os.path.abspath(o.output_dir)
        os.makedirs(output_dir, exist_ok=True)
        input_argument, jobs = plan(network, o.args, inputs, output_dir)
    except (UsageError, OSError, zelkbp.LoadError) as e:
        print(f"batch: {e}", file=sys.stderr)
        return 2
    summary_path = o.summary or os.path.join(output_dir, "summary.jsonl")
    previous = {} if o.force else _done_before(summary_path, network)

    skipped, todo = [], []
    for path, args, outputs in jobs:
        settings = _settings(network, args)
        r = previous.get(path)
        if r and r.get("settings") == settings and all(os.path.exists(p) for p in outputs):
            skipped.append(dict(r, status="skipped"))
        else:
            todo.append((path, args, outputs, settings))

    progress = Progress(len(jobs), o.quiet)
    failed = 0
    start = time.monotonic()
    with open(summary_path, "w") as summary:
        def record(r):
            summary.write(json.dumps(r) + "\n")
            summary.flush()
            progress.update(r)

        for r in skipped:
            record(r)
        if todo:
            from dask.distributed import as_completed
            client, cluster = _client(o.scheduler, o.workers)
            try:
                futures = {}
                for path, args, outputs, settings in todo:
                    f = client.submit(this.run_one, network, input_argument, path, args, outputs, pure=False,
                                      key=f"zelkbp-{os.path.basename(path)}-{time.time_ns()}")
                    futures[f] = (path, outputs, settings)
                for f in as_completed(futures):
                    path, outputs, settings = futures[f]
                    try:
                        r = f.result()
                    except Exception as e:  # the worker could not run it, or died
                        r = {"input": path, "outputs": outputs,
                             "status": "failed", "error": f"on the worker: {type(e).__name__}: {e}", "seconds": None,
                             "audio_seconds": None, "real_time_factor": None}
                    r["settings"] = settings
                    failed += r["status"] == "failed"
                    record(r)
            finally:
                client.close()
                if cluster is not None:
                    cluster.close()
    progress.finish()
    print(f"batch: {len(jobs)} inputs: {len(todo) - failed} done, {failed} failed, {len(skipped)} skipped "
          f"(done before) in {time.monotonic() - start:.1f} s; summary in {summary_path}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
