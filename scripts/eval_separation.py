#!/usr/bin/python3
"""How well networks/separate.n separates two talkers, for each update rule.

Two clearly different voices (a low male voice and a high female voice from
espeak-ng) talk at the same time for the whole recording, one from -30 and one
from +40 degrees (0 straight ahead, positive towards the second microphone,
which then hears the sound first). They are rendered anechoically on two
microphones 18 cm apart with free-field delays, at 16 kHz, and mixed; the
mixture runs through separate.n once per rule (fixed point with 100 iterations,
natural gradient with 300, auxiliary function with 20). Blocks are separated
independently, so each block of BLOCK_SECONDS is scored on its own with its own permutation (BSS Eval from
mir_eval), leaving out the samples near block edges that the overlap-add shares
with the neighbouring block. The improvement is the output's SIR (or SDR) minus
that of the mixture at the source's own microphone, against the source as heard
at that microphone.

The whole file is also scored with one order for the whole recording, as a
listener hears it; each block then says which output channel carries each talker
(a block counts as clearly separated when both talkers gain at least 10 dB
there), and the directions the network wrote (DIRECTIONS) are compared with the
talkers' azimuths, as the median over each block of each channel's azimuth.

--level-swing DB makes the talkers take turns, block by block, to be DB louder than
the other (which is when the rows of independently separated blocks tend to swap).
--room renders the talkers instead in a 6 x 5 x 3 m room with an image-source
model (RT60 about 0.3 s, talkers 1.5 m from the pair); --length sets LENGTH;
--rules picks the rules; --network-args passes further NAME=VALUE to separate.n.

usage: scripts/eval_separation.py [--flowrun PATH] [--keep DIR] [--seconds S] [--threshold DB]
                                  [--room] [--length N] [--rules fixed,natural,aux,network]
                                  [--whole-threshold DB] [--level-swing DB] [--network-args "NAME=VALUE ..."]
Exits with status 1 when a rule improves the SIR of a source by less than its
threshold in some block (10 dB, 14 dB for the auxiliary function; --threshold sets
one for all), or with --whole-threshold, when the whole file scored with one order
gains less than that, a clearly separated block (both talkers gaining 10 dB) has its
talkers in the other channels, or a direction there is off by more than 5 degrees.
The rule "network" runs separate.n with its own METHOD and MAX_ITERATION.
"""
import argparse
import json
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

RULES = {
    # label, ITERATION_METHOD, MAX_ITERATION, SIR improvement every block must reach (dB)
    "fixed": ("fixed point", "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION", 100, 10.0),
    "natural": ("natural gradient", "[IVA]NATURAL_GRADIENT_DESCENT_METHOD", 300, 10.0),
    "aux": ("auxiliary function", "[AuxIVA]ITERATIVE_PROJECTION", 20, 14.0),
    "network": ("network defaults", None, None, 10.0),
}
CLEAR_DB = 10.0  # a block is clearly separated when both talkers gain this much

# The room of --room: size (m), wall reflection, the centre of the microphone pair (the
# pair lies along x, the second microphone at +x, straight ahead is +y), talker distance.
ROOM = np.array([6.0, 5.0, 3.0])
RT60 = 0.3
PAIR_CENTRE = np.array([2.8, 1.9, 1.3])
TALKER_DISTANCE = 1.5
SOUND_SPEED_M = 343.0
DIRECTION_TOLERANCE = 5.0


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


def room_response(source, mic, length):
    """Image-source impulse response from `source` to `mic` in ROOM (walls of equal
    absorption from Sabine's formula for RT60), `length` samples, fractional delays by
    a Hann-windowed sinc, 1/r spreading."""
    volume, surface = np.prod(ROOM), 2 * (ROOM[0] * ROOM[1] + ROOM[0] * ROOM[2] + ROOM[1] * ROOM[2])
    beta = np.sqrt(1.0 - 0.161 * volume / (RT60 * surface))
    reach = length / RATE * SOUND_SPEED_M
    order = [int(np.ceil(reach / (2 * d))) + 1 for d in ROOM]
    pos, refl = [], []
    for axis in range(3):
        n = np.arange(-order[axis], order[axis] + 1)
        # Image coordinate along this axis and the number of wall reflections on the way.
        p0 = 2 * n * ROOM[axis] + source[axis]
        p1 = 2 * n * ROOM[axis] - source[axis]
        pos.append(np.concatenate([p0, p1]))
        refl.append(np.concatenate([np.abs(2 * n), np.abs(2 * n - 1)]))
    px, py, pz = np.meshgrid(*pos, indexing="ij")
    rx, ry, rz = np.meshgrid(*refl, indexing="ij")
    dist = np.sqrt((px - mic[0]) ** 2 + (py - mic[1]) ** 2 + (pz - mic[2]) ** 2).ravel()
    gain = (beta ** (rx + ry + rz)).ravel() / (4 * np.pi * dist)
    delay = dist / SOUND_SPEED_M * RATE
    keep = delay < length - 40
    delay, gain = delay[keep], gain[keep]
    h = np.zeros(length)
    taps = np.arange(-32, 33)
    for chunk in range(0, len(delay), 200000):
        d, g = delay[chunk:chunk + 200000], gain[chunk:chunk + 200000]
        start = np.floor(d).astype(int)
        idx = start[:, None] + taps[None, :]
        frac = d[:, None] - idx
        w = np.sinc(frac) * (0.5 + 0.5 * np.cos(np.pi * frac / 33))
        ok = (idx >= 0) & (idx < length)
        np.add.at(h, idx[ok], (g[:, None] * w)[ok])
    return h


def room_images(seconds, tmp):
    """As images(), each talker rendered in the room at its azimuth, 1.5 m from the pair."""
    length = int(seconds * RATE)
    mics = [PAIR_CENTRE + [-DISTANCE_CM / 200.0, 0, 0], PAIR_CENTRE + [DISTANCE_CM / 200.0, 0, 0]]
    out = np.zeros((2, len(TALKERS), length))
    for n, (voice, speed, pitch, azimuth, text) in enumerate(TALKERS):
        speech = speak(voice, speed, pitch, text, tmp)
        speech = np.tile(speech, int(np.ceil(length / len(speech))) + 1)[:length]
        a = np.radians(azimuth)
        source = PAIR_CENTRE + TALKER_DISTANCE * np.array([np.sin(a), np.cos(a), 0.0])
        for m in range(2):
            h = room_response(source, mics[m], int(0.5 * RATE))
            out[m, n] = 8000.0 * 8.0 * np.convolve(speech, h)[:length]
    return out


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


def directions_by_block(path, frames_per_block, blocks):
    """Median azimuth of each channel (id) over the frames of each block."""
    per = [dict() for _ in blocks]
    with open(path) as f:
        for line in f:
            rec = json.loads(line)
            b = rec["frame"] // frames_per_block
            if b < len(per):
                for src in rec["sources"]:
                    if src["azimuth"] is not None:
                        per[b].setdefault(src["id"], []).append(src["azimuth"])
    return [{c: float(np.median(v)) for c, v in d.items()} for d in per]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    parser.add_argument("--flowrun", default=os.environ.get("FLOWRUN", os.path.join(root, "build", "bin", "flowrun")))
    parser.add_argument("--keep", help="directory to keep the mixture and the separated files in")
    parser.add_argument("--seconds", type=float, default=9.0, help="length of the mixture (default 9)")
    parser.add_argument("--threshold", type=float, help="SIR improvement every rule must reach per block, dB")
    parser.add_argument("--whole-threshold", type=float, help="SIR improvement to reach over the whole file, dB")
    parser.add_argument("--room", action="store_true", help="render in a reverberant room")
    parser.add_argument("--length", type=int, default=LENGTH, help="LENGTH of the frames (default 512)")
    parser.add_argument("--rules", default="fixed,natural,aux", help="comma-separated: fixed, natural, aux, network")
    parser.add_argument("--level-swing", type=float, default=0.0,
                        help="dB by which the talkers take turns to be louder, block by block")
    parser.add_argument("--network-args", default="", help="further NAME=VALUE for separate.n, blank-separated")
    args = parser.parse_args()
    edge = args.length

    with tempfile.TemporaryDirectory() as tmp:
        work = args.keep or tmp
        os.makedirs(work, exist_ok=True)
        img = room_images(args.seconds, tmp) if args.room else images(args.seconds, tmp)
        if args.level_swing:
            # Talker 0 louder in even blocks, talker 1 in odd ones (50-ms ramps between).
            t = np.arange(img.shape[2]) / RATE
            step = np.where((t // BLOCK_SECONDS) % 2 == 0, 1.0, -1.0)
            ramp = np.convolve(step, np.ones(800) / 800, mode="same")
            gain = 10 ** (args.level_swing / 40 * ramp)
            img[:, 0] *= gain
            img[:, 1] /= gain
        mixture = img.sum(axis=1)
        mix_path = os.path.join(work, "mixture.wav")
        write_wav(mix_path, mixture)
        references = np.stack([img[0, 0], img[1, 1]])  # each talker at its own microphone
        block = int(BLOCK_SECONDS * RATE)
        blocks = [(b, b + block) for b in range(0, mixture.shape[1] - block + 1, block)]
        print(f"mixture: {args.seconds:.1f} s, {'room (RT60 %.1f s)' % RT60 if args.room else 'free field'}, "
              f"talker 0 ({TALKERS[0][0]}) at {TALKERS[0][3]:+.0f} deg, "
              f"talker 1 ({TALKERS[1][0]}) at {TALKERS[1][3]:+.0f} deg, {DISTANCE_CM:.0f} cm, {RATE} Hz; "
              f"{len(blocks)} blocks of {BLOCK_SECONDS:.0f} s; LENGTH {args.length}")

        failed = False
        for key in args.rules.split(","):
            label, method, iterations, required = RULES[key]
            threshold = args.threshold if args.threshold is not None else required
            out_path = os.path.join(work, "separated-" + label.replace(" ", "-") + ".wav")
            dir_path = os.path.join(work, "directions-" + label.replace(" ", "-") + ".jsonl")
            settings = {"INPUT": mix_path, "OUTPUT": out_path, "DIRECTIONS": dir_path,
                        "BLOCK_SECONDS": BLOCK_SECONDS, "LENGTH": args.length}
            if method:
                settings.update(METHOD=method, MAX_ITERATION=iterations)
            settings.update(a.split("=", 1) for a in args.network_args.split())
            run = subprocess.run([args.flowrun, os.path.join(root, "networks", "separate.n"), "--quiet"]
                                 + [f"{k}={v}" for k, v in settings.items()],
                                 capture_output=True, text=True)
            if run.returncode != 0:
                sys.exit(f"{label}: flowrun failed: {run.stderr.strip()}")
            separated, _ = read_wav(out_path)
            frames_per_block = int(round(BLOCK_SECONDS * RATE / int(settings.get("ADVANCE", ADVANCE))))
            found = directions_by_block(dir_path, frames_per_block, blocks)
            # The whole file with one order, as a listener hears it.
            whole = slice(edge, mixture.shape[1] - edge)
            _, sir_in_all, _ = score(references[:, whole], mixture[:, whole], permute=False)
            _, sir_all, perm_all = score(references[:, whole], separated[:, whole], permute=True)
            print(f"\n{label}, " + (f"{iterations} iterations at most:" if iterations else "its METHOD and MAX_ITERATION:"))
            print("  block   talker   SIR in  SIR out    dSIR   SDR in  SDR out    dSDR  channel  azimuth")
            gains, swapped, clear, worst_dir = [], 0, 0, 0.0
            for i, (a, b) in enumerate(blocks):
                part = slice(a + edge, b - edge)
                # Microphone n is the unprocessed estimate of talker n.
                sdr_in, sir_in, _ = score(references[:, part], mixture[:, part], permute=False)
                sdr_out, sir_out, perm = score(references[:, part], separated[:, part], permute=True)
                block_gains = [sir_out[n] - sir_in[n] for n in range(2)]
                is_clear = min(block_gains) >= CLEAR_DB
                clear += is_clear
                swapped += is_clear and list(perm) != list(perm_all)
                for n in range(2):
                    d_sir, d_sdr = sir_out[n] - sir_in[n], sdr_out[n] - sdr_in[n]
                    gains.append(d_sir)
                    az = found[i].get(int(perm[n]))
                    az_text = "      -" if az is None else f"{az:+7.1f}"
                    if az is not None and is_clear:
                        worst_dir = max(worst_dir, abs(az - TALKERS[n][3]))
                    print(f"  {i:5d} {n:8d} {sir_in[n]:8.1f} {sir_out[n]:8.1f} {d_sir:7.1f} "
                          f"{sdr_in[n]:8.1f} {sdr_out[n]:8.1f} {d_sdr:7.1f} {int(perm[n]):8d}  {az_text}")
            worst = min(gains)
            whole_gain = [sir_all[n] - sir_in_all[n] for n in range(2)]
            print(f"  per block: smallest SIR improvement {worst:.1f} dB, mean {np.mean(gains):.1f} dB")
            print(f"  whole file, one order: SIR improvement {whole_gain[0]:+.1f} / {whole_gain[1]:+.1f} dB "
                  f"(talker 0 / 1 in channel {perm_all[0]} / {perm_all[1]})")
            print(f"  clearly separated blocks (both >= {CLEAR_DB:.0f} dB): {clear}, "
                  f"with the talkers in the other channels: {swapped}; "
                  f"largest direction error there {worst_dir:.1f} deg")
            ok = worst >= threshold
            if args.whole_threshold is not None:
                ok = ok and min(whole_gain) >= args.whole_threshold and swapped == 0 \
                    and worst_dir <= DIRECTION_TOLERANCE
            failed |= not ok
            print(f"  {'meets' if ok else 'BELOW'} the thresholds")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
