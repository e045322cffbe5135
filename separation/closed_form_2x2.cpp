#include "separation/closed_form_2x2.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace separation {

namespace {

using cxd = std::complex<double>;
using cxf = std::complex<float>;

// The pinv() tolerance of a 2 x 2 float matrix whose largest singular value is `largest`.
double rankTolerance(double largest) { return 2.0 * largest * double(FLT_EPSILON); }

cxd widen(cxf v) { return cxd(v.real(), v.imag()); }
cxf narrow(cxd v) { return cxf(float(v.real()), float(v.imag())); }

// Eigen-decomposition of [[a, b], [conj(b), d]]: values low <= high, unit vectors (u, v).
struct Eigen {
    double low, high;
    cxd u[2], v[2];
};

Eigen eigen(double a, double d, cxd b) {
    const double mean = 0.5 * (a + d), half = 0.5 * (a - d);
    const double offSquared = b.real() * b.real() + b.imag() * b.imag();
    const double radius = std::sqrt(half * half + offSquared);
    Eigen e;
    if (!(radius > 0.0)) {  // a multiple of the identity (or not a number)
        e.low = e.high = mean + radius;
        e.u[0] = 1.0, e.u[1] = 0.0, e.v[0] = 0.0, e.v[1] = 1.0;
        return e;
    }
    // The value of larger magnitude has no cancellation; the other follows from the
    // determinant, whose products of float-sized inputs are nearly exact.
    const double det = a * d - offSquared;
    if (mean >= 0.0) {
        e.high = mean + radius;
        e.low = det / e.high;
    } else {
        e.low = mean - radius;
        e.high = det / e.low;
    }
    // Eigenvector of the larger value from whichever row of (Q - high I) is the larger, so
    // that its first component never cancels.
    cxd v0, v1;
    if (half >= 0.0) {
        v0 = half + radius;
        v1 = std::conj(b);
    } else {
        v0 = b;
        v1 = radius - half;
    }
    const double scale = 1.0 / std::sqrt(std::norm(v0) + std::norm(v1));
    e.v[0] = v0 * scale;
    e.v[1] = v1 * scale;
    e.u[0] = -std::conj(e.v[1]);  // orthogonal to v, unit length
    e.u[1] = std::conj(e.v[0]);
    return e;
}

}  // namespace

void hermitianEigen2x2(const cxd* matrices, int count, double* values, cxd* vectors) {
    for (int i = 0; i < count; ++i) {
        const cxd* q = matrices + 4 * i;
        const Eigen e = eigen(q[0].real(), q[3].real(), q[2]);
        values[2 * i] = e.low;
        values[2 * i + 1] = e.high;
        cxd* E = vectors + 4 * i;
        E[0] = e.u[0], E[1] = e.u[1], E[2] = e.v[0], E[3] = e.v[1];
    }
}

void inverseSquareRootHermitian2x2(const cxf* matrices, int count, cxf* out) {
    for (int i = 0; i < count; ++i) {
        const cxf* q = matrices + 4 * i;
        const Eigen e = eigen(q[0].real(), q[3].real(), widen(q[2]));
        // Singular values of the square root; a negative eigenvalue is rounding of a zero one.
        const double rootLow = std::sqrt(std::max(e.low, 0.0)), rootHigh = std::sqrt(std::max(e.high, 0.0));
        const double tolerance = rankTolerance(rootHigh);
        const double gainLow = rootLow > 0.0 && rootLow >= tolerance ? 1.0 / rootLow : 0.0;
        const double gainHigh = rootHigh > 0.0 && rootHigh >= tolerance ? 1.0 / rootHigh : 0.0;
        // sum over the kept pairs of e_j e_j^H / sqrt(value_j)
        cxf* S = out + 4 * i;
        for (int c = 0; c < 2; ++c)
            for (int r = 0; r < 2; ++r)
                S[2 * c + r] = narrow(gainLow * e.u[r] * std::conj(e.u[c]) + gainHigh * e.v[r] * std::conj(e.v[c]));
        if (std::isnan(e.low) || std::isnan(e.high))
            std::fill(S, S + 4, cxf(NAN, NAN));  // never a silent zero for a broken input
    }
}

void pseudoInverse2x2(const cxf* matrices, int count, cxf* out) {
    for (int i = 0; i < count; ++i) {
        const cxf* h = matrices + 4 * i;
        const cxd h00 = widen(h[0]), h10 = widen(h[1]), h01 = widen(h[2]), h11 = widen(h[3]);
        cxf* P = out + 4 * i;
        // Singular values from the Frobenius norm and the determinant:
        // s1^2 + s2^2 = |H|_F^2 and s1 s2 = |det H|.
        const double frobenius = std::norm(h00) + std::norm(h10) + std::norm(h01) + std::norm(h11);
        const cxd det = h00 * h11 - h01 * h10;
        const double absDet = std::abs(det);
        const double spread =
            std::sqrt(std::max(0.0, (frobenius - 2.0 * absDet) * (frobenius + 2.0 * absDet)));
        const double largest = std::sqrt(0.5 * (frobenius + spread));
        if (std::isnan(largest)) {
            std::fill(P, P + 4, cxf(NAN, NAN));
            continue;
        }
        if (!(largest > 0.0)) {
            std::fill(P, P + 4, cxf(0.0f, 0.0f));
            continue;
        }
        const double smallest = absDet / largest;
        if (smallest > 0.0 && smallest >= rankTolerance(largest)) {
            const cxd inv = 1.0 / det;  // full rank: adj(H) / det(H)
            P[0] = narrow(h11 * inv), P[1] = narrow(-h10 * inv);
            P[2] = narrow(-h01 * inv), P[3] = narrow(h00 * inv);
            continue;
        }
        // Rank one kept: pinv = v (H v)^H / s1^2, v the leading right singular vector,
        // the leading eigenvector of H^H H.
        const cxd g01 = std::conj(h00) * h01 + std::conj(h10) * h11;
        const Eigen e = eigen(std::norm(h00) + std::norm(h10), std::norm(h01) + std::norm(h11), g01);
        const cxd hv0 = h00 * e.v[0] + h01 * e.v[1], hv1 = h10 * e.v[0] + h11 * e.v[1];
        const double gain = 1.0 / (largest * largest);
        P[0] = narrow(gain * e.v[0] * std::conj(hv0)), P[1] = narrow(gain * e.v[1] * std::conj(hv0));
        P[2] = narrow(gain * e.v[0] * std::conj(hv1)), P[3] = narrow(gain * e.v[1] * std::conj(hv1));
    }
}

}  // namespace separation
