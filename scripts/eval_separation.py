#!/usr/bin/python3
"""How well networks/separate.n separates two talkers, for each update rule.

Two clearly different voices (a low male voice and a high female voice from
espeak-ng) talk at the same time for the whole recording, one from -30 and one
from +40 degrees (0 straight ahead, positive towards the second microphone,
which then hears the sound first). They are rendered anechoically on two
microphones 18 cm apart with free-field delays, at 16 kHz, and mixed; the
mixture runs through separate.n once per rule (fixed point with 100 iterations,
natural gradient with 300, auxiliary function with 20). Blocks are separated independently, so each block
of BLOCK_SECONDS is scored on its own with its own permutation (BSS Eval from
mir_eval), leaving out the samples near block edges that the overlap-add shares
with the neighbouring block. The improvement is the output's SIR (or SDR) minus
that of the mixture at the source's own microphone, against the source as heard
at that microphone.

usage: scripts/eval_separation.py [--flowrun PATH] [--keep DIR] [--seconds S] [--threshold DB]
Exits with status 1 when a rule improves the SIR of a source by less than its
threshold in some block (10 dB, 14 dB for the auxiliary function; --threshold sets
one for all).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import wave

import mir_eval
import numpy as np
from scipy.signal import resample_poly

RATE = 16000
DISTANCE_CM = 18.0
SOUND_SPEED_CM = 34300.0
LENGTH, ADVANCE = 512, 160
BLOCK_SECONDS = 3.0
EDGE = LENGTH  # samples left out at each side of a block

TALKERS = [
    # voice, words per minute, pitch (0-99), azimuth (degrees), text
    ("en-us+m3", 150, 25, -30.0,
     "The robot turned its head towards the open door and waited for the next sound. "
     "Somewhere in the corridor a cart rolled slowly over the tiles, and a fan was humming "
     "behind the wall. Nobody answered, so it asked again, a little louder than before, "
     "and listened to the echo fading away."),
    ("en-us+f4", 175, 80, 40.0,
     "Two voices can be heard from two directions at the very same time. Each microphone "
     "picks up both of them, a fraction of a millisecond apart, and the separation has to "
     "find out which part belongs to whom. Bright morning light fell across the kitchen "
     "table while the kettle started to sing."),
]

RULES = [
    # label, ITERATION_METHOD, MAX_ITERATION, SIR improvement every block must reach (dB)
    ("fixed point", "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION", 100, 10.0),
    ("natural gradient", "[IVA]NATURAL_GRADIENT_DESCENT_METHOD", 300, 10.0),
    ("auxiliary function", "[AuxIVA]ITERATIVE_PROJECTION", 20, 14.0),
]


def speak(voice, speed, pitch, text, tmp):
    """Mono speech from espeak-ng at RATE, peak-normalised."""
    path = os.path.join(tmp, "voice.wav")
    subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-p", str(pitch), "-w", path, text],
                   check=True)
    x, rate = read_wav(path)
    g = np.gcd(rate, RATE)
    x = resample_poly(x[0], RATE // g, rate // g)
    return x / np.max(np.abs(x))


def delayed(x, seconds, length):
    """x delayed by `seconds` (fractional), in `length` samples."""
    n = 1
    while n < length + len(x):
        n *= 2
    freqs = np.fft.rfftfreq(n, 1.0 / RATE)
    return np.fft.irfft(np.fft.rfft(x, n) * np.exp(-2j * np.pi * freqs * seconds), n)[:length]


def read_wav(path):
    with wave.open(path) as w:
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
        return data.reshape(-1, w.getnchannels()).T, w.getframerate()


def write_wav(path, signals):
    pcm = np.clip(np.round(signals), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(signals.shape[0])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.T.tobytes())


def images(seconds, tmp):
    """images[m][n]: talker n as heard at microphone m, each talker looped to fill the time."""
    length = int(seconds * RATE)
    out = np.zeros((2, len(TALKERS), length))
    for n, (voice, speed, pitch, azimuth, text) in enumerate(TALKERS):
        speech = speak(voice, speed, pitch, text, tmp)
        speech = np.tile(speech, int(np.ceil(length / len(speech))) + 1)[: length + RATE]
        tau = DISTANCE_CM * np.sin(np.radians(azimuth)) / SOUND_SPEED_CM  # mic 0 lags mic 1 by tau
        out[0, n] = 8000.0 * delayed(speech, 0.01 + tau / 2, length)
        out[1, n] = 8000.0 * delayed(speech, 0.01 - tau / 2, length)
    return out


def score(references, estimates, permute):
    """SDR and SIR of each reference in its estimate, the best-matching one if `permute`
    (BSS Eval), and which estimate that is."""
    sdr, sir, _, perm = mir_eval.separation.bss_eval_sources(references, estimates, compute_permutation=permute)
    return sdr, sir, perm


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    parser.add_argument("--flowrun", default=os.environ.get("FLOWRUN", os.path.join(root, "build", "bin", "flowrun")))
    parser.add_argument("--keep", help="directory to keep the mixture and the separated files in")
    parser.add_argument("--seconds", type=float, default=9.0, help="length of the mixture (default 9)")
    parser.add_argument("--threshold", type=float, help="SIR improvement every rule must reach, dB")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        work = args.keep or tmp
        os.makedirs(work, exist_ok=True)
        img = images(args.seconds, tmp)
        mixture = img.sum(axis=1)
        mix_path = os.path.join(work, "mixture.wav")
        write_wav(mix_path, mixture)
        references = np.stack([img[0, 0], img[1, 1]])  # each talker at its own microphone
        block = int(BLOCK_SECONDS * RATE)
        blocks = [(b, b + block) for b in range(0, mixture.shape[1] - block + 1, block)]
        print(f"mixture: {args.seconds:.1f} s, talker 0 ({TALKERS[0][0]}) at {TALKERS[0][3]:+.0f} deg, "
              f"talker 1 ({TALKERS[1][0]}) at {TALKERS[1][3]:+.0f} deg, {DISTANCE_CM:.0f} cm, {RATE} Hz; "
              f"{len(blocks)} blocks of {BLOCK_SECONDS:.0f} s")

        failed = False
        for label, method, iterations, required in RULES:
            threshold = args.threshold if args.threshold is not None else required
            out_path = os.path.join(work, "separated-" + label.replace(" ", "-") + ".wav")
            run = subprocess.run([args.flowrun, os.path.join(root, "networks", "separate.n"), "--quiet",
                                  f"INPUT={mix_path}", f"OUTPUT={out_path}", f"METHOD={method}",
                                  f"MAX_ITERATION={iterations}", f"BLOCK_SECONDS={BLOCK_SECONDS}"],
                                 capture_output=True, text=True)
            if run.returncode != 0:
                sys.exit(f"{label}: flowrun failed: {run.stderr.strip()}")
            separated, _ = read_wav(out_path)
            print(f"\n{label}, {iterations} iterations at most:")
            print("  block   talker   SIR in  SIR out    dSIR   SDR in  SDR out    dSDR")
            gains = []
            for i, (a, b) in enumerate(blocks):
                part = slice(a + EDGE, b - EDGE)
                # Microphone n is the unprocessed estimate of talker n.
                sdr_in, sir_in, _ = score(references[:, part], mixture[:, part], permute=False)
                sdr_out, sir_out, perm = score(references[:, part], separated[:, part], permute=True)
                for n in range(2):
                    d_sir, d_sdr = sir_out[n] - sir_in[n], sdr_out[n] - sdr_in[n]
                    gains.append(d_sir)
                    print(f"  {i:5d} {n:8d} {sir_in[n]:8.1f} {sir_out[n]:8.1f} {d_sir:7.1f} "
                          f"{sdr_in[n]:8.1f} {sdr_out[n]:8.1f} {d_sdr:7.1f}   (output channel {perm[n]})")
            worst = min(gains)
            ok = worst >= threshold
            failed |= not ok
            print(f"  smallest SIR improvement {worst:.1f} dB: {'meets' if ok else 'BELOW'} {threshold:.0f} dB")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
