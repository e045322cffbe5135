// Random sources, mixtures, separators and the node's input shared by the separation tests.
#pragma once

#include <complex>
#include <string>

#include "separation/block_separation.h"
#include "tests/support/NodeHarness.h"

namespace mixtures {

using arma::cx_fcube;
using arma::cx_fmat;
using arma::fmat;

inline cx_fmat randnCx(int r, int c) { return cx_fmat(arma::randn<fmat>(r, c), arma::randn<fmat>(r, c)); }

// R x C x K complex Gaussian slices, scaled over columns by a log-normal envelope of the given spread.
inline cx_fcube gaussian(int R, int C, int K, unsigned seed, float spread = 0.0f) {
    arma::arma_rng::set_seed(seed);
    const cx_fmat envelope = arma::conv_to<cx_fmat>::from(arma::exp(spread * arma::randn<fmat>(R, C)));
    cx_fcube S(R, C, K);
    for (int k = 0; k < K; ++k) S.slice(k) = randnCx(R, C) % envelope;
    return S;
}

// A S per bin.
inline cx_fcube mix(const cx_fcube& A, const cx_fcube& S) {
    cx_fcube X(A.n_rows, S.n_cols, S.n_slices);
    for (arma::uword k = 0; k < S.n_slices; ++k) X.slice(k) = A.slice(k) * S.slice(k);
    return X;
}

// A separator for N sources holding X as its block.
inline separation::BlockSeparator separatorFor(const cx_fcube& X, int N) {
    separation::BlockSeparator s;
    s.startBlock(int(X.n_rows), N, int(X.n_cols), int(X.n_slices));
    s.inputBlock = X;
    return s;
}

// The node's parameters: blocks of `frames` 10-ms frames at 16 kHz.
inline FD::testing::Params nodeParams(const std::string& method, int frames, int sources = 2,
                                      int iterations = 20) {
    FD::testing::Params p;
    p.s("ITERATION_METHOD", method).i("MAX_ITERATION", iterations);
    p.i("NUMBER_OF_SOURCES_TO_BE_SEPARATED", sources);
    return p.i("ADVANCE", 160).i("SAMPLING_RATE", 16000).f("SEPARATION_TIME_LENGTH", frames * 0.01f);
}
const std::string kFastIva = "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION",
                  kAuxIva = "[AuxIVA]ITERATIVE_PROJECTION";

// Frame t of the node's input: column t of X (silence past its end) and a Nyquist column of junk.
inline FD::ObjectRef frameOf(const cx_fcube& X, int t) {
    auto* m = new FD::Matrix<std::complex<float>>(X.n_rows, X.n_slices + 1);
    for (arma::uword c = 0; c < X.n_rows && t < int(X.n_cols); ++c)
        for (arma::uword k = 0; k <= X.n_slices; ++k)
            (*m)(c, k) = k < X.n_slices ? X(c, t, k) : std::complex<float>(123, -45);
    return FD::ObjectRef(m);
}

}  // namespace mixtures
