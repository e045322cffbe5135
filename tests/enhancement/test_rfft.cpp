// The real transform against a direct DFT, its round trip, and its exact operation order
// (bit reversal, twiddle order, packing) against a literal step-by-step transform.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "enhancement/rfft.h"

namespace {

using cfloat = std::complex<float>;
using cdouble = std::complex<double>;

std::vector<float> randomSignal(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1000.0f);
    std::vector<float> s(size_t(n), 0.0f);
    for (float& v : s) v = dist(gen);
    return s;
}

// sum_n x[n] E(-2 pi k n / L), k = 0 .. L/2, in double.
std::vector<cdouble> directForward(const std::vector<float>& x) {
    const size_t l = x.size();
    std::vector<cdouble> out(l / 2 + 1);
    for (size_t k = 0; k < out.size(); ++k)
        for (size_t n = 0; n < l; ++n)
            out[k] += double(x[n]) * std::polar(1.0, -2.0 * M_PI * double((k * n) % l) / double(l));
    return out;
}

double maxAbs(const std::vector<float>& v) {
    double m = 0.0;
    for (float x : v) m = std::max(m, double(std::fabs(x)));
    return m;
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A transform written step by step from its definition, with the bit reversal and the
// block twiddle index computed on the spot: the optimised one must match it bit for bit.
struct LiteralTransform {
    using V = std::vector<cfloat>;
    size_t m;
    V tw, tw2;

    static V table(size_t n) {
        V t(n);
        for (size_t k = 0; k < n; ++k) {
            double s, c;
            ::sincos((double(k) * 6.283185307179586) / double(n), &s, &c);
            t[k] = cfloat(float(c), -float(s));
        }
        return t;
    }
    static size_t rev(size_t v, int bits) {
        size_t r = 0;
        for (int b = 0; b < bits; ++b) r |= ((v >> b) & 1) << (bits - 1 - b);
        return r;
    }
    static cfloat mul(cfloat a, cfloat b) {
        return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
    }
    explicit LiteralTransform(size_t size) : m(size), tw(table(size)), tw2(table(2 * size)) {}

    void fft(V& x, bool inverse) const {
        int bits = 0;
        while ((size_t(1) << bits) < m) ++bits;
        for (size_t i = 1; m > 2 && i <= m - 2; ++i)
            if (rev(i, bits) > i) std::swap(x[i], x[rev(i, bits)]);
        for (size_t span = 1; 2 * span <= m; span *= 2)
            for (size_t s = 0, b = 0; s < m; s += 2 * span, ++b) {
                const cfloat w = inverse ? std::conj(tw[rev(b, bits - 1)]) : tw[rev(b, bits - 1)];
                for (size_t i = s; i < s + span; ++i) {
                    const cfloat a = x[i], c = x[i + span];
                    x[i] = {a.real() + c.real(), a.imag() + c.imag()};
                    x[i + span] = mul({a.real() - c.real(), a.imag() - c.imag()}, w);
                }
            }
    }
    V analyze(const std::vector<float>& samples) const {
        const size_t h = m, q = m / 2;
        V z(h), out(h + 1);
        for (size_t i = 0; i < h; ++i) z[i] = {samples[2 * i], samples[2 * i + 1]};
        fft(z, false);
        for (size_t k = 1; k < q; ++k) {
            const cfloat w = tw2[k], a = z[k], bc = std::conj(z[h - k]);
            const cfloat t = mul({0.5f * (1.0f - w.imag()), 0.5f * w.real()},
                                 {z[k].real() - z[h - k].real(), z[k].imag() + z[h - k].imag()});
            out[k] = {a.real() - t.real(), a.imag() - t.imag()};
            out[h - k] = std::conj(cfloat(bc.real() + t.real(), bc.imag() + t.imag()));
        }
        out[0] = {z[0].real() + z[0].imag(), 0.0f};
        out[h] = {z[0].real() - z[0].imag(), 0.0f};
        out[q] = std::conj(z[q]);
        return out;
    }
    std::vector<float> synthesize(const V& s) const {
        const size_t h = m, q = m / 2;
        V z(h);
        z[0] = {0.5f * (s[0].real() + s[h].real()), 0.5f * (s[0].real() - s[h].real())};
        z[q] = std::conj(s[q]);
        for (size_t k = 1; k < q; ++k) {
            const cfloat w = tw2[k], a = s[k], bc = std::conj(s[h - k]);
            const cfloat t = mul({0.5f * (1.0f + w.imag()), 0.5f * w.real()},
                                 {s[k].real() - s[h - k].real(), s[h - k].imag() + s[k].imag()});
            z[k] = {bc.real() + t.real(), bc.imag() + t.imag()};
            z[h - k] = std::conj(cfloat(a.real() - t.real(), a.imag() - t.imag()));
        }
        fft(z, true);
        std::vector<float> out(2 * h);
        for (size_t i = 0; i < h; ++i) out[2 * i] = 2.0f * z[i].real(), out[2 * i + 1] = 2.0f * z[i].imag();
        return out;
    }
};

}  // namespace

TEST(RealFft, AnalyzeMatchesDirectDftForEverySize) {
    for (int m : {2, 4, 8, 16, 64, 256}) {
        rfft<float> fft;
        fft.setup(m, m + 1);
        const std::vector<float> x = randomSignal(2 * m, unsigned(m));
        fft.samples = x;
        fft.analyze();
        const std::vector<cdouble> ref = directForward(x);
        // Single-precision error grows like log2(M) ulps of the largest bin.
        double scale = 0.0;
        for (const cdouble& v : ref) scale = std::max(scale, std::abs(v));
        for (int k = 0; k <= m; ++k) {
            SCOPED_TRACE("M = " + std::to_string(m) + ", bin " + std::to_string(k));
            EXPECT_NEAR(fft.spectrum[size_t(k)].real(), ref[size_t(k)].real(), 2e-6 * scale);
            EXPECT_NEAR(fft.spectrum[size_t(k)].imag(), ref[size_t(k)].imag(), 2e-6 * scale);
        }
        EXPECT_EQ(fft.spectrum[0].imag(), 0.0f);
        EXPECT_EQ(fft.spectrum[size_t(m)].imag(), 0.0f);
    }
}

TEST(RealFft, KnownPairsAndRoundTrip) {
    rfft<float> fft;
    fft.setup(8, 9);
    std::fill(fft.samples.begin(), fft.samples.end(), 1.0f);
    fft.analyze();
    EXPECT_EQ(fft.spectrum[0], cfloat(16.0f, 0.0f));
    for (int k = 1; k <= 8; ++k) EXPECT_NEAR(std::abs(fft.spectrum[size_t(k)]), 0.0f, 1e-5f) << k;

    std::fill(fft.spectrum.begin(), fft.spectrum.end(), cfloat(0.0f, 0.0f));
    fft.spectrum[0] = cfloat(1.0f, 0.0f);
    fft.synthesize();
    for (float v : fft.samples) EXPECT_EQ(v, 1.0f);

    // Nyquist bin alone: samples alternate +1, -1.
    std::fill(fft.spectrum.begin(), fft.spectrum.end(), cfloat(0.0f, 0.0f));
    fft.spectrum[8] = cfloat(1.0f, 0.0f);
    fft.synthesize();
    for (int n = 0; n < 16; ++n) EXPECT_NEAR(fft.samples[size_t(n)], (n % 2) ? -1.0f : 1.0f, 1e-6f) << n;

    // Round trip: L times the signal; the imaginary parts of bins 0 and M are not used.
    rfft<float> big;
    big.setup(256, 257);
    const std::vector<float> x = randomSignal(512, 99);
    big.samples = x;
    big.analyze();
    big.spectrum[0].imag(12345.0f);
    big.spectrum[256].imag(-777.0f);
    big.synthesize();
    const double tol = 4e-6 * 512.0 * maxAbs(x);
    for (size_t n = 0; n < x.size(); ++n) EXPECT_NEAR(big.samples[n], 512.0 * x[n], tol) << n;
}

TEST(RealFft, BitExactAgainstTheLiteralTransform) {
    for (int m : {2, 4, 8, 128, 256}) {
        SCOPED_TRACE("M = " + std::to_string(m));
        const LiteralTransform literal{size_t(m)};
        rfft<float> fft;
        fft.setup(m, m + 1);
        const std::vector<float> x = randomSignal(2 * m, unsigned(1000 + m));
        fft.samples = x;
        fft.analyze();
        const std::vector<cfloat> expect = literal.analyze(x);
        for (int k = 0; k <= m; ++k) {
            EXPECT_TRUE(sameBits(fft.spectrum[size_t(k)].real(), expect[size_t(k)].real()))
                << "analyze bin " << k;
            EXPECT_TRUE(sameBits(fft.spectrum[size_t(k)].imag(), expect[size_t(k)].imag()))
                << "analyze bin " << k;
        }
        const std::vector<float> back = literal.synthesize(fft.spectrum);
        fft.synthesize();
        for (int n = 0; n < 2 * m; ++n)
            EXPECT_TRUE(sameBits(fft.samples[size_t(n)], back[size_t(n)])) << "synthesize sample " << n;
    }
}

TEST(RealFft, SetupRefusesUnusableSizesAndKeepsBuffersOnTheSameSize) {
    rfft<float> fft;
    for (int bad : {0, 1, 3, 6, 255, -4}) EXPECT_THROW(fft.setup(bad, bad + 1), std::invalid_argument) << bad;
    EXPECT_THROW(fft.setup(8, 8), std::invalid_argument);
    fft.setup(4, 5);
    fft.samples[3] = 42.0f;
    fft.setup(4, 5);
    EXPECT_EQ(fft.samples[3], 42.0f);
    fft.setup(8, 9);  // grows: old samples kept, new ones zero
    EXPECT_EQ(fft.samples[3], 42.0f);
    EXPECT_EQ(fft.samples[12], 0.0f);
    EXPECT_EQ(fft.length, 16);
    EXPECT_EQ(fft.bins, 9);
}
