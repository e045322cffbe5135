// The real transform against a direct DFT, its round trip, and its exact operation order
// (bit reversal, twiddle order, untangling) against a literal step-by-step transform.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "enhancement/rfft.h"
#include "tests/enhancement/enhancement_test_util.h"

using enhancement_test::bits;

namespace {

using cfloat = std::complex<float>;
using V = std::vector<cfloat>;

std::vector<float> randomSignal(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1000.0f);
    std::vector<float> s(static_cast<size_t>(n));
    for (float& v : s) v = dist(gen);
    return s;
}

cfloat mul(cfloat a, cfloat b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
cfloat add(cfloat a, cfloat b) { return {a.real() + b.real(), a.imag() + b.imag()}; }
cfloat sub(cfloat a, cfloat b) { return {a.real() - b.real(), a.imag() - b.imag()}; }

// The forward transform written step by step from its definition: bit reversal and block
// twiddle index computed on the spot, tables from double-precision sincos.
V literalAnalyze(const std::vector<float>& samples) {
    const size_t h = samples.size() / 2, q = h / 2;
    auto table = [](size_t n) {
        V t(n);
        for (size_t k = 0; k < n; ++k) {
            double s, c;
            ::sincos((double(k) * 6.283185307179586) / double(n), &s, &c);
            t[k] = cfloat(float(c), -float(s));
        }
        return t;
    };
    int bits = 0;
    while ((size_t(1) << bits) < h) ++bits;
    auto rev = [](size_t v, int n) {
        size_t r = 0;
        for (int b = 0; b < n; ++b) r |= ((v >> b) & 1) << (n - 1 - b);
        return r;
    };
    const V tw = table(h), tw2 = table(2 * h);
    V z(h), out(h + 1);
    for (size_t i = 0; i < h; ++i) z[i] = {samples[2 * i], samples[2 * i + 1]};
    for (size_t i = 1; h > 2 && i <= h - 2; ++i)
        if (rev(i, bits) > i) std::swap(z[i], z[rev(i, bits)]);
    for (size_t span = 1; 2 * span <= h; span *= 2)
        for (size_t s = 0, b = 0; s < h; s += 2 * span, ++b)
            for (size_t i = s; i < s + span; ++i) {
                const cfloat a = z[i], c = z[i + span];
                z[i] = add(a, c);
                z[i + span] = mul(sub(a, c), tw[rev(b, bits - 1)]);
            }
    for (size_t k = 1; k < q; ++k) {
        const cfloat t = mul({0.5f * (1.0f - tw2[k].imag()), 0.5f * tw2[k].real()},
                             {z[k].real() - z[h - k].real(), z[k].imag() + z[h - k].imag()});
        out[k] = sub(z[k], t);
        out[h - k] = std::conj(add(std::conj(z[h - k]), t));
    }
    out[0] = {z[0].real() + z[0].imag(), 0.0f};
    out[h] = {z[0].real() - z[0].imag(), 0.0f};
    out[q] = std::conj(z[q]);
    return out;
}

}  // namespace

TEST(RealFft, MatchesDirectDftAndLiteralOrderAndRoundTrips) {
    for (int m : {2, 4, 8, 256}) {
        SCOPED_TRACE(m);
        rfft<float> fft;
        fft.setup(m, m + 1);
        const std::vector<float> x = randomSignal(2 * m, unsigned(m));
        fft.samples = x;
        fft.analyze();
        const V literal = literalAnalyze(x);
        const size_t l = x.size();
        std::vector<std::complex<double>> ref(size_t(m) + 1);
        double scale = 0.0, peak = 0.0;
        for (size_t k = 0; k <= size_t(m); ++k) {
            for (size_t n = 0; n < l; ++n)
                ref[k] += double(x[n]) * std::polar(1.0, -2.0 * M_PI * double((k * n) % l) / double(l));
            scale = std::max(scale, std::abs(ref[k]));
        }
        for (size_t k = 0; k <= size_t(m); ++k) {
            EXPECT_NEAR(fft.spectrum[k].real(), ref[k].real(), 2e-6 * scale) << k;
            EXPECT_NEAR(fft.spectrum[k].imag(), ref[k].imag(), 2e-6 * scale) << k;
            EXPECT_EQ(bits(fft.spectrum[k].real()), bits(literal[k].real())) << k;
            EXPECT_EQ(bits(fft.spectrum[k].imag()), bits(literal[k].imag())) << k;
        }
        EXPECT_EQ(fft.spectrum[0].imag(), 0.0f);
        EXPECT_EQ(fft.spectrum[size_t(m)].imag(), 0.0f);
        // Synthesized: L times the signal; the imaginary parts of bins 0 and M are not used.
        fft.spectrum[0].imag(12345.0f);
        fft.spectrum[size_t(m)].imag(-777.0f);
        fft.synthesize();
        for (float v : x) peak = std::max(peak, double(std::fabs(v)));
        for (size_t n = 0; n < l; ++n) EXPECT_NEAR(fft.samples[n], double(l) * x[n], 4e-6 * double(l) * peak) << n;
    }
}

TEST(RealFft, SetupRefusesUnusableSizes) {
    rfft<float> fft;
    for (int bad : {0, 1, 3, 6, 255, -4}) EXPECT_THROW(fft.setup(bad, bad + 1), std::invalid_argument) << bad;
    EXPECT_THROW(fft.setup(8, 8), std::invalid_argument);
}
