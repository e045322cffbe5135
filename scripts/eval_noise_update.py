#!/usr/bin/python3
"""Noise that starts mid-recording: enhancement and voice detection with and without
NOISE_UPDATE=CONTINUOUS, through flowrun on networks/enhance.n and networks/vad.n.

The recording: synthetic speech (espeak-ng, pauses between sentences) over a faint room
noise, two channels; 6 s in a fan starts (band-limited noise 80-1500 Hz, independent per
microphone, plus 50 Hz mains hum and its harmonics, the same at both), at 5 dB SNR against
the active speech level after it starts. For comparison the same with white noise starting
6 s in. Every figure is measured over the part after the noise starts (about 35 s), and
again from 3 s after it (once a rising noise has been learned).

Enhancement: SNR gain (output SNR minus input SNR against the clean speech) for every rule,
  - CONTINUOUS: enhance.n with its defaults (also from 3 s after the onset),
  - NONE: the noise learned at the start only (before the fan),
  - bound: NONE on the same stretch with the noise learned from the new noise alone (0.5 s
    of it put in front).
Voice detection: vad.n with its defaults and with NOISE_UPDATE=NONE; coverage of speech
frames (clean-speech energy within 40 dB of the loudest frame) and false alarms on the
others.

    /usr/bin/python3 scripts/eval_noise_update.py [BUILD] [--flowrun PATH] [--keep DIR] [--check]

Needs espeak-ng, sox, numpy, scipy, and flowrun with the modules built in BUILD (default
build), or the flowrun given. The recordings are made in a temporary folder (kept in DIR
with --keep). --check runs only the fan with the networks' defaults and fails (exit 1)
unless enhancement gains at least 4 dB and detection covers at least 55 % of the speech
frames with at most 15 % false alarms.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from scipy.signal import butter, sosfilt

from wav16 import read_wav, write_wav

RATE = 16000
ADVANCE = 160
LENGTH = 512
ONSET = 6.0  # seconds: the new noise starts here
SNR_DB = 5.0
ROOM_DB = -35.0  # faint room noise before the fan, against the active speech level
METHODS = ["SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING", "MINIMUM_MEAN_SQUARE_ERROR"]
SENTENCES = [
    "The robot turned its head towards the door when somebody knocked twice.",
    "Please bring the red cup from the kitchen table, and put it next to the window.",
    "Yesterday we measured the room, and the echo was much shorter than we expected.",
    "Seven people arrived at the station before the morning train left for the city.",
    "A warm breeze moved across the garden while the children played near the fountain.",
    "Could you tell me where the nearest pharmacy is, and whether it is open on Sundays.",
    "The old clock in the hall stopped at midnight and nobody remembered to wind it.",
]






def speech(tmp):
    parts = [np.zeros(int(1.0 * RATE))]
    for s in SENTENCES:
        raw, out = os.path.join(tmp, "raw.wav"), os.path.join(tmp, "s.wav")
        subprocess.run(["espeak-ng", "-v", "en-us", "-s", "150", "-w", raw, s], check=True)
        subprocess.run(["sox", "-q", raw, "-r", str(RATE), "-c", "1", "-b", "16", out], check=True)
        parts += [read_wav(out)[0], np.zeros(int(0.6 * RATE))]
    return np.concatenate(parts)


def frame_energies(x):
    """Energy of frame k: samples k*ADVANCE - (LENGTH - ADVANCE) ... k*ADVANCE + ADVANCE - 1."""
    frames = len(x) // ADVANCE
    c = np.concatenate([[0.0], np.cumsum(x**2)])
    lo = np.clip(np.arange(frames) * ADVANCE - (LENGTH - ADVANCE), 0, len(x))
    hi = np.clip((np.arange(frames) + 1) * ADVANCE, 0, len(x))
    return c[hi] - c[lo]


def active_power(x):
    e = frame_energies(x)
    active = e > e.max() * 1e-4
    blocks = x[: len(e) * ADVANCE].reshape(-1, ADVANCE)
    return np.mean(blocks[active] ** 2)


def fan(n, rng):
    """Two channels of band-limited noise (independent) plus mains hum (shared), unit power."""
    sos = butter(4, [80, 1500], btype="band", fs=RATE, output="sos")
    t = np.arange(n) / RATE
    hum = sum(a * np.sin(2 * np.pi * f * t + ph) for f, a, ph in
              [(50, 1.0, 0.3), (100, 0.6, 1.1), (150, 0.4, 2.0), (200, 0.25, 0.7), (250, 0.15, 1.9)])
    chans = []
    for _ in range(2):
        band = sosfilt(sos, rng.standard_normal(n))
        band /= np.sqrt(np.mean(band**2))
        chans.append(band + 0.5 * hum / np.sqrt(np.mean(hum**2)))
    return [c / np.sqrt(np.mean(c**2)) for c in chans]


def recording(clean, kind, rng):
    """Two noisy channels and the two clean references (channel 1 hears the speech 3 samples later)."""
    n = len(clean)
    onset = int(ONSET * RATE)
    refs = [clean, np.concatenate([np.zeros(3), clean[:-3]])]
    level = active_power(clean[onset:])
    noise = fan(n, rng) if kind == "fan" else [rng.standard_normal(n) for _ in range(2)]
    ramp = np.clip((np.arange(n) - onset) / (0.1 * RATE), 0.0, 1.0)  # switches on over 0.1 s
    room = np.sqrt(level * 10 ** (ROOM_DB / 10))
    gain = np.sqrt(level / 10 ** (SNR_DB / 10))
    noisy = [r + gain * ramp * v + room * rng.standard_normal(n) for r, v in zip(refs, noise)]
    scale = 0.7 / max(np.max(np.abs(c)) for c in noisy)
    return [c * scale for c in noisy], [r * scale for r in refs]


def snr(refs, ests, start):
    ref = np.concatenate([r[start:] for r in refs])
    est = np.concatenate([e[start:len(r)] for e, r in zip(ests, refs)])
    return 10 * np.log10(np.sum(ref**2) / np.sum((est - ref) ** 2))


def run(flowrun, network, *args):
    subprocess.run([flowrun, network, "--quiet", *args], check=True, stdin=subprocess.DEVNULL)


def check(flowrun, root, tmp, noisy_path, clean):
    """The networks' defaults on the fan: True when both meet their marks."""
    onset = int(ONSET * RATE)
    out = os.path.join(tmp, "out.wav")
    run(flowrun, os.path.join(root, "networks", "enhance.n"), f"INPUT={noisy_path}", f"OUTPUT={out}")
    gain = snr(clean, read_wav(out), onset) - snr(clean, read_wav(noisy_path), onset)
    coverage, alarms, _, _ = detection_rates(flowrun, root, tmp, noisy_path, clean[0], [])
    print(f"fan from {ONSET} s: enhance.n SNR gain {gain:+.2f} dB (at least +4), vad.n coverage "
          f"{coverage:.1f} % (at least 55), false alarms {alarms:.1f} % (at most 15)")
    return gain >= 4.0 and coverage >= 55.0 and alarms <= 15.0


def detection_rates(flowrun, root, tmp, noisy_path, clean_ref, extra, skip=0):
    """Coverage and false alarms of vad.n, in %, over the frames from the onset (+ skip frames)."""
    e = frame_energies(clean_ref)
    frames = len(e)
    speech = e > e.max() * 1e-4
    seg = os.path.join(tmp, "segments.txt")
    run(flowrun, os.path.join(root, "networks", "vad.n"), f"INPUT={noisy_path}", f"OUTPUT={seg}", *extra)
    detected = np.zeros(frames, dtype=bool)
    t = (np.arange(frames) + 0.5) * ADVANCE / RATE
    with open(seg) as f:
        for line in f:
            a, b = map(float, line.split()[:2])
            detected |= (t >= a) & (t < b)
    start = int(ONSET * RATE) // ADVANCE + skip
    s, d = speech[start:], detected[start:]
    return 100 * np.mean(d[s]), 100 * np.mean(d[~s]), s.sum(), (~s).sum()


def enhancement(flowrun, root, tmp, noisy_path, noisy, clean, kind, rng):
    net = os.path.join(root, "networks", "enhance.n")
    onset = int(ONSET * RATE)
    # The bound: 0.5 s of the new noise alone, then the stretch after the onset.
    lead = int(0.5 * RATE)
    noise_alone = [x[onset + int(0.2 * RATE):] - c[onset + int(0.2 * RATE):] for x, c in zip(noisy, clean)]
    fronted = [np.concatenate([n[:lead], x[onset:]]) for n, x in zip(noise_alone, noisy)]
    fronted_path = os.path.join(tmp, "fronted.wav")
    write_wav(fronted_path, fronted)
    fronted_clean = [np.concatenate([np.zeros(lead), c[onset:]]) for c in clean]
    snr_in = snr(clean, read_wav(noisy_path), onset)
    settled = onset + 3 * RATE
    snr_in_settled = snr(clean, read_wav(noisy_path), settled)
    rows = []
    for method in METHODS:
        out = os.path.join(tmp, "out.wav")
        gains = []
        for update in ["CONTINUOUS", "NONE"]:
            extra = [] if update == "CONTINUOUS" else ["NOISE_UPDATE=NONE"]
            run(flowrun, net, f"INPUT={noisy_path}", f"OUTPUT={out}", f"METHOD={method}", *extra)
            gains.append(snr(clean, read_wav(out), onset) - snr_in)
            if update == "CONTINUOUS":
                gains.append(snr(clean, read_wav(out), settled) - snr_in_settled)
        run(flowrun, net, f"INPUT={fronted_path}", f"OUTPUT={out}", f"METHOD={method}", "NOISE_UPDATE=NONE")
        bound_in = snr(fronted_clean, read_wav(fronted_path), lead)
        gains.append(snr(fronted_clean, read_wav(out), lead) - bound_in)
        rows.append((method, *gains))
    print(f"  enhancement, SNR after the onset {snr_in:.2f} dB; gain in dB:")
    print(f"    {'rule':28} {'CONTINUOUS':>11} {'(from 3 s)':>11} {'NONE':>8} {'bound':>8}")
    for method, cont, settled_gain, none, bound in rows:
        print(f"    {method:28} {cont:+11.2f} {settled_gain:+11.2f} {none:+8.2f} {bound:+8.2f}")


def detection(flowrun, root, tmp, noisy_path, clean_ref):
    print("  voice detection after the onset:")
    for update in ["CONTINUOUS", "NONE"]:
        extra = [] if update == "CONTINUOUS" else ["NOISE_UPDATE=NONE"]
        for label, skip in [("all", 0), ("from 3 s after", 300)]:
            coverage, alarms, speech, other = detection_rates(flowrun, root, tmp, noisy_path, clean_ref, extra, skip)
            print(f"    {update:10} {label:15} coverage {coverage:5.1f} %  false alarms {alarms:5.1f} %  "
                  f"[{speech} speech, {other} other frames]")


def option(args, name):
    if name not in args:
        return None
    i = args.index(name)
    value = args[i + 1]
    del args[i:i + 2]
    return value


def main():
    args = sys.argv[1:]
    keep = option(args, "--keep")
    flowrun = option(args, "--flowrun")
    checking = "--check" in args
    args = [a for a in args if a != "--check"]
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    flowrun = flowrun or os.path.join(root, args[0] if args else "build", "bin", "flowrun")
    rng = np.random.default_rng(15)
    tmp = tempfile.mkdtemp()
    try:
        clean = speech(tmp)
        if checking:
            noisy, refs = recording(clean, "fan", rng)
            path = os.path.join(tmp, "fan.wav")
            write_wav(path, noisy)
            return 0 if check(flowrun, root, tmp, path, refs) else 1
        print(f"speech {len(clean) / RATE:.1f} s, noise from {ONSET} s at {SNR_DB} dB SNR, room noise "
              f"{ROOM_DB} dB before it, 2 channels")
        for kind in ["fan", "white"]:
            noisy, refs = recording(clean, kind, rng)
            path = os.path.join(tmp, f"{kind}.wav")
            write_wav(path, noisy)
            if keep:
                os.makedirs(keep, exist_ok=True)
                write_wav(os.path.join(keep, f"{kind}.wav"), noisy)
                write_wav(os.path.join(keep, f"{kind}-clean.wav"), refs)
            print(f"{kind}:")
            enhancement(flowrun, root, tmp, path, read_wav(path), refs, kind, rng)
            detection(flowrun, root, tmp, path, refs[0])
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    sys.exit(main())
