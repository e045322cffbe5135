// The four gain rules against values worked out by hand, their floors and fallbacks, and
// the sound handling of bins the formulas cannot take.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "enhancement/gain_rules.h"
#include "tests/enhancement/enhancement_test_util.h"

using namespace enhancement;
using namespace enhancement_test;
using M = NoiseReductionMethod;

TEST(GainRules, EpsilonSurvivesAsASubnormal) {
    EXPECT_EQ(bits(kEpsilon), 0x000AE398u);
    volatile float eps = kEpsilon, one = 1.0f;  // no flush to zero at run time
    EXPECT_GT(eps * one, 0.0f);
    EXPECT_NEAR(std::sqrt(eps * one), 3.1622776e-20f, 1e-26f);
    EXPECT_EQ(spectralSubtraction(0.5f, 1.0f).amplitude, std::sqrt(eps * one));
}

TEST(GainRules, HandWorkedValuesFloorsAndFallbacks) {
    volatile float eps = kEpsilon, oneMinusAlpha = kOneMinusAlpha;
    const float subnormalGain = eps * oneMinusAlpha;
    const struct {
        M method;
        float power, noise, prev, gain, amplitude, prevAfter;
    } cases[] = {
        {M::SpectralSubtraction, 4.0f, 1.0f, 123.0f, 3.0f, std::sqrt(3.0f), 123.0f},  // R' may exceed 1
        {M::SpectralSubtraction, 0.5f, 1.0f, 0.0f, kEpsilon, std::sqrt(eps * 1.0f), 0.0f},
        {M::SpectralSubtraction, 2.0f, 2.0f, 0.0f, 0.0f, 0.0f, 0.0f},  // R = 0 is not floored
        // xi = 2 (1 - alpha) on the first frame; with prev = 2, xi = 2 and the gain 2/3.
        {M::WienerFiltering, 3.0f, 1.0f, 0.0f, 0.038461503f, 0.06661727f, 0.004437861f},
        {M::WienerFiltering, 3.0f, 1.0f, 2.0f, 0.6666667f, 1.1547005f, 1.3333333f},
        {M::WienerFiltering, 0.25f, 1.0f, 0.0f, subnormalGain, 0.5f * subnormalGain, 0.0f},
        {M::WienerFiltering, 1e30f, 1e-45f, 0.0f, 1.0f, 1e15f, 1e15f * 1e15f},  // infinite xi: gain 1
        // xi2 = A1^2 of the first step; prevPower is A^2 of the second.
        {M::TwoStepWienerFiltering, 3.0f, 1.0f, 0.0f, 0.004418254f, 0.00765264f, 5.85629e-05f},
        {M::MinimumMeanSquareError, 0.5f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f},  // v underflows
        {M::MinimumMeanSquareError, 1.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f},
        // R' = 0 makes the MMSE value 0 / 0, and far above the noise the Bessel terms
        // overflow: the Wiener gain is taken.
        {M::MinimumMeanSquareError, 1.0f, 1.0f, 1.0f, wienerGain(0.98f), wienerGain(0.98f), 1.0f},
        {M::MinimumMeanSquareError, 1e6f, 1.0f, 0.0f, wienerGain((1e6f - 1.0f) * kOneMinusAlpha),
         1000.0f * wienerGain((1e6f - 1.0f) * kOneMinusAlpha), 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.method) << " P=" << c.power << " lambda=" << c.noise);
        float prev = c.prev;
        const BinGain b = applyGainRule(c.method, c.power, c.noise, prev);
        EXPECT_EQ(b.gain, c.gain);
        EXPECT_EQ(b.amplitude, c.amplitude);
        EXPECT_EQ(prev, c.prevAfter);
    }
    EXPECT_GT(subnormalGain, 0.0f);
    EXPECT_NEAR(wienerGain(0.98f), 0.4949f, 1e-4f);

    // MMSE gains of P = 2, 10 and 100 lambda on the first frame; prevPower is never written.
    const float lambda = 1000.0f;
    for (const auto& p : {std::pair<float, float>{2.0f, 0.1253f}, {10.0f, 0.1835f}, {100.0f, 0.6669f}}) {
        float prev = 0.0f;
        const BinGain b = applyGainRule(M::MinimumMeanSquareError, p.first * lambda, lambda, prev);
        EXPECT_NEAR(b.gain, p.second, 1e-4f) << p.first;
        EXPECT_EQ(b.amplitude, std::sqrt(p.first * lambda) * b.gain);
        EXPECT_EQ(prev, 0.0f);
    }
}

TEST(GainRules, MmseKeepsStrongBinsInsteadOfSilencingThem) {
    // From about 24 dB above the noise a single-precision e^(-v/2) is zero.
    float lastAmplitude = 0.0f;
    for (float db = 0.5f; db <= 70.0f; db += 0.25f) {
        const BinGain b = minimumMeanSquareError(std::pow(10.0f, db / 10.0f), 1.0f, 0.0f);
        ASSERT_TRUE(std::isfinite(b.gain)) << db;
        EXPECT_GE(b.amplitude, lastAmplitude) << db;
        EXPECT_LE(b.gain, 1.2f) << db;
        if (db >= 20.0f) {
            EXPECT_GT(b.gain, 0.6f) << db;
        }
        lastAmplitude = b.amplitude;
    }
}

TEST(GainRules, NoNoiseLearnedPassesTheBinThrough) {
    for (M m : kRules) {
        float prev = 0.0f;
        BinGain b = applyGainRule(m, 9.0f, 0.0f, prev);
        EXPECT_EQ(b.amplitude, 3.0f) << int(m);
        EXPECT_EQ(b.gain, 1.0f) << int(m);
        EXPECT_TRUE(std::isfinite(prev)) << int(m);
        b = applyGainRule(m, 0.0f, 0.0f, prev);
        EXPECT_EQ(b.amplitude, 0.0f) << int(m);
        EXPECT_TRUE(std::isfinite(prev)) << int(m);
    }
}

TEST(GainRules, FourLanesMatchTheBinRuleAndUnusableValuesStayOut) {
    // Bins 0 .. 167 take every combination of the extreme values below; the others powers
    // and noise from 1e-40 to 1e30 (subnormal and overflowing terms). prevPower starts from
    // zero and from given values and runs over three frames.
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
        if (k < 168) {
            power[k] = powers[k % 7];
            noise[k] = noises[k / 7 % 6];
            start[k] = prevs[k / 42];
        }
    }
    power[200] = noise[200];
    for (M method : {M::SpectralSubtraction, M::WienerFiltering, M::TwoStepWienerFiltering,
                     M::MinimumMeanSquareError, M::None})
        for (float first : {0.0f, 1.0f}) {
            std::vector<float> prevRow(n), prevBin(n), gain(n), amp(n);
            for (int k = 0; k < n; ++k) prevRow[k] = prevBin[k] = first * start[k];
            GainRuleScratch scratch;
            for (int frame = 0; frame < 3; ++frame) {
                applyGainRuleRow(method, n, power.data(), noise.data(), prevRow.data(), gain.data(), amp.data(),
                                 scratch);
                for (int k = 0; k < n; ++k) {
                    SCOPED_TRACE(testing::Message() << int(method) << " frame " << frame << " bin " << k);
                    const BinGain b = applyGainRule(method, power[k], noise[k], prevBin[k]);
                    ASSERT_EQ(bits(gain[k]), bits(b.gain));
                    ASSERT_EQ(bits(amp[k]), bits(b.amplitude));
                    ASSERT_EQ(bits(prevRow[k]), bits(prevBin[k]));
                    ASSERT_TRUE(std::isfinite(b.amplitude) && b.amplitude >= 0.0f);
                    ASSERT_FALSE(std::isnan(b.gain));
                    ASSERT_TRUE(std::isfinite(prevBin[k]));
                    if (!std::isfinite(power[k])) {
                        ASSERT_EQ(b.amplitude, 0.0f);
                    }
                }
            }
        }
}
