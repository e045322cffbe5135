#include "separation/block_separation.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <ostream>
#include <sstream>

#include "separation/closed_form_2x2.h"

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
                        : rule == UpdateRule::AuxIva        ? "Iterative-projection"
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
    const bool closedForms = closedForms_ || rule == UpdateRule::AuxIva;
    if (closedForms && M_ == 2)
        whitenClosedForm();
    else
        whiten();
    initialiseDemixing();
    if (rule == UpdateRule::AuxIva && N_ == M_) startFromInput(closedForms);
    const bool twoSources = closedForms && N_ == 2 && rule != UpdateRule::None;
    if (twoSources) loadTwoSourceKernel();

    int done = 0;
    float previous = kInitialError;
    for (int i = 0; i < maxIteration;) {
        float error;
        if (twoSources) {
            error = twoSourceIteration(rule);
        } else {
            error = computeContrast();
            if (rule == UpdateRule::NaturalGradient) {
                for (int k = 0; k < K_; ++k) naturalGradientStep(k);
            } else if (rule == UpdateRule::FixedPoint) {
                for (int k = 0; k < K_; ++k) fixedPointStep(k);
            } else if (rule == UpdateRule::AuxIva) {
                for (int k = 0; k < K_; ++k) auxiliaryFunctionStep(k);
            }
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

    if (closedForms && M_ == 2 && N_ == 2)
        projectBackClosedForm();
    else
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

void BlockSeparator::startFromInput(bool closedForms) {
    // W_k = pinv(V_k), so that W_k V_k = I; a bin with a dead component keeps the identity.
    std::vector<cx_float>& inverse = matrices2x2_;
    if (closedForms && N_ == 2) {
        inverse.resize(4 * size_t(K_));
        pseudoInverse2x2(whiteningMatrices.memptr(), K_, inverse.data());
    }
    for (int k = 0; k < K_; ++k) {
        bool dead = false;
        for (int n = 0; n < N_; ++n) dead = dead || deadComponent_[size_t(k) * N_ + n];
        if (dead) continue;
        arma::cx_fmat& W = demixingMatrices.slice(k);
        if (closedForms && N_ == 2)
            std::copy(&inverse[4 * size_t(k)], &inverse[4 * size_t(k)] + 4, W.memptr());
        else
            pseudoInverse(W, whiteningMatrices.slice(k), "the whitening matrix", k);
    }
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

    holdDeadComponents(k);
}

void BlockSeparator::holdDeadComponents(int k) {
    arma::cx_fmat& W = demixingMatrices.slice(k);
    for (int n = 0; n < N_; ++n) {
        if (!deadComponent_[size_t(k) * N_ + n]) continue;
        W.col(n).zeros();
        W(n, n) = cx_float(1.0f, 0.0f);
    }
}

void BlockSeparator::fixedPointStep(int k) {
    fixedPointMove(k);
    symmetricDecorrelation(demixingMatrices.slice(k), k);
}

void BlockSeparator::fixedPointMove(int k) {
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
}

void BlockSeparator::auxiliaryFunctionStep(int k) {
    auxiliaryFunctionUpdate(demixingMatrices.slice(k), whitenedBlock.slice(k), scoreWeight, K_);
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

// ---------------------------------------------------------------- closed forms, 2 x 2

void BlockSeparator::whitenClosedForm() {
    // Channel means (kept in matrices2x2_, two per bin) and covariances, accumulated in double.
    covariances2x2_.resize(4 * size_t(K_));
    eigenvalues2x2_.resize(2 * size_t(K_));
    matrices2x2_.resize(4 * size_t(K_));
    for (int k = 0; k < K_; ++k) {
        const cx_float* x = inputBlock.slice_memptr(k);  // (c, t) at c + 2t
        std::complex<double> sum0 = 0.0, sum1 = 0.0;
        for (int t = 0; t < T_; ++t) {
            sum0 += std::complex<double>(x[2 * t].real(), x[2 * t].imag());
            sum1 += std::complex<double>(x[2 * t + 1].real(), x[2 * t + 1].imag());
        }
        const std::complex<double> mean0 = sum0 / double(T_), mean1 = sum1 / double(T_);
        double r00 = 0.0, r11 = 0.0;
        std::complex<double> r01 = 0.0;
        for (int t = 0; t < T_; ++t) {
            const std::complex<double> a = std::complex<double>(x[2 * t].real(), x[2 * t].imag()) - mean0;
            const std::complex<double> b = std::complex<double>(x[2 * t + 1].real(), x[2 * t + 1].imag()) - mean1;
            r00 += std::norm(a);
            r11 += std::norm(b);
            r01 += a * std::conj(b);
        }
        std::complex<double>* R = &covariances2x2_[4 * size_t(k)];
        R[0] = r00 / double(T_), R[1] = std::conj(r01) / double(T_);
        R[2] = r01 / double(T_), R[3] = r11 / double(T_);
        matrices2x2_[4 * size_t(k)] = cx_float(float(mean0.real()), float(mean0.imag()));
        matrices2x2_[4 * size_t(k) + 1] = cx_float(float(mean1.real()), float(mean1.imag()));
        if (!std::isfinite(r00) || !std::isfinite(r11) || !std::isfinite(std::abs(r01)))
            throw SeparationError("eigen-decomposition of the channel covariance failed" + atBin(k) +
                                  " (the covariance is not finite)");
    }
    hermitianEigen2x2(covariances2x2_.data(), K_, eigenvalues2x2_.data(), covariances2x2_.data());

    for (int k = 0; k < K_; ++k) {
        const std::complex<double>* E = &covariances2x2_[4 * size_t(k)];
        const double* values = &eigenvalues2x2_[2 * size_t(k)];
        // The N largest eigenvalues, ascending as in whiten(), through pinv(sqrt(D)).
        double roots[2], largest = 0.0;
        for (int n = 0; n < N_; ++n) {
            roots[n] = std::sqrt(std::max(values[2 - N_ + n], 0.0));
            largest = std::max(largest, roots[n]);
        }
        const double tolerance = double(N_) * largest * double(FLT_EPSILON);
        arma::cx_fmat& V = whiteningMatrices.slice(k);
        for (int n = 0; n < N_; ++n) {
            const double gain = roots[n] > 0.0 && roots[n] >= tolerance ? 1.0 / roots[n] : 0.0;
            const int e = 2 - N_ + n;
            for (int c = 0; c < 2; ++c) {
                const std::complex<double> v = gain * std::conj(E[2 * e + c]);
                V(n, c) = cx_float(float(v.real()), float(v.imag()));
            }
            deadComponent_[size_t(k) * N_ + n] = gain == 0.0 ? 1 : 0;
        }
        const cx_float mean0 = matrices2x2_[4 * size_t(k)], mean1 = matrices2x2_[4 * size_t(k) + 1];
        const cx_float* x = inputBlock.slice_memptr(k);
        cx_float* z = whitenedBlock.slice_memptr(k);
        for (int t = 0; t < T_; ++t) {
            const cx_float a = x[2 * t] - mean0, b = x[2 * t + 1] - mean1;
            for (int n = 0; n < N_; ++n) z[N_ * t + n] = V(n, 0) * a + V(n, 1) * b;
        }
    }
}

void BlockSeparator::loadTwoSourceKernel() { twoSource_.load(whitenedBlock); }

float BlockSeparator::twoSourceIteration(UpdateRule rule) {
    const float error = twoSource_.contrast(demixingMatrices, norm, scoreWeight, cubicWeight, kEpsilon);
    if (rule == UpdateRule::NaturalGradient) {
        twoSource_.naturalGradient(demixingMatrices, scoreWeight, kStepSize);
        for (int k = 0; k < K_; ++k) holdDeadComponents(k);
    } else if (rule == UpdateRule::FixedPoint) {
        twoSource_.fixedPoint(demixingMatrices, scoreWeight, cubicWeight);
        decorrelateAllClosedForm();
    } else if (rule == UpdateRule::AuxIva) {
        twoSource_.iterativeProjection(demixingMatrices, scoreWeight);
    }
    return error;
}

void BlockSeparator::decorrelateAllClosedForm() {
    matrices2x2_.resize(4 * size_t(K_));
    for (int k = 0; k < K_; ++k) {  // Q = W W^H
        const cx_float* W = demixingMatrices.slice_memptr(k);
        cx_float* Q = &matrices2x2_[4 * size_t(k)];
        Q[0] = cx_float(std::norm(W[0]) + std::norm(W[2]), 0.0f);
        Q[2] = W[0] * std::conj(W[1]) + W[2] * std::conj(W[3]);
        Q[1] = std::conj(Q[2]);
        Q[3] = cx_float(std::norm(W[1]) + std::norm(W[3]), 0.0f);
    }
    inverseSquareRootHermitian2x2(matrices2x2_.data(), K_, matrices2x2_.data());
    for (int k = 0; k < K_; ++k) {  // W = pinv(sqrt(Q)) W
        cx_float* W = demixingMatrices.slice_memptr(k);
        const cx_float* S = &matrices2x2_[4 * size_t(k)];
        const cx_float w00 = W[0], w10 = W[1], w01 = W[2], w11 = W[3];
        W[0] = S[0] * w00 + S[2] * w10;
        W[1] = S[1] * w00 + S[3] * w10;
        W[2] = S[0] * w01 + S[2] * w11;
        W[3] = S[1] * w01 + S[3] * w11;
        for (int i = 0; i < 4; ++i)
            if (!std::isfinite(W[i].real()) || !std::isfinite(W[i].imag()))
                throw SeparationError("symmetric decorrelation failed" + atBin(k) +
                                      " (the demixing matrix is not finite)");
    }
}

void BlockSeparator::projectBackClosedForm() {
    std::vector<cx_float>& H = matrices2x2_;
    H.resize(4 * size_t(K_));
    for (int k = 0; k < K_; ++k) {  // H = W V
        const cx_float* W = demixingMatrices.slice_memptr(k);
        const cx_float* V = whiteningMatrices.slice_memptr(k);
        cx_float* h = &H[4 * size_t(k)];
        h[0] = W[0] * V[0] + W[2] * V[1];
        h[1] = W[1] * V[0] + W[3] * V[1];
        h[2] = W[0] * V[2] + W[2] * V[3];
        h[3] = W[1] * V[2] + W[3] * V[3];
    }
    std::vector<cx_float> mixing(H.size());
    pseudoInverse2x2(H.data(), K_, mixing.data());
    for (int k = 0; k < K_; ++k) {
        const cx_float* P = &mixing[4 * size_t(k)];
        cx_float* h = &H[4 * size_t(k)];
        // row n of H scaled by element (n, n) of the estimated mixing matrix
        h[0] = P[0] * h[0], h[2] = P[0] * h[2];
        h[1] = P[3] * h[1], h[3] = P[3] * h[3];
        for (int i = 0; i < 4; ++i)
            if (!std::isfinite(h[i].real()) || !std::isfinite(h[i].imag()))
                throw SeparationError("pseudo-inverse of the demixing matrix failed" + atBin(k) +
                                      " (the demixing matrix is not finite)");
        const cx_float* x = inputBlock.slice_memptr(k);
        cx_float* y = separatedBlock.slice_memptr(k);
        for (int t = 0; t < T_; ++t) {
            const cx_float a = x[2 * t], b = x[2 * t + 1];
            y[2 * t] = h[0] * a + h[2] * b;
            y[2 * t + 1] = h[1] * a + h[3] * b;
        }
    }
}

// ---------------------------------------------------------------- talkers across blocks

MixingView BlockSeparator::followTalkers(bool keepOrder) {
    estimateMixing(inputBlock, separatedBlock, &talkers_);
    if (keepOrder) applyOrder(order_.align(talkers_), separatedBlock, talkers_);
    return mixingView(talkers_);
}

}  // namespace separation

// The entry of libzelkbp_iva.so (see block_kernel.h).
extern "C" __attribute__((visibility("default"))) separation::BlockKernel* zelkbp_new_block_separator_v2() {
    return new separation::BlockSeparator;
}
