// Synthetic mixtures for the separation tests, and a plain Armadillo transcription of the
// block pipeline that the optimised kernel has to match bit for bit.
#pragma once

#include <armadillo>

#include "separation/block_separation.h"

namespace separation {
namespace testdata {

// N x T x K complex Gaussian spectra, one log-normal power envelope per source over frames.
inline arma::cx_fcube sources(int N, int T, int K, unsigned seed) {
    arma::arma_rng::set_seed(seed);
    arma::fmat envelope = arma::exp(1.5f * arma::randn<arma::fmat>(N, T));
    arma::cx_fcube S(N, T, K);
    for (int k = 0; k < K; ++k) {
        arma::cx_fmat noise(arma::randn<arma::fmat>(N, T), arma::randn<arma::fmat>(N, T));
        S.slice(k) = noise % arma::conv_to<arma::cx_fmat>::from(envelope);
    }
    return S;
}

// One random M x N complex mixing matrix per bin.
inline arma::cx_fcube mixingMatrices(int M, int N, int K, unsigned seed) {
    arma::arma_rng::set_seed(seed);
    arma::cx_fcube A(M, N, K);
    for (int k = 0; k < K; ++k)
        A.slice(k) = arma::cx_fmat(arma::randn<arma::fmat>(M, N), arma::randn<arma::fmat>(M, N));
    return A;
}

inline arma::cx_fcube mix(const arma::cx_fcube& A, const arma::cx_fcube& S) {
    arma::cx_fcube X(A.n_rows, S.n_cols, S.n_slices);
    for (arma::uword k = 0; k < S.n_slices; ++k) X.slice(k) = A.slice(k) * S.slice(k);
    return X;
}

// M sources mixed by random M x M matrices.
inline arma::cx_fcube mixture(int M, int T, int K, unsigned seed) {
    return mix(mixingMatrices(M, M, K, seed), sources(M, T, K, seed + 1));
}

inline BlockSeparator separatorFor(const arma::cx_fcube& X, int N) {
    BlockSeparator s;
    s.startBlock(int(X.n_rows), N, int(X.n_cols), int(X.n_slices));
    s.inputBlock = X;
    return s;
}

// The block pipeline as plainly as Armadillo writes it, allocating everything.
inline arma::cx_fcube referenceSeparation(const arma::cx_fcube& X, int N, UpdateRule rule, int maxIteration) {
    using namespace arma;
    using cxf = std::complex<float>;
    const int M = int(X.n_rows), T = int(X.n_cols), K = int(X.n_slices);
    const float eps = 1e-6f;
    cx_fcube V(N, M, K), Z(N, T, K), W(N, N, K), Y(N, T, K);
    for (int k = 0; k < K; ++k) {
        const cx_fmat Xc = X.slice(k).each_col() - mean(X.slice(k), 1);
        vec lambda;
        cx_mat E;
        eig_sym(lambda, E, conv_to<cx_mat>::from(cx_fmat(Xc * Xc.t() / float(T))), "dc");
        const cx_fmat D = diagmat(conv_to<cx_fvec>::from(lambda)).eval().submat(M - N, M - N, M - 1, M - 1);
        V.slice(k) = pinv(sqrt(D), 0.0f, "dc") * conv_to<cx_fmat>::from(E).cols(M - N, M - 1).t();
        Z.slice(k) = V.slice(k) * Xc;
        W.slice(k) = eye<cx_fmat>(N, N);
    }
    float prev = 1000000.0f;
    for (int i = 0; i < maxIteration; ++i) {
        fcube P(N, T, K);
        fmat S(N, T, fill::zeros);
        for (int k = 0; k < K; ++k) {
            Y.slice(k) = W.slice(k) * Z.slice(k);
            P.slice(k) = square(real(Y.slice(k))) + square(imag(Y.slice(k)));
            S += P.slice(k);
        }
        const fmat r = sqrt(S), A = 1.0f / (r + eps), B = 1.0f / (r % r % r + eps);
        for (int k = 0; k < K; ++k) {
            cx_fmat& Wk = W.slice(k);
            const cx_fmat Phi = A % Y.slice(k);
            if (rule == UpdateRule::NaturalGradient) {
                const cx_fmat G = Phi * Y.slice(k).t() / cxf(float(T), 0.0f);
                Wk = Wk + 0.1f * cx_fmat((eye<cx_fmat>(N, N) - G) * Wk);
            } else if (rule == UpdateRule::FixedPoint) {
                const fvec g = mean(A - B % P.slice(k), 1);
                Wk = diagmat(g) * Wk - cx_fmat(Phi * Z.slice(k).t()) / cxf(float(T), 0.0f);
                vec l;
                cx_mat Ed;
                eig_sym(l, Ed, conv_to<cx_mat>::from(cx_fmat(Wk * Wk.t())), "dc");
                const cx_fmat Es = conv_to<cx_fmat>::from(Ed);
                const cx_fmat Sq = Es * sqrt(diagmat(conv_to<cx_fvec>::from(l))) * pinv(Es, 0.0f, "dc");
                Wk = pinv(Sq, 0.0f, "dc") * Wk;
            }
        }
        const float err = mean(vectorise(r));
        if (std::fabs(prev - err) < 1e-6f) break;
        prev = err;
    }
    cx_fcube out(N, T, K);
    for (int k = 0; k < K; ++k) {
        const cx_fmat H = W.slice(k) * V.slice(k);
        const cx_fmat Hs = diagmat(cx_fvec(pinv(H, 0.0f, "dc").eval().diag())) * H;
        out.slice(k) = Hs * X.slice(k);
    }
    return out;
}

}  // namespace testdata
}  // namespace separation
