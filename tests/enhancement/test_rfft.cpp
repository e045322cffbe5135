// The real transform against a direct DFT, its round trip, and its exact operation order
// against a literal step-by-step transform.
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

// sum_k S~[k] E(2 pi k n / L) over the Hermitian extension, real parts of S[0], S[L/2] only.
std::vector<double> directInverse(const std::vector<cfloat>& s, int l) {
    std::vector<double> out(size_t(l), 0.0);
    const int h = l / 2;
    for (int n = 0; n < l; ++n) {
        double acc = double(s[0].real()) + double(s[size_t(h)].real()) * ((n % 2) ? -1.0 : 1.0);
        for (int k = 1; k < h; ++k) {
            const cdouble v(s[size_t(k)].real(), s[size_t(k)].imag());
            acc += 2.0 * (v * std::polar(1.0, 2.0 * M_PI * double((long(k) * n) % l) / double(l))).real();
        }
        out[size_t(n)] = acc;
    }
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
    int m;
    std::vector<cfloat> tw, tw2;

    static std::vector<cfloat> table(int n) {
        std::vector<cfloat> t(static_cast<size_t>(n));
        for (int k = 0; k < n; ++k) {
            const double theta = (double(k) * 6.283185307179586) / double(n);
            double s, c;
            ::sincos(theta, &s, &c);
            t[size_t(k)] = cfloat(float(c), -float(s));
        }
        return t;
    }
    static int rev(int v, int bits) {
        int r = 0;
        for (int b = 0; b < bits; ++b)
            if (v & (1 << b)) r |= 1 << (bits - 1 - b);
        return r;
    }
    static cfloat mul(cfloat a, cfloat b) {
        return cfloat(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
    }
    explicit LiteralTransform(int size) : m(size), tw(table(size)), tw2(table(2 * size)) {}

    void fft(std::vector<cfloat>& x, bool inverse) const {
        int bits = 0;
        while ((1 << bits) < m) ++bits;
        if (m > 2)
            for (int i = 1; i <= m - 2; ++i) {
                const int j = rev(i, bits);
                if (j > i) std::swap(x[size_t(i)], x[size_t(j)]);
            }
        for (int span = 1; 2 * span <= m; span *= 2) {
            for (int s = 0, b = 0; s < m; s += 2 * span, ++b) {
                cfloat w = tw[size_t(rev(b, bits - 1))];
                if (inverse) w = std::conj(w);
                for (int i = 0; i < span; ++i) {
                    const cfloat a = x[size_t(s + i)], c = x[size_t(s + i + span)];
                    x[size_t(s + i)] = cfloat(a.real() + c.real(), a.imag() + c.imag());
                    x[size_t(s + i + span)] = mul(cfloat(a.real() - c.real(), a.imag() - c.imag()), w);
                }
            }
        }
    }
    std::vector<cfloat> analyze(const std::vector<float>& samples) const {
        const int h = m, q = m / 2;
        std::vector<cfloat> z(static_cast<size_t>(h)), out(static_cast<size_t>(h + 1));
        for (int i = 0; i < h; ++i) z[size_t(i)] = cfloat(samples[size_t(2 * i)], samples[size_t(2 * i + 1)]);
        fft(z, false);
        for (int k = 1; k < q; ++k) {
            const cfloat w = tw2[size_t(k)], a = z[size_t(k)], bc = std::conj(z[size_t(h - k)]);
            const cfloat f(0.5f * (1.0f - w.imag()), 0.5f * w.real());
            const cfloat d(z[size_t(k)].real() - z[size_t(h - k)].real(),
                           z[size_t(k)].imag() + z[size_t(h - k)].imag());
            const cfloat t = mul(f, d);
            out[size_t(k)] = cfloat(a.real() - t.real(), a.imag() - t.imag());
            out[size_t(h - k)] = std::conj(cfloat(bc.real() + t.real(), bc.imag() + t.imag()));
        }
        out[0] = cfloat(z[0].real() + z[0].imag(), 0.0f);
        out[size_t(h)] = cfloat(z[0].real() - z[0].imag(), 0.0f);
        out[size_t(q)] = std::conj(z[size_t(q)]);
        return out;
    }
    std::vector<float> synthesize(const std::vector<cfloat>& s) const {
        const int h = m, q = m / 2;
        std::vector<cfloat> z(static_cast<size_t>(h));
        z[0] = cfloat(0.5f * (s[0].real() + s[size_t(h)].real()), 0.5f * (s[0].real() - s[size_t(h)].real()));
        z[size_t(q)] = std::conj(s[size_t(q)]);
        for (int k = 1; k < q; ++k) {
            const cfloat w = tw2[size_t(k)], a = s[size_t(k)], bc = std::conj(s[size_t(h - k)]);
            const cfloat f(0.5f * (1.0f + w.imag()), 0.5f * w.real());
            const cfloat d(s[size_t(k)].real() - s[size_t(h - k)].real(),
                           s[size_t(h - k)].imag() + s[size_t(k)].imag());
            const cfloat t = mul(f, d);
            z[size_t(k)] = cfloat(bc.real() + t.real(), bc.imag() + t.imag());
            z[size_t(h - k)] = std::conj(cfloat(a.real() - t.real(), a.imag() - t.imag()));
        }
        fft(z, true);
        std::vector<float> out(size_t(2 * h));
        for (int i = 0; i < h; ++i) {
            out[size_t(2 * i)] = 2.0f * z[size_t(i)].real();
            out[size_t(2 * i + 1)] = 2.0f * z[size_t(i)].imag();
        }
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

TEST(RealFft, SynthesizeIsTheUnnormalisedInverseOfTheHermitianExtension) {
    for (int m : {2, 4, 32, 256}) {
        rfft<float> fft;
        fft.setup(m, m + 1);
        std::mt19937 gen(unsigned(7 * m));
        std::normal_distribution<float> dist(0.0f, 10.0f);
        for (cfloat& v : fft.spectrum) v = cfloat(dist(gen), dist(gen));
        const std::vector<cfloat> s = fft.spectrum;
        fft.synthesize();
        const std::vector<double> ref = directInverse(s, 2 * m);
        double scale = 0.0;
        for (double v : ref) scale = std::max(scale, std::fabs(v));
        for (int n = 0; n < 2 * m; ++n)
            EXPECT_NEAR(fft.samples[size_t(n)], ref[size_t(n)], 2e-6 * scale) << "M = " << m << ", n = " << n;

        // The imaginary parts of bins 0 and M are not used.
        fft.spectrum = s;
        fft.spectrum[0] = cfloat(s[0].real(), 12345.0f);
        fft.spectrum[size_t(m)] = cfloat(s[size_t(m)].real(), -777.0f);
        const std::vector<float> first = fft.samples;
        fft.synthesize();
        EXPECT_EQ(fft.samples, first);
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

    rfft<float> big;
    big.setup(256, 257);
    const std::vector<float> x = randomSignal(512, 99);
    big.samples = x;
    big.analyze();
    big.synthesize();
    const double tol = 4e-6 * 512.0 * maxAbs(x);
    for (size_t n = 0; n < x.size(); ++n) EXPECT_NEAR(big.samples[n], 512.0 * x[n], tol) << n;
}

TEST(RealFft, BitExactAgainstTheLiteralTransform) {
    for (int m : {2, 4, 8, 128, 256}) {
        SCOPED_TRACE("M = " + std::to_string(m));
        LiteralTransform literal(m);
        rfft<float> fft;
        fft.setup(m, m + 1);
        for (int k = 0; k < m; ++k) {
            ASSERT_TRUE(sameBits(fft.twiddles[size_t(k)].real(), literal.tw[size_t(k)].real())) << k;
            ASSERT_TRUE(sameBits(fft.twiddles[size_t(k)].imag(), literal.tw[size_t(k)].imag())) << k;
        }
        for (int k = 0; k < 2 * m; ++k) {
            ASSERT_TRUE(sameBits(fft.twiddles2[size_t(k)].real(), literal.tw2[size_t(k)].real())) << k;
            ASSERT_TRUE(sameBits(fft.twiddles2[size_t(k)].imag(), literal.tw2[size_t(k)].imag())) << k;
        }

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
        const std::vector<cfloat> s = fft.spectrum;
        fft.synthesize();
        const std::vector<float> back = literal.synthesize(s);
        for (int n = 0; n < 2 * m; ++n)
            EXPECT_TRUE(sameBits(fft.samples[size_t(n)], back[size_t(n)])) << "synthesize sample " << n;
    }
}

TEST(RealFft, SetupRefusesUnusableSizesAndKeepsBuffersOnTheSameSize) {
    rfft<float> fft;
    for (int bad : {0, 1, 3, 6, 255, -4}) EXPECT_THROW(fft.setup(bad, bad + 1), std::invalid_argument) << bad;
    EXPECT_THROW(fft.setup(8, 8), std::invalid_argument);
    EXPECT_FALSE(rfft<float>::validSize(300));
    EXPECT_TRUE(rfft<float>::validSize(2));

    fft.setup(4, 5);
    fft.samples[3] = 42.0f;
    fft.spectrum[2] = cfloat(1.0f, 2.0f);
    fft.setup(4, 5);
    EXPECT_EQ(fft.samples[3], 42.0f);
    EXPECT_EQ(fft.spectrum[2], cfloat(1.0f, 2.0f));
    fft.setup(8, 9);  // grows: old samples kept, new ones zero
    EXPECT_EQ(fft.samples.size(), 16u);
    EXPECT_EQ(fft.samples[3], 42.0f);
    EXPECT_EQ(fft.samples[12], 0.0f);
    EXPECT_EQ(fft.length, 16);
    EXPECT_EQ(fft.bins, 9);
}
