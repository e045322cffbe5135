#include "separation/block_separation.h"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <sstream>

namespace separation {

namespace {

using cx_float = std::complex<float>;

std::string atBin(int bin) { return " at bin " + std::to_string(bin); }

// out = pinv(in), divide-and-conquer SVD with the default tolerance.
template <class Expr>
void pseudoInverse(arma::cx_fmat& out, const Expr& in, const char* what, int bin) {
    if (!arma::pinv(out, in, 0.0f, "dc"))
        throw SeparationError("pseudo-inverse (SVD) of " + std::string(what) + " failed" + atBin(bin));
}

}  // namespace

bool hermitianEigen(arma::vec& values, arma::cx_mat& vectors, const arma::cx_mat& X) {
    if (!X.is_square()) throw SeparationError("eigen-decomposition of a matrix that is not square");
    if (arma::arma_config::check_nonfinite)
        for (arma::uword c = 0; c < X.n_cols; ++c)
            for (arma::uword r = 0; r <= c; ++r)
                if (!std::isfinite(X(r, c).real()) || !std::isfinite(X(r, c).imag())) return false;
    const arma::uword n = X.n_rows;
    if (n == 0) {
        values.reset();
        vectors.reset();
        return true;
    }
    if (n > arma::uword(kMaxEigenOrder))
        throw SeparationError("eigen-decomposition of order " + std::to_string(n) + " is larger than " +
                              std::to_string(kMaxEigenOrder));

    // The matrix and every workspace get kEigenSlack columns of zeros behind their end.
    const arma::uword slack = kEigenSlack * n;
    arma::cx_mat padded(n, n + kEigenSlack, arma::fill::zeros);
    padded.cols(0, n - 1) = X;
    values.set_size(n);

    // Workspace sizes as Armadillo chooses them (the blocking zhetrd uses depends on them).
    char jobz = 'V', uplo = 'U';
    arma::blas_int N = arma::blas_int(n), info = 0;
    const arma::blas_int lworkMin = 2 * N + N * N, lrworkMin = 1 + 5 * N + 2 * (N * N), liworkMin = 3 + 5 * N;
    arma::blas_int lworkProposed = 0, lrworkProposed = 0, liworkProposed = 0;
    if (N >= 32) {
        std::complex<double> workQuery[2] = {};
        double rworkQuery[2] = {};
        arma::blas_int iworkQuery[2] = {}, query = -1, rquery = -1, iquery = -1;
        arma::lapack::heevd(&jobz, &uplo, &N, padded.memptr(), &N, values.memptr(), &workQuery[0], &query,
                            &rworkQuery[0], &rquery, &iworkQuery[0], &iquery, &info);
        if (info != 0) return false;
        lworkProposed = arma::blas_int(workQuery[0].real());
        lrworkProposed = arma::blas_int(rworkQuery[0]);
        liworkProposed = iworkQuery[0];
    }
    arma::blas_int lwork = std::max(lworkProposed, lworkMin), lrwork = std::max(lrworkProposed, lrworkMin),
                   liwork = std::max(liworkProposed, liworkMin);
    std::vector<std::complex<double>> work(size_t(lwork) + slack);
    std::vector<double> rwork(size_t(lrwork) + slack);
    std::vector<arma::blas_int> iwork(size_t(liwork) + slack);
    arma::lapack::heevd(&jobz, &uplo, &N, padded.memptr(), &N, values.memptr(), work.data(), &lwork, rwork.data(),
                        &lrwork, iwork.data(), &liwork, &info);
    if (info != 0) return false;
    vectors = padded.cols(0, n - 1);
    return true;
}

std::string progressLine(UpdateRule rule, int iterations, float error, float difference) {
    const char* label = rule == UpdateRule::NaturalGradient ? "Natural-gradient"
                        : rule == UpdateRule::FixedPoint    ? "Fixed-point"
                                                            : "";
    // A fresh stream: the default floating-point format whatever the target's state.
    std::ostringstream line;
    line << "KW_BSS::IVA::" << label << " === [ iterations: " << iterations << ", Error: " << double(error)
         << ", Difference: " << double(difference) << " ]";
    return line.str();
}

// ---------------------------------------------------------------- block

void BlockSeparator::startBlock(int channels, int sources, int frames, int bins) {
    if (channels < 1 || sources < 1 || sources > channels)
        throw SeparationError("cannot separate " + std::to_string(sources) + " sources from " +
                              std::to_string(channels) + " channels");
    if (frames < 1 || bins < 0)
        throw SeparationError("a block needs at least one frame and no negative bin count, got " +
                              std::to_string(frames) + " frames and " + std::to_string(bins) + " bins");
    M_ = channels;
    N_ = sources;
    T_ = frames;
    K_ = bins;

    // zeros() keeps the storage when the sizes repeat.
    inputBlock.zeros(M_, T_, K_);
    whitenedBlock.zeros(N_, T_, K_);
    whiteningMatrices.zeros(N_, M_, K_);
    separatedBlock.zeros(N_, T_, K_);
    demixingMatrices.zeros(N_, N_, K_);
    power.zeros(N_, T_, K_);
    norm.zeros(N_, T_);
    scoreWeight.zeros(N_, T_);
    cubicWeight.zeros(N_, T_);

    centred_.set_size(M_, T_);
    covariance_.set_size(M_, M_);
    score_.set_size(N_, T_);
    weightTerms_.set_size(N_, T_);
    cross_.set_size(N_, N_);
    gradient_.set_size(N_, N_);
    mixing_.set_size(M_, N_);
    demixing_.set_size(N_, M_);
    deadComponent_.assign(size_t(N_) * size_t(K_), 0);
}

int BlockSeparator::separateBlock(UpdateRule rule, int maxIteration, std::ostream* progress) {
    whiten();
    initialiseDemixing();

    int done = 0;
    float previous = kInitialError;
    for (int i = 0; i < maxIteration;) {
        const float error = computeContrast();
        if (rule == UpdateRule::NaturalGradient) {
            for (int k = 0; k < K_; ++k) naturalGradientStep(k);
        } else if (rule == UpdateRule::FixedPoint) {
            for (int k = 0; k < K_; ++k) fixedPointStep(k);
        }

        const float difference = previous - error;
        const bool converged = std::fabs(difference) < kConvergence;  // never for NaN
        done = i + 1;
        if ((i % kProgressPeriod == kProgressPeriod - 1 || converged) && progress)
            *progress << progressLine(rule, i + 1, error, difference) << std::endl;
        if (converged) break;
        ++i;
        previous = error;
    }

    projectBack();
    return done;
}

// ---------------------------------------------------------------- stage 1: whitening

void BlockSeparator::whiten() {
    const cx_float frames(float(T_), 0.0f);
    arma::cx_fvec mean(M_);
    arma::cx_fmat basis(M_, N_);      // E: eigenvectors of the N largest eigenvalues
    arma::cx_fmat rootScale(N_, N_);  // sqrt(D)
    arma::cx_fmat inverseRoot(N_, N_);

    for (int k = 0; k < K_; ++k) {
        const arma::cx_fmat& X = inputBlock.slice(k);
        mean = arma::mean(X, 1);
        centred_ = X;
        centred_.each_col() -= mean;
        covariance_ = centred_ * centred_.t();
        covariance_ /= frames;

        covarianceD_ = arma::conv_to<arma::cx_mat>::from(covariance_);
        if (!hermitianEigen(eigenvaluesD_, eigenvectorsD_, covarianceD_))
            throw SeparationError("eigen-decomposition of the channel covariance failed" + atBin(k) +
                                  (covariance_.is_finite() ? "" : " (the covariance is not finite)"));

        // Eigenvalues ascend: the N largest are the last N.
        rootScale.zeros();
        for (int n = 0; n < N_; ++n) {
            const int e = M_ - N_ + n;
            rootScale(n, n) = std::sqrt(cx_float(float(eigenvaluesD_[e]), 0.0f));
            for (int c = 0; c < M_; ++c) {
                const std::complex<double> v = eigenvectorsD_(c, e);
                basis(c, n) = cx_float(float(v.real()), float(v.imag()));
            }
        }
        pseudoInverse(inverseRoot, rootScale, "the whitening scale", k);

        arma::cx_fmat& V = whiteningMatrices.slice(k);
        V = inverseRoot * basis.t();
        whitenedBlock.slice(k) = V * centred_;

        for (int n = 0; n < N_; ++n) {
            bool zero = true;
            for (int c = 0; c < M_; ++c) zero = zero && V(n, c) == cx_float(0.0f, 0.0f);
            deadComponent_[size_t(k) * N_ + n] = zero ? 1 : 0;
        }
    }
}

// ---------------------------------------------------------------- stage 2

void BlockSeparator::initialiseDemixing() {
    for (int k = 0; k < K_; ++k) demixingMatrices.slice(k).eye();
}

// ---------------------------------------------------------------- stage 3: contrast

float BlockSeparator::computeContrast() {
    const arma::uword count = arma::uword(N_) * arma::uword(T_);
    float* sum = norm.memptr();  // the sum of powers first, its square root after
    std::fill(sum, sum + count, 0.0f);

    for (int k = 0; k < K_; ++k) {
        arma::cx_fmat& Y = separatedBlock.slice(k);
        Y = demixingMatrices.slice(k) * whitenedBlock.slice(k);
        const float* y = reinterpret_cast<const float*>(Y.memptr());
        float* p = power.slice_memptr(k);
        for (arma::uword i = 0; i < count; ++i) {
            const float re = y[2 * i], im = y[2 * i + 1];
            p[i] = re * re + im * im;
        }
        for (arma::uword i = 0; i < count; ++i) sum[i] += p[i];
    }

    float* a = scoreWeight.memptr();
    float* b = cubicWeight.memptr();
    for (arma::uword i = 0; i < count; ++i) {
        const float r = std::sqrt(sum[i]);
        sum[i] = r;
        a[i] = 1.0f / (r + kEpsilon);
        b[i] = 1.0f / (r * r * r + kEpsilon);
    }
    const arma::fvec all(norm.memptr(), count, false, true);
    return arma::mean(all);
}

// ---------------------------------------------------------------- stage 3: update rules

void BlockSeparator::naturalGradientStep(int k) {
    const arma::cx_fmat& Y = separatedBlock.slice(k);
    arma::cx_fmat& W = demixingMatrices.slice(k);
    const arma::uword count = Y.n_elem;

    const float* a = scoreWeight.memptr();
    const cx_float* y = Y.memptr();
    cx_float* phi = score_.memptr();
    for (arma::uword i = 0; i < count; ++i) phi[i] = a[i] * y[i];

    cross_ = score_ * Y.t();
    cross_ /= cx_float(float(T_), 0.0f);
    for (int j = 0; j < N_; ++j)
        for (int i = 0; i < N_; ++i) gradient_(i, j) = cx_float(i == j ? 1.0f : 0.0f, 0.0f) - cross_(i, j);
    cross_ = gradient_ * W;  // the change, before the step size
    const cx_float step(kStepSize, 0.0f);
    for (arma::uword i = 0; i < W.n_elem; ++i) W[i] = W[i] + cross_[i] * step;

    for (int n = 0; n < N_; ++n) {
        if (!deadComponent_[size_t(k) * N_ + n]) continue;
        W.col(n).zeros();
        W(n, n) = cx_float(1.0f, 0.0f);
    }
}

void BlockSeparator::fixedPointStep(int k) {
    const arma::cx_fmat& Y = separatedBlock.slice(k);
    const arma::cx_fmat& Z = whitenedBlock.slice(k);
    arma::cx_fmat& W = demixingMatrices.slice(k);
    const arma::uword count = Y.n_elem;

    const float* a = scoreWeight.memptr();
    const float* b = cubicWeight.memptr();
    const float* p = power.slice_memptr(k);
    const cx_float* y = Y.memptr();
    cx_float* phi = score_.memptr();
    float* terms = weightTerms_.memptr();
    for (arma::uword i = 0; i < count; ++i) {
        phi[i] = a[i] * y[i];
        terms[i] = a[i] - b[i] * p[i];
    }
    const arma::fvec weight = arma::mean(weightTerms_, 1);

    cross_ = score_ * Z.t();
    const cx_float frames(float(T_), 0.0f);
    for (int j = 0; j < N_; ++j)
        for (int i = 0; i < N_; ++i) W(i, j) = weight[i] * W(i, j) - cross_(i, j) / frames;

    symmetricDecorrelation(W, k);
}

void symmetricDecorrelation(arma::cx_fmat& W, int bin) {
    const arma::cx_fmat Q = W * W.t();
    const arma::cx_mat Qd = arma::conv_to<arma::cx_mat>::from(Q);
    arma::vec values;
    arma::cx_mat vectors;
    if (!hermitianEigen(values, vectors, Qd))
        throw SeparationError("eigen-decomposition of W W^H in the symmetric decorrelation failed" +
                              atBin(bin) + (Q.is_finite() ? "" : " (the demixing matrix is not finite)"));
    const arma::cx_fmat E = arma::conv_to<arma::cx_fmat>::from(vectors);
    const arma::cx_fmat D = arma::diagmat(arma::conv_to<arma::cx_fvec>::from(values));
    arma::cx_fmat inverseE;
    pseudoInverse(inverseE, E, "the eigenvectors of W W^H", bin);
    const arma::cx_fmat S = E * arma::sqrt(D) * inverseE;
    arma::cx_fmat inverseS;
    pseudoInverse(inverseS, S, "the square root of W W^H", bin);
    W = inverseS * W;
}

// ---------------------------------------------------------------- stage 4: projection back

void BlockSeparator::projectBack() {
    for (int k = 0; k < K_; ++k) {
        demixing_ = demixingMatrices.slice(k) * whiteningMatrices.slice(k);
        pseudoInverse(mixing_, demixing_, "the demixing matrix", k);
        // Row n of H scaled by element (n, n) of the estimated mixing matrix: source n at
        // channel n. With N < M the mixing matrix is M x N and only its first N rows have a
        // diagonal element; the other channels get no output.
        for (int c = 0; c < M_; ++c)
            for (int n = 0; n < N_; ++n) demixing_(n, c) = mixing_(n, n) * demixing_(n, c);
        separatedBlock.slice(k) = demixing_ * inputBlock.slice(k);
    }
}

}  // namespace separation

// The entry of libzelkbp_iva.so (see block_kernel.h).
extern "C" __attribute__((visibility("default"))) separation::BlockKernel* zelkbp_new_block_separator_v1() {
    return new separation::BlockSeparator;
}
