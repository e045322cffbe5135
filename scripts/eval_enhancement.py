#!/usr/bin/python3
"""SNR gain of speech enhancement on synthetic speech in noise, through flowrun.

Clean speech (three sentences from espeak-ng) is mixed at 5 dB SNR with white noise and
with a babble of five other synthetic voices, two channels with independent noise, after
a lead-in of noise alone. networks/enhance.n learns the noise over the first second of
the lead-in and enhances the rest with every method, with and without harmonic
regeneration. The SNR is measured against the clean speech, sample by sample (the
analysis and resynthesis add no delay), over the stretch after the lead-in.

    /usr/bin/python3 scripts/eval_enhancement.py [BUILD]

Needs espeak-ng, sox, numpy, and flowrun with the modules built in BUILD (default build).
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

from wav16 import read_wav, write_wav

RATE = 16000
LEAD_IN = 1.5  # seconds of noise alone before the speech
NOISE_PERIOD = 1.0  # seconds the node learns the noise over
SNR_DB = 5.0
METHODS = ["SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING", "MINIMUM_MEAN_SQUARE_ERROR"]

SENTENCES = [
    "The robot turned its head towards the door when somebody knocked twice.",
    "Please bring the red cup from the kitchen table, and put it next to the window.",
    "Yesterday we measured the room, and the echo was much shorter than we expected.",
]
BABBLE_TEXTS = [
    "Seven people arrived at the station before the morning train left for the city.",
    "A warm breeze moved across the garden while the children played near the fountain.",
    "Our quarterly figures show steady growth in every region except the north.",
    "Could you tell me where the nearest pharmacy is, and whether it is open on Sundays.",
    "The old clock in the hall stopped at midnight and nobody remembered to wind it.",
]
BABBLE_VOICES = ["en-gb+m3", "en-us+f2", "en-029+m1", "en-gb-scotland+f4", "en-us+m7"]






def say(tmp, voice, text, name):
    raw = os.path.join(tmp, "raw.wav")
    out = os.path.join(tmp, name)
    subprocess.run(["espeak-ng", "-v", voice, "-s", "150", "-w", raw, text], check=True)
    subprocess.run(["sox", "-q", raw, "-r", str(RATE), "-c", "1", "-b", "16", out], check=True)
    return read_wav(out)[0]


def clean_speech(tmp):
    pause = np.zeros(int(0.5 * RATE))
    parts = []
    for s in SENTENCES:
        parts += [say(tmp, "en-us", s, "s.wav"), pause]
    return np.concatenate(parts)


def babble(tmp, length):
    voices = []
    for i, voice in enumerate(BABBLE_VOICES):
        text = " ".join(BABBLE_TEXTS[(i + j) % 5] for j in range(5))
        voices.append(say(tmp, voice, text, "b.wav"))
    shortest = min(len(v) for v in voices)
    mix = sum(v[:shortest] for v in voices)
    reps = int(np.ceil(length / shortest)) + 1
    return np.tile(mix, reps)


def mixture(speech, noise_source, rng):
    """Two channels: lead-in of noise, then speech plus noise at SNR_DB over the speech part."""
    lead = int(LEAD_IN * RATE)
    total = lead + len(speech)
    clean = np.concatenate([np.zeros(lead), speech])
    channels, cleans = [], []
    for ch in range(2):
        if noise_source is None:
            noise = rng.standard_normal(total)
        else:  # each channel a different stretch of the babble
            start = ch * int(2.3 * RATE)
            noise = noise_source[start:start + total].copy()
        gain = np.sqrt(np.mean(speech**2) / np.mean(noise[lead:] ** 2) / 10 ** (SNR_DB / 10))
        channels.append(clean + gain * noise)
        cleans.append(clean)
    peak = max(np.max(np.abs(c)) for c in channels)
    scale = 0.8 / peak
    return [c * scale for c in channels], [c * scale for c in cleans]


def snr(reference, estimate, start):
    ref = np.concatenate([r[start:] for r in reference])
    est = np.concatenate([e[start:len(r)] for e, r in zip(estimate, reference)])
    return 10 * np.log10(np.sum(ref**2) / np.sum((est - ref) ** 2))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    flowrun = os.path.join(root, build, "bin", "flowrun")
    network = os.path.join(root, "networks", "enhance.n")
    rng = np.random.default_rng(5)
    with tempfile.TemporaryDirectory() as tmp:
        speech = clean_speech(tmp)
        noises = {"white": None, "babble": babble(tmp, len(speech) + int((LEAD_IN + 3) * RATE))}
        start = int(LEAD_IN * RATE)
        print(f"speech {len(speech) / RATE:.1f} s after a {LEAD_IN} s lead-in, noise learned over "
              f"{NOISE_PERIOD} s, SNR over the speech part, 2 channels")
        print(f"{'noise':8} {'method':28} {'regeneration':12} {'SNR in':>8} {'SNR out':>8} {'gain':>7}")
        for name, source in noises.items():
            noisy, clean = mixture(speech, source, rng)
            path_in = os.path.join(tmp, "in.wav")
            write_wav(path_in, noisy)
            noisy_q = read_wav(path_in)
            snr_in = snr(clean, noisy_q, start)
            for method in METHODS:
                for regen in ["NO", "USE"]:
                    path_out = os.path.join(tmp, "out.wav")
                    subprocess.run([flowrun, network, "--quiet", f"INPUT={path_in}", f"OUTPUT={path_out}",
                                    f"METHOD={method}", f"HARMONIC_REGENERATION={regen}",
                                    f"NOISE_PERIOD={NOISE_PERIOD}"], check=True)
                    out = read_wav(path_out)
                    snr_out = snr(clean, out, start)
                    print(f"{name:8} {method:28} {'USE' if regen == 'USE' else 'off':12} {snr_in:8.2f} "
                          f"{snr_out:8.2f} {snr_out - snr_in:+7.2f}")


if __name__ == "__main__":
    main()
