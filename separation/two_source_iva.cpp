#include "separation/two_source_iva.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace separation {

namespace {

using cxd = std::complex<double>;
using cxf = std::complex<float>;

const int kLanes = 8;  // independent partial sums in the frame loops, so that they vectorise

// A Hermitian 2 x 2 matrix [[u00, u01], [u01*, u11]].
struct Hermitian {
    double u00, u11;
    cxd u01;
};

// Row n of the 2 x 2 column-major W as doubles.
struct Row {
    cxd a, b;
};
Row rowOf(const cxf* W, int n) { return {cxd(W[n].real(), W[n].imag()), cxd(W[n + 2].real(), W[n + 2].imag())}; }
void store(cxf* W, int n, const Row& r) {
    W[n] = cxf(float(r.a.real()), float(r.a.imag()));
    W[n + 2] = cxf(float(r.b.real()), float(r.b.imag()));
}

// x U y^H for rows x and y.
cxd bilinear(const Row& x, const Hermitian& U, const Row& y) {
    return x.a * (U.u00 * std::conj(y.a) + U.u01 * std::conj(y.b)) +
           x.b * (std::conj(U.u01) * std::conj(y.a) + U.u11 * std::conj(y.b));
}
// x U
Row times(const Row& x, const Hermitian& U) {
    return {x.a * U.u00 + x.b * std::conj(U.u01), x.a * U.u01 + x.b * U.u11};
}

// Row n of W replaced by w^H, w = (W U)^(-1) e_n taken as the column of adj(W U) (the
// determinant cancels in the normalisation), scaled to w^H U w = 1.
void projectRow(cxf* W, int n, const Hermitian& U) {
    const Row r0 = rowOf(W, 0), r1 = rowOf(W, 1);
    const Row m0 = times(r0, U), m1 = times(r1, U);  // rows of M = W U
    // column n of adj(M): (m11, -m10) or (-m01, m00)
    const cxd a = n == 0 ? m1.b : -m0.b, b = n == 0 ? -m1.a : m0.a;
    const Row w{std::conj(a), std::conj(b)};  // w^H as a row
    const double quad = bilinear(w, U, w).real();
    if (!(quad > 0.0) || !std::isfinite(quad)) return;  // no usable direction: keep the row
    const double scale = 1.0 / std::sqrt(quad);
    store(W, n, {w.a * scale, w.b * scale});
}

}  // namespace

void TwoSourceIva::load(const arma::cx_fcube& whitened) {
    T_ = int(whitened.n_cols);
    K_ = int(whitened.n_slices);
    products_.resize(size_t(K_) * 4 * size_t(T_));
    rows_.resize(4 * size_t(T_));
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

float TwoSourceIva::contrast(const arma::cx_fcube& demixing, arma::fmat& norm, arma::fmat& scoreWeight,
                             arma::fmat& cubicWeight, float epsilon) {
    float* sum0 = rows_.data();  // the sums of powers of each source over the bins
    float* sum1 = sum0 + T_;
    std::fill(sum0, sum0 + 2 * T_, 0.0f);
    for (int k = 0; k < K_; ++k) {
        const cxf* W = demixing.slice_memptr(k);
        const float* q = products_.data() + size_t(k) * 4 * T_;
        for (int n = 0; n < 2; ++n) {
            const cxf a = W[n], b = W[n + 2], c = a * std::conj(b);
            const float ca = std::norm(a), cb = std::norm(b), cr = 2.0f * c.real(), ci = -2.0f * c.imag();
            float* s = n == 0 ? sum0 : sum1;
            for (int t = 0; t < T_; ++t)
                s[t] += ca * q[t] + cb * q[T_ + t] + cr * q[2 * T_ + t] + ci * q[3 * T_ + t];
        }
    }
    norm.set_size(2, T_);
    scoreWeight.set_size(2, T_);
    cubicWeight.set_size(2, T_);
    double total = 0.0;
    for (int t = 0; t < T_; ++t)
        for (int n = 0; n < 2; ++n) {
            // the quadratic form can round to a hair below zero for a silent frame
            const float r = std::sqrt(std::max((n == 0 ? sum0 : sum1)[t], 0.0f));
            norm(n, t) = r;
            scoreWeight(n, t) = 1.0f / (r + epsilon);
            cubicWeight(n, t) = 1.0f / (r * r * r + epsilon);
            total += r;
        }
    return float(total / (2.0 * T_));
}

void TwoSourceIva::takeRows(const arma::fmat& weight, int slot) {
    float* w0 = rows_.data() + size_t(slot) * T_;
    float* w1 = w0 + T_;
    for (int t = 0; t < T_; ++t) {
        w0[t] = weight(0, t);
        w1[t] = weight(1, t);
    }
}

void TwoSourceIva::covariance(int k, int slot, double out[4]) const {
    const float* weight = rows_.data() + size_t(slot) * T_;
    const float* terms = products_.data() + size_t(k) * 4 * T_;
    float lanes[4][kLanes] = {};
    int t = 0;
    for (; t + kLanes <= T_; t += kLanes)
        for (int j = 0; j < 4; ++j)
            for (int l = 0; l < kLanes; ++l) lanes[j][l] += weight[t + l] * terms[j * T_ + t + l];
    for (int j = 0; j < 4; ++j) {
        double sum = 0.0;
        for (int l = 0; l < kLanes; ++l) sum += lanes[j][l];
        for (int s = t; s < T_; ++s) sum += double(weight[s]) * double(terms[j * T_ + s]);
        out[j] = sum / double(T_);
    }
}

namespace {
Hermitian hermitian(const double u[4]) { return {u[0], u[1], cxd(u[2], u[3])}; }
}  // namespace

void TwoSourceIva::naturalGradient(arma::cx_fcube& demixing, const arma::fmat& scoreWeight, float step) {
    takeRows(scoreWeight, 0);
    for (int k = 0; k < K_; ++k) {
        double u0[4], u1[4];
        covariance(k, 0, u0);
        covariance(k, 1, u1);
        const Hermitian U[2] = {hermitian(u0), hermitian(u1)};
        cxf* W = demixing.slice_memptr(k);
        const Row r[2] = {rowOf(W, 0), rowOf(W, 1)};
        // G(i, j) = w_i^H U_i w_j, W += mu (I - G) W
        for (int i = 0; i < 2; ++i) {
            const cxd g0 = (i == 0 ? 1.0 : 0.0) - bilinear(r[i], U[i], r[0]);
            const cxd g1 = (i == 1 ? 1.0 : 0.0) - bilinear(r[i], U[i], r[1]);
            store(W, i, {r[i].a + double(step) * (g0 * r[0].a + g1 * r[1].a),
                         r[i].b + double(step) * (g0 * r[0].b + g1 * r[1].b)});
        }
    }
}

void TwoSourceIva::fixedPoint(arma::cx_fcube& demixing, const arma::fmat& scoreWeight,
                              const arma::fmat& cubicWeight) {
    takeRows(scoreWeight, 0);
    takeRows(cubicWeight, 2);
    double meanScore[2] = {0.0, 0.0};
    for (int n = 0; n < 2; ++n) {
        for (int t = 0; t < T_; ++t) meanScore[n] += rows_[size_t(n) * T_ + t];
        meanScore[n] /= double(T_);
    }
    for (int k = 0; k < K_; ++k) {
        cxf* W = demixing.slice_memptr(k);
        for (int n = 0; n < 2; ++n) {
            double u[4], c[4];
            covariance(k, n, u);
            covariance(k, 2 + n, c);
            const Hermitian U = hermitian(u), C = hermitian(c);
            const Row r = rowOf(W, n);
            // g(n) = mean_t (A - B |y|^2); w^H = g w^H - w^H U
            const double g = meanScore[n] - bilinear(r, C, r).real();
            const Row ru = times(r, U);
            store(W, n, {g * r.a - ru.a, g * r.b - ru.b});
        }
    }
}

void TwoSourceIva::iterativeProjection(arma::cx_fcube& demixing, const arma::fmat& scoreWeight) {
    takeRows(scoreWeight, 0);
    const float bins = float(K_);  // K / (r + eps)^2, the inverse of the variance per bin
    for (int i = 0; i < 2 * T_; ++i) rows_[size_t(i)] = bins * (rows_[size_t(i)] * rows_[size_t(i)]);
    for (int k = 0; k < K_; ++k) {
        double u0[4], u1[4];
        covariance(k, 0, u0);
        covariance(k, 1, u1);
        cxf* W = demixing.slice_memptr(k);
        projectRow(W, 0, hermitian(u0));
        projectRow(W, 1, hermitian(u1));
    }
}

}  // namespace separation
