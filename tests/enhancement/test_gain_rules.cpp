// The four gain rules by hand-worked values, floors and fallbacks; four lanes against one bin;
// bins without learned noise passed through.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "enhancement/gain_rules.h"
#include "enhancement/harmonic_regeneration.h"
#include "tests/enhancement/enhancement_test_util.h"

using namespace enhancement;
using namespace enhancement_test;
using M = NoiseReductionMethod;

TEST(GainRules, HandWorkedValuesFloorsAndFallbacksWithASubnormalEpsilon) {
    EXPECT_EQ(bits(kEpsilon), 0x000AE398u);
    volatile float eps = kEpsilon, oneMinusAlpha = kOneMinusAlpha;  // no flush to zero at run time
    EXPECT_NEAR(std::sqrt(eps * 1.0f), 3.1622776e-20f, 1e-26f);
    const float subnormalGain = eps * oneMinusAlpha, w = wienerGain((1e6f - 1.0f) * kOneMinusAlpha);
    ASSERT_GT(subnormalGain, 0.0f);
    const struct {
        M method;
        float power, noise, prev, gain, amplitude, prevAfter;
    } cases[] = {
        {M::SpectralSubtraction, 4.0f, 1.0f, 123.0f, 3.0f, std::sqrt(3.0f), 123.0f},  // may exceed 1
        {M::SpectralSubtraction, 0.5f, 1.0f, 0.0f, kEpsilon, std::sqrt(eps * 1.0f), 0.0f},
        {M::SpectralSubtraction, 2.0f, 2.0f, 0.0f, 0.0f, 0.0f, 0.0f},  // zero is not floored
        {M::WienerFiltering, 3.0f, 1.0f, 0.0f, 0.038461503f, 0.06661727f, 0.004437861f},
        {M::WienerFiltering, 3.0f, 1.0f, 2.0f, 0.6666667f, 1.1547005f, 1.3333333f},
        {M::WienerFiltering, 0.25f, 1.0f, 0.0f, subnormalGain, 0.5f * subnormalGain, 0.0f},
        {M::WienerFiltering, 1e30f, 1e-45f, 0.0f, 1.0f, 1e15f, 1e15f * 1e15f},  // infinite xi
        {M::TwoStepWienerFiltering, 3.0f, 1.0f, 0.0f, 0.004418254f, 0.00765264f, 5.85629e-05f},
        {M::MinimumMeanSquareError, 0.5f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f},
        {M::MinimumMeanSquareError, 1.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f},
        // 0 / 0, and Bessel terms overflowing far above the noise: the Wiener gain is taken.
        {M::MinimumMeanSquareError, 1.0f, 1.0f, 1.0f, wienerGain(0.98f), wienerGain(0.98f), 1.0f},
        {M::MinimumMeanSquareError, 1e6f, 1.0f, 0.0f, w, 1000.0f * w, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.method) << " P=" << c.power << " lambda=" << c.noise);
        float prev = c.prev;
        const BinGain b = applyGainRule(c.method, c.power, c.noise, prev);
        EXPECT_EQ(b.gain, c.gain);
        EXPECT_EQ(b.amplitude, c.amplitude);
        EXPECT_EQ(prev, c.prevAfter);
    }
    EXPECT_NEAR(wienerGain(0.98f), 0.4949f, 1e-4f);
    for (const auto& p : {std::pair<float, float>{2.0f, 0.1253f}, {10.0f, 0.1835f}, {100.0f, 0.6669f}}) {
        float prev = 0.0f;  // MMSE, P = 2, 10, 100 lambda, first frame
        const BinGain b = applyGainRule(M::MinimumMeanSquareError, p.first * 1000.0f, 1000.0f, prev);
        EXPECT_NEAR(b.gain, p.second, 1e-4f) << p.first;
        EXPECT_TRUE(b.amplitude == std::sqrt(p.first * 1000.0f) * b.gain && prev == 0.0f) << p.first;
    }
}

TEST(GainRules, FourLanesMatchTheBinRuleUnusableValuesStayOutAndNoNoisePassesThrough) {
    // Bins 0 .. 167: every combination of the extreme values; the rest random decades.
    const float powers[] = {kNaN, kInf, 0.0f, 1e-45f, 1.0f, 3e38f, kLargestFloat};
    const float noises[] = {0.0f, 1e-45f, 1e-30f, 1.0f, 3e38f, kInf};
    const float prevs[] = {0.0f, 1e-40f, 5.0f, kLargestFloat};
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> decades(-40.0f, 30.0f);
    const int n = 257;
    std::vector<float> power(n), noise(n), start(n);
    for (int k = 0; k < n; ++k) {
        noise[k] = std::pow(10.0f, decades(gen));
        power[k] = k % 3 ? noise[k] * std::pow(10.0f, decades(gen) / 20.0f) : std::pow(10.0f, decades(gen));
        start[k] = std::pow(10.0f, decades(gen));
        if (k < 168) power[k] = powers[k % 7], noise[k] = noises[k / 7 % 6], start[k] = prevs[k / 42];
    }
    power[200] = noise[200];
    for (M method : {M::SpectralSubtraction, M::WienerFiltering, M::TwoStepWienerFiltering,
                     M::MinimumMeanSquareError, M::None})
        for (float first : {0.0f, 1.0f}) {
            std::vector<float> prevRow(n), prevBin(n), gain(n), amp(n);
            for (int k = 0; k < n; ++k) prevRow[k] = prevBin[k] = first * start[k];
            GainRuleScratch scratch;
            for (int frame = 0; frame < 3; ++frame) {
                applyGainRuleRow(method, n, power.data(), noise.data(), prevRow.data(), gain.data(),
                                 amp.data(), scratch);
                for (int k = 0; k < n; ++k) {
                    SCOPED_TRACE(testing::Message() << int(method) << " frame " << frame << " bin " << k);
                    const BinGain b = applyGainRule(method, power[k], noise[k], prevBin[k]);
                    ASSERT_EQ(bits(gain[k]), bits(b.gain));
                    ASSERT_EQ(bits(amp[k]), bits(b.amplitude));
                    ASSERT_EQ(bits(prevRow[k]), bits(prevBin[k]));
                    ASSERT_TRUE(std::isfinite(b.amplitude) && b.amplitude >= 0.0f && !std::isnan(b.gain));
                    ASSERT_TRUE(std::isfinite(prevBin[k]));
                    ASSERT_TRUE(std::isfinite(power[k]) || b.amplitude == 0.0f);
                    if (method != M::None && noise[k] == 0.0f && std::isfinite(power[k])) {  // no noise
                        ASSERT_TRUE(b.gain == 1.0f && b.amplitude == std::sqrt(power[k]));
                    }
                }
            }
        }
}

TEST(HarmonicRegeneration, DegenerateBinsStayFinite) {
    // Pass 0: bin 0 without noise, bin 1 with an infinite rule gain, bin 2 all zero. Pass 1: |H|^2 overflows.
    for (int loud = 0; loud < 2; ++loud) {
        const float v = loud ? 1e19f : 1e3f;
        std::vector<float> power(4, 4.0f), mag(4, 2.0f), cosP(4, 1.0f), sinP(4, 0.0f), noise(4, 1.0f);
        std::vector<float> gain(4, loud ? 0.5f : 0.0f), amp(4, loud ? v : 0.0f);
        std::vector<std::complex<float>> y(5, {v, -v});
        if (!loud)
            noise[0] = noise[2] = power[2] = mag[2] = 0.0f, gain[0] = 1.0f, gain[1] = kInf,
            amp[0] = amp[1] = 2.0f;
        rfft<float> fft;  // rho = 0, A = 0 unless set
        regenerateHarmonics(
            fft,
            {4, power.data(), mag.data(), cosP.data(), sinP.data(), gain.data(), amp.data(), noise.data()},
            y.data());
        for (int k = 0; k < 4; ++k) EXPECT_TRUE(std::isfinite(std::abs(y[k]))) << loud << " " << k;
        EXPECT_TRUE(loud || (y[0] == std::complex<float>(2.0f, 0.0f) && y[2] == 0.0f));
    }
    EXPECT_TRUE(regeneratedGain(kNaN) == kEpsilon && regeneratedGain(-1.0f) == kEpsilon);
    EXPECT_EQ(regeneratedGain(kInf), 1.0f);
}
