// Random sources, mixtures and separators shared by the separation tests.
#pragma once

#include "separation/block_separation.h"

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

}  // namespace mixtures
