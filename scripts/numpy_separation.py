#!/usr/bin/python3
"""The three block separation rules of the SourceSeparation node, vectorised over
frequency bins with numpy: the reference the C++ kernels are timed against.

Each block goes through the node's stages: per-bin centring and whitening to N
components (Hermitian eigen-decomposition in double precision), W = I, the
iterations of one rule driven by the norms r(n, t) over all bins, and projection
back (row n of W V scaled by element (n, n) of its pseudo-inverse). Arithmetic is
single precision except the eigen-decompositions, as in the node. Every step is
one numpy operation over all bins at once (stacked matmul, eigh, solve, pinv).

  natural    W += 0.1 (I - (A o Y) Y^H / T) W
  fixed      W = diag(mean(A - B o |Y|^2)) W - (A o Y) Z^H / T, then W = (W W^H)^(-1/2) W
  auxiva     per source n: U = (K A_n^2 o Z) Z^H / T, w = (W U)^(-1) e_n, w /= sqrt(w^H U w)
             (a bin whose W U is singular keeps its row), from W = V^-1 when N = M

usage: numpy_separation.py BLOCKS RULE ITERATIONS [--sources N] [--compare OUT]
BLOCKS is the raw file bench_separation writes: int32 blocks, bins K, channels M,
frames T, then complex64 values in the order (block, bin, frame, channel).
ITERATIONS is one count, or one per block separated by commas (the counts the C++
kernel ran, so that both do the same work). Prints the CPU time of each block in
ms, one per line ("block B: MS ms"). With --compare, OUT holds the C++ results in
the same layout, and the largest difference relative to the largest output value
is printed per block. Run it with OPENBLAS_NUM_THREADS=1 to compare one core with
one core.
"""
import argparse
import sys
import time

import numpy as np

EPS = np.float32(1e-6)
STEP = np.float32(0.1)
F32_EPS = float(np.finfo(np.float32).eps)


def hermitian(a):
    return np.conj(np.swapaxes(a, -1, -2))


def whiten(X, N):
    """X: K x M x T. Returns V (K x N x M), centred-whitened Z (K x N x T)."""
    K, M, T = X.shape
    Xc = X - X.mean(axis=2, keepdims=True)
    R = (Xc @ hermitian(Xc)) / np.float32(T)
    values, vectors = np.linalg.eigh(R.astype(np.complex128))  # ascending
    roots = np.sqrt(np.maximum(values[:, M - N:], 0.0))
    tolerance = N * roots.max(axis=1, keepdims=True) * F32_EPS
    gains = np.where((roots > 0) & (roots >= tolerance), 1.0 / np.where(roots > 0, roots, 1.0), 0.0)
    V = (gains[:, :, None] * hermitian(vectors[:, :, M - N:])).astype(np.complex64)
    return V, V @ Xc


def norms(W, Z):
    Y = W @ Z
    P = Y.real * Y.real + Y.imag * Y.imag
    r = np.sqrt(P.sum(axis=0))  # N x T, over all bins
    return Y, P, r


def natural_step(W, Z, T):
    Y, _, r = norms(W, Z)
    A = np.float32(1) / (r + EPS)
    G = ((A * Y) @ hermitian(Y)) / np.float32(T)
    W = W + STEP * ((np.eye(W.shape[1], dtype=np.complex64) - G) @ W)
    return W, r.mean()


def fixed_step(W, Z, T):
    Y, P, r = norms(W, Z)
    A = np.float32(1) / (r + EPS)
    B = np.float32(1) / (r * r * r + EPS)
    g = (A - B * P).mean(axis=2)  # K x N
    W = g[:, :, None] * W - ((A * Y) @ hermitian(Z)) / np.float32(T)
    # symmetric decorrelation: (W W^H)^(-1/2) W from the eigen-decomposition of W W^H
    values, vectors = np.linalg.eigh((W @ hermitian(W)).astype(np.complex128))
    roots = np.sqrt(np.maximum(values, 0.0))
    tolerance = 2 * roots.max(axis=1, keepdims=True) * F32_EPS
    gains = np.where((roots > 0) & (roots >= tolerance), 1.0 / np.where(roots > 0, roots, 1.0), 0.0)
    S = ((vectors * gains[:, None, :]) @ hermitian(vectors)).astype(np.complex64)
    return S @ W, r.mean()


def auxiva_step(W, Z, T):
    _, _, r = norms(W, Z)
    A = np.float32(W.shape[0]) / ((r + EPS) * (r + EPS))  # K / r^2
    K, N, _ = W.shape
    W = W.copy()
    for n in range(N):
        U = ((Z * A[n]) @ hermitian(Z)) / np.float32(T)  # K x N x N
        e = np.zeros((K, N, 1), dtype=np.complex128)
        e[:, n] = 1
        # the N x N systems in double precision, as the C++ kernel solves them
        Ud = U.astype(np.complex128)
        M = W.astype(np.complex128) @ Ud
        # bins without a usable direction (silent, or a silent component) keep their row
        usable = np.abs(np.linalg.det(M)) > 0
        M[~usable] = np.eye(N)
        w = np.linalg.solve(M, e)  # K x N x 1
        quad = np.real(hermitian(w) @ Ud @ w)[:, 0, 0]  # K
        usable &= quad > 0
        rows = np.conj(w[:, :, 0]) / np.sqrt(np.where(usable, quad, 1))[:, None]
        W[usable, n, :] = rows[usable].astype(np.complex64)
    return W, r.mean()


STEPS = {"natural": natural_step, "fixed": fixed_step, "auxiva": auxiva_step}


def separate(X, N, rule, iterations):
    """One block, X: K x M x T complex64. Returns Y: K x N x T."""
    K, M, T = X.shape
    V, Z = whiten(X, N)
    W = np.broadcast_to(np.eye(N, dtype=np.complex64), (K, N, N)).copy()
    if rule == "auxiva" and N == M:  # start from the identity on the input, bins of full rank
        full = np.all(np.abs(V).sum(axis=2) > 0, axis=1)
        W[full] = np.linalg.inv(V[full])
    step = STEPS[rule]
    for _ in range(iterations):
        W, _ = step(W, Z, T)
    H = W @ V
    mixing = np.linalg.pinv(H)
    scale = np.diagonal(mixing, axis1=1, axis2=2)  # K x N
    return (scale[:, :, None] * H) @ X


def read_blocks(path):
    with open(path, "rb") as f:
        count, K, M, T = np.fromfile(f, dtype="<i4", count=4)
        data = np.fromfile(f, dtype="<c8")
    return data.reshape(count, K, T, M).transpose(0, 1, 3, 2).copy()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("blocks")
    parser.add_argument("rule", choices=sorted(STEPS))
    parser.add_argument("iterations")
    parser.add_argument("--sources", type=int, default=2)
    parser.add_argument("--compare", help="C++ results, same layout, N rows")
    args = parser.parse_args()

    blocks = read_blocks(args.blocks)
    counts = [int(c) for c in args.iterations.split(",")]
    if len(counts) == 1:
        counts *= len(blocks)
    if len(counts) != len(blocks):
        sys.exit(f"{len(counts)} iteration counts for {len(blocks)} blocks")
    expected = read_blocks(args.compare) if args.compare else None
    for b, X in enumerate(blocks):
        start = time.process_time()
        Y = separate(X, args.sources, args.rule, counts[b])
        ms = (time.process_time() - start) * 1e3
        line = f"block {b}: {ms:.2f} ms"
        if expected is not None:
            reference = expected[b]
            line += f", differs from C++ by {np.abs(Y - reference).max() / np.abs(reference).max():.2e}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
