#!/usr/bin/python3
"""Scores the lasting tracks of networks/localize.n (TRACKS) on the three-talker scene of
scripts/talkers_scene.py, rendered into a temporary folder; the clustering tracker's
output (TRACKED) is scored alongside for comparison.

Per talker, coverage: the share of its active frames (inside its speaking intervals,
sentence gaps included) in which some track lies within TOLERANCE degrees of it. Id
changes: along a talker's covered frames, how often the id of the nearest such track
changes, summed over the talkers. Stray entries: the share of all track entries lying
farther than TOLERANCE from every talker present at that time (a talker is present from
the start of its first interval to the end of its last).

usage: scripts/eval_tracking.py [--flowrun build/bin/flowrun] [--param NAME=VALUE ...] [--keep DIR]
  --param  sets a SourceIdentityTracker parameter (in a copy of localize.n)
  --keep   renders into DIR and leaves the recording and results there
Targets: coverage >= 80 % per talker, <= 3 id changes in total, <= 10 % stray entries.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import talkers_scene as scene  # noqa: E402

TOLERANCE = 10.0
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def read_tracks(path):
    """[(time, [(id, azimuth), ...]), ...] from a JSON Lines source-list file."""
    frames = []
    with open(path) as f:
        for line in f:
            d = json.loads(line)
            frames.append((float(d["time"]), [(s["id"], float(s["azimuth"])) for s in d["sources"]]))
    return frames


def score(frames):
    times = np.array([t for t, _ in frames])
    result = {"coverage": {}, "id_changes": 0, "ids": {}}
    for talker in scene.TALKERS:
        name = talker[0]
        where = scene.azimuth(talker, times)
        on = scene.active(talker, times)
        covered, ids, last = 0, [], None
        for k in np.nonzero(on)[0]:
            near = [(abs(a - where[k]), i) for i, a in frames[k][1] if abs(a - where[k]) <= TOLERANCE]
            if not near:
                continue
            covered += 1
            i = min(near)[1]
            if last is not None and i != last:
                result["id_changes"] += 1
            if i not in ids:
                ids.append(i)
            last = i
        result["coverage"][name] = covered / max(1, int(on.sum()))
        result["ids"][name] = ids
    entries = stray = 0
    for k, (t, sources) in enumerate(frames):
        present = [scene.azimuth(tk, t) for tk in scene.TALKERS if tk[3][0][0] <= t < tk[3][-1][1]]
        for _, a in sources:
            entries += 1
            stray += all(abs(a - p) > TOLERANCE for p in present)
    result["stray"] = stray / max(1, entries)
    result["entries"] = entries
    return result


def report(title, r):
    cov = ", ".join(f"{n} {100 * c:.1f} %" for n, c in r["coverage"].items())
    ids = "; ".join(f"{n} {r['ids'][n]}" for n in r["coverage"])
    print(f"{title}: coverage within {TOLERANCE:.0f} deg: {cov}")
    print(f"{title}: id changes {r['id_changes']}, stray entries {100 * r['stray']:.1f} % of {r['entries']}"
          f"; ids per talker: {ids}")


def network_with(params, folder):
    """localize.n, with the given parameters added to its SourceIdentityTracker node."""
    text = open(os.path.join(ROOT, "networks", "localize.n")).read()
    extra = "".join(f'      <param name="{n}" type="{"int" if n == "CONFIRMATION_HITS" else "float"}" '
                    f'value="{v}"/>\n' for n, v in params)
    text = re.sub(r'(<node name="identities" type="SourceIdentityTracker">\n)', r"\g<1>" + extra, text)
    path = os.path.join(folder, "localize.n")
    with open(path, "w") as f:
        f.write(text)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--flowrun", default=os.path.join(ROOT, "build", "bin", "flowrun"))
    ap.add_argument("--param", action="append", default=[])
    ap.add_argument("--keep")
    a = ap.parse_args()
    folder = a.keep or tempfile.mkdtemp(prefix="eval_tracking.")
    os.makedirs(folder, exist_ok=True)
    try:
        wav = os.path.join(folder, "scene.wav")
        if not os.path.exists(wav):
            scene.render(wav)
        network = network_with([p.split("=", 1) for p in a.param], folder)
        out = {k: os.path.join(folder, k + ".jsonl") for k in ("localized", "tracked", "tracks")}
        subprocess.run([a.flowrun, network, "--quiet", "INPUT=" + wav, "LOCALIZED=" + out["localized"],
                        "TRACKED=" + out["tracked"], "TRACKS=" + out["tracks"]], check=True)
        tracks = score(read_tracks(out["tracks"]))
        report("TRACKS (SourceIdentityTracker)", tracks)
        report("TRACKED (clustering, for comparison)", score(read_tracks(out["tracked"])))
        ok = (min(tracks["coverage"].values()) >= 0.8 and tracks["id_changes"] <= 3 and tracks["stray"] <= 0.1)
        print("targets (coverage >= 80 %, <= 3 id changes, <= 10 % stray):", "met" if ok else "NOT met")
        return 0 if ok else 1
    finally:
        if not a.keep:
            shutil.rmtree(folder)


if __name__ == "__main__":
    sys.exit(main())
