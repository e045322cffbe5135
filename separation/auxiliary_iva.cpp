#include "separation/auxiliary_iva.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace separation {

namespace {

using cxd = std::complex<double>;
using cxf = std::complex<float>;

const int kLanes = 8;  // independent partial sums per frame loop, so that it vectorises

// sum over t of weight[t] * terms[j][t] for the four terms, in kLanes partial sums.
void weightedSums(const float* weight, const float* terms, int T, double out[4]) {
    float lanes[4][kLanes] = {};
    int t = 0;
    for (; t + kLanes <= T; t += kLanes)
        for (int j = 0; j < 4; ++j)
            for (int l = 0; l < kLanes; ++l) lanes[j][l] += weight[t + l] * terms[j * T + t + l];
    for (int j = 0; j < 4; ++j) {
        double sum = 0.0;
        for (int l = 0; l < kLanes; ++l) sum += lanes[j][l];
        for (int s = t; s < T; ++s) sum += double(weight[s]) * double(terms[j * T + s]);
        out[j] = sum;
    }
}

// Row n of W (2 x 2, column-major) from the weighted covariance U = [[u00, u01], [u01*, u11]]:
// w = (W U)^(-1) e_n taken as the column of adj(W U) (the determinant cancels in the
// normalisation), scaled to w^H U w = 1 and stored as its conjugate.
void projectRow(cxf* W, int n, double u00, double u11, cxd u01) {
    const cxd w00(W[0].real(), W[0].imag()), w10(W[1].real(), W[1].imag());
    const cxd w01(W[2].real(), W[2].imag()), w11(W[3].real(), W[3].imag());
    // M = W U
    const cxd m00 = w00 * u00 + w01 * std::conj(u01), m01 = w00 * u01 + w01 * u11;
    const cxd m10 = w10 * u00 + w11 * std::conj(u01), m11 = w10 * u01 + w11 * u11;
    const cxd a = n == 0 ? m11 : -m01, b = n == 0 ? -m10 : m00;
    const double quad = u00 * std::norm(a) + u11 * std::norm(b) + 2.0 * (std::conj(a) * u01 * b).real();
    if (!(quad > 0.0) || !std::isfinite(quad)) return;  // no usable direction: keep the row
    const double scale = 1.0 / std::sqrt(quad);
    W[n] = cxf(float(a.real() * scale), float(-a.imag() * scale));
    W[n + 2] = cxf(float(b.real() * scale), float(-b.imag() * scale));
}

}  // namespace

void TwoSourceAuxIva::load(const arma::cx_fcube& whitened) {
    T_ = int(whitened.n_cols);
    K_ = int(whitened.n_slices);
    products_.resize(size_t(K_) * 4 * size_t(T_));
    rowWeight_.resize(2 * size_t(T_));
    for (int k = 0; k < K_; ++k) {
        const cxf* z = whitened.slice_memptr(k);
        float* q = products_.data() + size_t(k) * 4 * T_;
        for (int t = 0; t < T_; ++t) {
            const cxf z0 = z[2 * t], z1 = z[2 * t + 1];
            q[t] = z0.real() * z0.real() + z0.imag() * z0.imag();
            q[T_ + t] = z1.real() * z1.real() + z1.imag() * z1.imag();
            q[2 * T_ + t] = z0.real() * z1.real() + z0.imag() * z1.imag();
            q[3 * T_ + t] = z0.imag() * z1.real() - z0.real() * z1.imag();
        }
    }
}

float TwoSourceAuxIva::contrast(const arma::cx_fcube& demixing, arma::fmat& norm, arma::fmat& weight,
                                float epsilon) {
    float* sum0 = rowWeight_.data();  // the sums of powers of each source, over the bins
    float* sum1 = sum0 + T_;
    std::fill(sum0, sum0 + 2 * T_, 0.0f);
    for (int k = 0; k < K_; ++k) {
        const cxf* W = demixing.slice_memptr(k);
        const float* q = products_.data() + size_t(k) * 4 * T_;
        for (int n = 0; n < 2; ++n) {
            // |a z0 + b z1|^2 = |a|^2 |z0|^2 + |b|^2 |z1|^2 + 2 Re(a b* z0 z1*), (a, b) row n
            const cxf a = W[n], b = W[n + 2], c = a * std::conj(b);
            const float ca = std::norm(a), cb = std::norm(b), cr = 2.0f * c.real(), ci = -2.0f * c.imag();
            float* s = n == 0 ? sum0 : sum1;
            for (int t = 0; t < T_; ++t)
                s[t] += ca * q[t] + cb * q[T_ + t] + cr * q[2 * T_ + t] + ci * q[3 * T_ + t];
        }
    }
    norm.set_size(2, T_);
    weight.set_size(2, T_);
    double total = 0.0;
    for (int t = 0; t < T_; ++t)
        for (int n = 0; n < 2; ++n) {
            // the quadratic form can round to a hair below zero for a silent frame
            const float r = std::sqrt(std::max((n == 0 ? sum0 : sum1)[t], 0.0f));
            norm(n, t) = r;
            weight(n, t) = 1.0f / (r + epsilon);
            total += r;
        }
    return float(total / (2.0 * T_));
}

void TwoSourceAuxIva::update(arma::cx_fcube& demixing, const arma::fmat& weight) {
    float* weight0 = rowWeight_.data();
    float* weight1 = weight0 + T_;
    for (int t = 0; t < T_; ++t) {
        weight0[t] = weight(0, t);
        weight1[t] = weight(1, t);
    }
    const double frames = double(T_);
    for (int k = 0; k < K_; ++k) {
        const float* q = products_.data() + size_t(k) * 4 * T_;
        double u[2][4];
        weightedSums(weight0, q, T_, u[0]);
        weightedSums(weight1, q, T_, u[1]);
        cxf* W = demixing.slice_memptr(k);
        for (int n = 0; n < 2; ++n)
            projectRow(W, n, u[n][0] / frames, u[n][1] / frames, cxd(u[n][2], u[n][3]) / frames);
    }
}

void auxiliaryFunctionUpdate(arma::cx_fmat& W, const arma::cx_fmat& Z, const arma::fmat& A) {
    const arma::uword N = W.n_rows;
    const arma::cx_mat Zd = arma::conv_to<arma::cx_mat>::from(Z);
    for (arma::uword n = 0; n < N; ++n) {
        arma::cx_mat weighted = Zd;
        weighted.each_row() %= arma::conv_to<arma::cx_rowvec>::from(arma::conv_to<arma::rowvec>::from(A.row(n)));
        const arma::cx_mat U = weighted * Zd.t() / double(Z.n_cols);
        const arma::cx_mat M = arma::conv_to<arma::cx_mat>::from(W) * U;
        arma::cx_mat inverse;
        if (!arma::pinv(inverse, M)) continue;
        const arma::cx_vec w = inverse.col(n);
        const double quad = std::real(arma::cdot(w, U * w));
        if (!(quad > 0.0) || !std::isfinite(quad)) continue;
        W.row(n) = arma::conv_to<arma::cx_frowvec>::from(arma::cx_rowvec((w / std::sqrt(quad)).t()));
    }
}

}  // namespace separation
