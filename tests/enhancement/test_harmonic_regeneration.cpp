// Harmonic regeneration: the rectifier recreates the harmonics of a tone, the gain mixes
// them with the rule's estimate, and degenerate rows stay sound.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "enhancement/harmonic_regeneration.h"
#include "tests/enhancement/enhancement_test_util.h"

using namespace enhancement;
using namespace enhancement_test;
using cfloat = std::complex<float>;

namespace {

// One row of M bins: noisy power 4 (magnitude 2, phase 0), noise 1, rule gain and amplitude 0.
struct Row {
    explicit Row(int m)
        : m(m), power(m, 4.0f), magnitude(m, 2.0f), cosPhase(m, 1.0f), sinPhase(m, 0.0f), gain(m, 0.0f),
          amplitude(m, 0.0f), noise(m, 1.0f), y(m + 1) {}
    void regenerate() {
        rfft<float> fft;
        regenerateHarmonics(fft, {m, power.data(), magnitude.data(), cosPhase.data(), sinPhase.data(), gain.data(),
                                  amplitude.data(), noise.data()},
                            y.data());
    }
    int m;
    std::vector<float> power, magnitude, cosPhase, sinPhase, gain, amplitude, noise;
    std::vector<cfloat> y;
};

}  // namespace

TEST(HarmonicRegeneration, RectifiedToneRegeneratesItsEvenHarmonics) {
    // One cosine at bin k0, 2c cos(2 pi k0 n / L) in time; rectified it holds DC, the
    // fundamental and the even harmonics.
    const int m = 32, l = 64, k0 = 4;
    const float c = 10.0f;
    Row row(m);
    row.y[k0] = cfloat(c, 0.0f);
    row.regenerate();
    for (int k = 0; k < m; ++k) {
        std::complex<double> h;
        for (int n = 0; n < l; ++n) {
            const double s = 2.0 * c * std::cos(2.0 * M_PI * k0 * n / l);
            h += (s < 0 ? 0.0 : s / l) * std::polar(1.0, -2.0 * M_PI * double((k * n) % l) / l);
        }
        // rho = 0, A = 0: xi_h = |H|^2 / lambda, applied to the noisy magnitude 2.
        EXPECT_NEAR(row.y[k].real(), 2.0 * std::norm(h) / (1.0 + std::norm(h)), 1e-5) << k;
        EXPECT_EQ(row.y[k].imag(), 0.0f) << k;
    }
    EXPECT_GT(row.y[2 * k0].real(), 0.5f);
    EXPECT_LT(row.y[3 * k0].real(), 1e-4f);
    EXPECT_EQ(row.y[m], cfloat(0.0f, 0.0f));
}

TEST(HarmonicRegeneration, GainMixesTheRuleEstimateWithTheRegeneratedSpectrum) {
    Row row(8);
    for (int k = 0; k < 8; ++k) {  // rho = 1: xi_h = A^2 / lambda = 4, gain 0.8, whatever H holds
        row.gain[k] = 1.0f;
        row.amplitude[k] = 2.0f;
        row.y[k] = cfloat(float(k + 1), -3.0f);
        row.cosPhase[k] = 0.6f;
        row.sinPhase[k] = -0.8f;
    }
    row.gain[5] = 3.0f;  // rho > 1 (spectral subtraction): xi_h < 0 gets the gain epsilon
    row.amplitude[5] = 0.0f;
    row.regenerate();
    for (int k = 0; k < 8; ++k) {
        const float g = k == 5 ? kEpsilon * 2.0f : 0.8f * 2.0f;
        EXPECT_EQ(row.y[k], cfloat(g * 0.6f, g * -0.8f)) << k;
    }
}

TEST(HarmonicRegeneration, DegenerateBinsStayFinite) {
    Row row(4);
    for (cfloat& v : row.y) v = cfloat(1e3f, -1e3f);
    row.noise[0] = 0.0f;  // no noise learned, rule passed the bin: gain 1
    row.gain[0] = 1.0f;
    row.amplitude[0] = 2.0f;
    row.gain[1] = kInf;  // spectral subtraction with an overflowed SNR
    row.amplitude[1] = 2.0f;
    row.noise[2] = row.power[2] = row.magnitude[2] = 0.0f;  // 0 / 0
    row.regenerate();
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(std::isfinite(std::abs(row.y[k]))) << k;
    EXPECT_EQ(row.y[0], cfloat(2.0f, 0.0f));
    EXPECT_EQ(row.y[2], cfloat(0.0f, 0.0f));

    Row loud(4);  // |H|^2 overflows
    for (int k = 0; k < 4; ++k) {
        loud.y[k] = cfloat(1e19f, -1e19f);
        loud.amplitude[k] = 1e19f;
        loud.gain[k] = 0.5f;
    }
    loud.regenerate();
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(std::isfinite(std::abs(loud.y[k]))) << k;

    EXPECT_EQ(regeneratedGain(kNaN), kEpsilon);
    EXPECT_EQ(regeneratedGain(-1.0f), kEpsilon);
    EXPECT_EQ(regeneratedGain(kInf), 1.0f);
    EXPECT_EQ(regeneratedGain(0.0f), 0.0f);
}
