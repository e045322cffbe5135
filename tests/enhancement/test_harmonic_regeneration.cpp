// Harmonic regeneration: the rectifier recreates the harmonics of a tone, the gain mixes
// them with the rule's estimate, and degenerate rows stay sound.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "enhancement/gain_rules.h"
#include "enhancement/harmonic_regeneration.h"

using namespace enhancement;
using cfloat = std::complex<float>;

namespace {

// One row of M bins with every per-bin input of the regeneration.
struct Row {
    explicit Row(int m)
        : m(m),
          power(m, 4.0f),
          magnitude(m, 2.0f),
          cosPhase(m, 1.0f),
          sinPhase(m, 0.0f),
          gain(m, 0.0f),
          amplitude(m, 0.0f),
          noise(m, 1.0f),
          y(m + 1, cfloat(0.0f, 0.0f)) {}
    RegenerationRow view() const {
        return {m,           power.data(),     magnitude.data(), cosPhase.data(), sinPhase.data(),
                gain.data(), amplitude.data(), noise.data()};
    }
    int m;
    std::vector<float> power, magnitude, cosPhase, sinPhase, gain, amplitude, noise;
    std::vector<cfloat> y;
};

}  // namespace

TEST(HarmonicRegeneration, ZeroRowStaysZero) {
    Row row(16);
    rfft<float> fft;
    regenerateHarmonics(fft, row.view(), row.y.data());
    for (const cfloat& v : row.y) EXPECT_EQ(v, cfloat(0.0f, 0.0f));
}

TEST(HarmonicRegeneration, RectifiedToneRegeneratesItsEvenHarmonics) {
    // Enhanced row: one cosine at bin k0. Synthesized it is 2c cos(2 pi k0 n / L); the half-wave
    // rectifier gives a DC term, the fundamental and the even harmonics 2 k0, 4 k0, ...
    const int m = 32, l = 64, k0 = 4;
    const float c = 10.0f;
    Row row(m);
    row.y[k0] = cfloat(c, 0.0f);
    rfft<float> fft;
    regenerateHarmonics(fft, row.view(), row.y.data());

    // Expected H from a direct DFT of the rectified samples.
    std::vector<double> h2(m);
    for (int k = 0; k < m; ++k) {
        std::complex<double> acc;
        for (int n = 0; n < l; ++n) {
            const double s = 2.0 * c * std::cos(2.0 * M_PI * k0 * n / l);
            acc += (s < 0 ? 0.0 : s / l) * std::polar(1.0, -2.0 * M_PI * double((k * n) % l) / l);
        }
        h2[k] = std::norm(acc);
    }
    // rho = 0, A = 0: xi_h = |H|^2 / lambda, noisy magnitude 2 with phase 0.
    for (int k = 0; k < m; ++k) {
        const double gain = h2[k] / (1.0 + h2[k]);
        EXPECT_NEAR(row.y[k].real(), 2.0 * gain, 1e-5) << "bin " << k;
        EXPECT_EQ(row.y[k].imag(), 0.0f) << "bin " << k;
    }
    EXPECT_GT(row.y[2 * k0].real(), 0.5f);   // 2 k0 regenerated: |H| = 2c / (3 pi) ~ 2.1
    EXPECT_LT(row.y[3 * k0].real(), 1e-4f);  // odd harmonics absent
    EXPECT_EQ(row.y[m], cfloat(0.0f, 0.0f));
}

TEST(HarmonicRegeneration, GainMixesTheRuleEstimateWithTheRegeneratedSpectrum) {
    const int m = 8;
    Row row(m);
    // rho = 1: xi_h = A^2 / lambda whatever H holds; A = 2, lambda = 1 gives 0.8.
    for (int k = 0; k < m; ++k) {
        row.gain[k] = 1.0f;
        row.amplitude[k] = 2.0f;
        row.y[k] = cfloat(float(k + 1), -3.0f);
        row.cosPhase[k] = 0.6f;
        row.sinPhase[k] = -0.8f;
    }
    // rho > 1 (spectral subtraction): xi_h < 0 gets the gain epsilon.
    row.gain[5] = 3.0f;
    row.amplitude[5] = 0.0f;
    rfft<float> fft;
    regenerateHarmonics(fft, row.view(), row.y.data());
    for (int k = 0; k < m; ++k) {
        if (k == 5) continue;
        EXPECT_EQ(row.y[k], cfloat((0.8f * 2.0f) * 0.6f, (0.8f * 2.0f) * -0.8f)) << k;
    }
    EXPECT_EQ(row.y[5], cfloat((kEpsilon * 2.0f) * 0.6f, (kEpsilon * 2.0f) * -0.8f));
}

TEST(HarmonicRegeneration, DegenerateBinsStayFinite) {
    const int m = 4;
    Row row(m);
    const float inf = std::numeric_limits<float>::infinity();
    for (int k = 0; k < m; ++k) row.y[k] = cfloat(1e3f, -1e3f);
    row.noise[0] = 0.0f;  // no noise learned, rule passed the bin: gain 1
    row.gain[0] = 1.0f;
    row.amplitude[0] = 2.0f;
    row.gain[1] = inf;  // spectral subtraction with an overflowed SNR
    row.amplitude[1] = 2.0f;
    row.noise[2] = 0.0f;  // no noise, nothing at all: 0 / 0
    row.power[2] = 0.0f;
    row.magnitude[2] = 0.0f;
    rfft<float> fft;
    regenerateHarmonics(fft, row.view(), row.y.data());
    for (int k = 0; k < m; ++k) {
        EXPECT_TRUE(std::isfinite(row.y[k].real())) << k;
        EXPECT_TRUE(std::isfinite(row.y[k].imag())) << k;
    }
    EXPECT_EQ(row.y[0], cfloat(2.0f, 0.0f));
    EXPECT_EQ(row.y[2], cfloat(0.0f, 0.0f));

    // A row loud enough for |H|^2 to overflow still gives finite bins.
    Row loud(m);
    for (int k = 0; k < m; ++k) {
        loud.y[k] = cfloat(1e19f, -1e19f);
        loud.amplitude[k] = 1e19f;
        loud.gain[k] = 0.5f;
    }
    regenerateHarmonics(fft, loud.view(), loud.y.data());
    for (int k = 0; k < m; ++k) EXPECT_TRUE(std::isfinite(std::abs(loud.y[k]))) << k;

    EXPECT_EQ(regeneratedGain(std::numeric_limits<float>::quiet_NaN()), kEpsilon);
    EXPECT_EQ(regeneratedGain(-1.0f), kEpsilon);
    EXPECT_EQ(regeneratedGain(inf), 1.0f);
    EXPECT_EQ(regeneratedGain(0.0f), 0.0f);
}
