// The four gain rules against values worked out by hand, their floors and fallbacks, and
// the sound handling of bins the formulas cannot take.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "enhancement/gain_rules.h"

using namespace enhancement;

namespace {

uint32_t bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

}  // namespace

TEST(GainRules, ConstantsKeepTheirBitPatternsAndSubnormalsSurvive) {
    EXPECT_EQ(bits(kEpsilon), 0x000AE398u);
    EXPECT_EQ(kOneMinusAlpha, 0.019999981f);
    EXPECT_EQ(kGamma, 0.8862f);
    EXPECT_EQ(kLargestFloat, std::numeric_limits<float>::max());
    // Nothing in the build may flush subnormals to zero: epsilon must stay non-zero through
    // arithmetic at run time.
    volatile float eps = kEpsilon;
    volatile float one = 1.0f;
    EXPECT_GT(eps * one, 0.0f);
    EXPECT_NEAR(std::sqrt(eps * one), 3.1622776e-20f, 1e-26f);
    EXPECT_EQ(parseNoiseReductionMethod("WIENER_FILTERING"), NoiseReductionMethod::WienerFiltering);
    EXPECT_EQ(parseNoiseReductionMethod("MINIMUM_MEAN_SQUARE_ERROR"),
              NoiseReductionMethod::MinimumMeanSquareError);
    EXPECT_EQ(parseNoiseReductionMethod("wiener_filtering"), NoiseReductionMethod::None);
    EXPECT_EQ(parseNoiseReductionMethod("SPECTRAL_SUBTRACTION "), NoiseReductionMethod::None);
}

TEST(GainRules, SpectralSubtraction) {
    BinGain b = spectralSubtraction(4.0f, 1.0f);
    EXPECT_EQ(b.gain, 3.0f);  // R' may exceed 1
    EXPECT_EQ(b.amplitude, std::sqrt(3.0f));
    // Below the noise: R' = epsilon, magnitude sqrt(epsilon), not zero.
    b = spectralSubtraction(0.5f, 1.0f);
    EXPECT_EQ(bits(b.gain), 0x000AE398u);
    volatile float eps = kEpsilon;
    EXPECT_EQ(b.amplitude, std::sqrt(eps));
    EXPECT_GT(b.amplitude, 3.16e-20f);
    EXPECT_LT(b.amplitude, 3.17e-20f);
    // Exactly at the noise: R = 0 and P - lambda = 0 are not floored.
    b = spectralSubtraction(2.0f, 2.0f);
    EXPECT_EQ(b.gain, 0.0f);
    EXPECT_EQ(b.amplitude, 0.0f);
    // prevPower is neither read nor written.
    float prev = 123.0f;
    b = applyGainRule(NoiseReductionMethod::SpectralSubtraction, 4.0f, 1.0f, prev);
    EXPECT_EQ(prev, 123.0f);
    EXPECT_EQ(b.gain, 3.0f);
}

TEST(GainRules, WienerFilteringFollowsTheDecisionDirectedEstimate) {
    // P = 3, lambda = 1, first frame: xi = 2 (1 - alpha) = 0.03999996.
    float prev = 0.0f;
    BinGain b = wienerFiltering(3.0f, 1.0f, prev);
    EXPECT_EQ(b.gain, 0.038461503f);
    EXPECT_EQ(b.amplitude, 0.06661727f);
    EXPECT_EQ(prev, 0.004437861f);
    // With prev = 2: xi = 2 alpha + 2 (1 - alpha) = 2, gain 2/3.
    prev = 2.0f;
    b = wienerFiltering(3.0f, 1.0f, prev);
    EXPECT_EQ(b.gain, 0.6666667f);
    EXPECT_EQ(b.amplitude, 1.1547005f);
    EXPECT_EQ(prev, 1.3333333f);
    // Below the noise on the first frame: xi = epsilon (1 - alpha), a subnormal gain.
    prev = 0.0f;
    b = wienerFiltering(0.25f, 1.0f, prev);
    volatile float eps = kEpsilon, oneMinusAlpha = kOneMinusAlpha;
    EXPECT_EQ(b.gain, eps * oneMinusAlpha);
    EXPECT_GT(b.gain, 0.0f);
    EXPECT_EQ(b.amplitude, 0.5f * b.gain);
}

TEST(GainRules, TwoStepWienerKeepsTheSecondStepPower) {
    float prev = 0.0f;
    BinGain b = twoStepWienerFiltering(3.0f, 1.0f, prev);
    // xi1 = 0.03999996, G1 = 0.038461503, A1 = 0.06661727, xi2 = A1^2 = 0.004437861.
    EXPECT_EQ(b.gain, 0.004418254f);
    EXPECT_EQ(b.amplitude, 0.00765264f);
    EXPECT_EQ(prev, 5.85629e-05f);
    EXPECT_EQ(prev, b.amplitude * b.amplitude);
}

TEST(GainRules, MmseGainsOfTheStatedOperatingPoints) {
    const float lambda = 1000.0f;
    const struct { float ratio, gain; } points[] = {{2.0f, 0.1253f}, {10.0f, 0.1835f}, {100.0f, 0.6669f}};
    for (const auto& p : points) {
        float prev = 0.0f;
        const BinGain b =
            applyGainRule(NoiseReductionMethod::MinimumMeanSquareError, p.ratio * lambda, lambda, prev);
        EXPECT_NEAR(b.gain, p.gain, 1e-4f) << "P = " << p.ratio << " lambda";
        EXPECT_EQ(b.amplitude, std::sqrt(p.ratio * lambda) * b.gain);
        EXPECT_EQ(prev, 0.0f) << "the MMSE rule never writes prevPower";
    }
    // Gw of P = 2 lambda for reference: xi = 0.019999981.
    EXPECT_NEAR(wienerGain(kOneMinusAlpha), 0.019608f, 1e-6f);
}

TEST(GainRules, MmseFloorsAndFallbacks) {
    // Below the noise: v underflows, the gain and the magnitude are zero.
    BinGain b = minimumMeanSquareError(0.5f, 1.0f, 0.0f);
    EXPECT_EQ(b.gain, 0.0f);
    EXPECT_EQ(b.amplitude, 0.0f);
    // P = lambda: R' = 0 makes the MMSE value 0 / 0, so the Wiener gain is taken.
    b = minimumMeanSquareError(1.0f, 1.0f, 1.0f);
    EXPECT_EQ(b.gain, wienerGain(0.98f));
    EXPECT_NEAR(b.gain, 0.4949f, 1e-4f);
    b = minimumMeanSquareError(1.0f, 1.0f, 0.0f);
    EXPECT_EQ(b.gain, 0.0f);
    // Far above the noise the Bessel terms overflow double precision: Wiener gain.
    b = minimumMeanSquareError(1e6f, 1.0f, 0.0f);
    const float r = 1e6f - 1.0f;
    EXPECT_EQ(b.gain, wienerGain(r * kOneMinusAlpha));
}

TEST(GainRules, MmseKeepsStrongBinsInsteadOfSilencingThem) {
    // From about 24 dB above the noise a single-precision e^(-v/2) is zero; the enhanced
    // magnitude must still grow with the input all the way up.
    float lastAmplitude = 0.0f;
    for (float db = 0.5f; db <= 70.0f; db += 0.25f) {
        const float ratio = std::pow(10.0f, db / 10.0f);
        const BinGain b = minimumMeanSquareError(ratio, 1.0f, 0.0f);
        ASSERT_TRUE(std::isfinite(b.gain)) << db << " dB";
        EXPECT_GE(b.amplitude, lastAmplitude) << db << " dB";
        EXPECT_LE(b.gain, 1.2f) << db << " dB";
        if (db >= 20.0f) {
            EXPECT_GT(b.gain, 0.6f) << db << " dB";
        }
        lastAmplitude = b.amplitude;
    }
}

TEST(GainRules, NoNoiseLearnedPassesTheBinThrough) {
    for (NoiseReductionMethod m :
         {NoiseReductionMethod::SpectralSubtraction, NoiseReductionMethod::WienerFiltering,
          NoiseReductionMethod::TwoStepWienerFiltering, NoiseReductionMethod::MinimumMeanSquareError}) {
        float prev = 0.0f;
        BinGain b = applyGainRule(m, 9.0f, 0.0f, prev);
        EXPECT_EQ(b.amplitude, 3.0f) << int(m);
        EXPECT_EQ(b.gain, 1.0f) << int(m);
        EXPECT_TRUE(std::isfinite(prev)) << int(m);
        b = applyGainRule(m, 0.0f, 0.0f, prev);  // silence on silence
        EXPECT_EQ(b.amplitude, 0.0f) << int(m);
        EXPECT_TRUE(std::isfinite(prev)) << int(m);
    }
}

TEST(GainRules, UnusableValuesNeverReachTheOutputOrPrevPower) {
    const float powers[] = {kNaN, kInf, 0.0f, 1e-45f, 1.0f, 3e38f, kLargestFloat};
    const float noises[] = {0.0f, 1e-45f, 1e-30f, 1.0f, 3e38f, kInf};
    for (NoiseReductionMethod m :
         {NoiseReductionMethod::SpectralSubtraction, NoiseReductionMethod::WienerFiltering,
          NoiseReductionMethod::TwoStepWienerFiltering, NoiseReductionMethod::MinimumMeanSquareError,
          NoiseReductionMethod::None}) {
        for (float p : powers)
            for (float n : noises)
                for (float prev0 : {0.0f, 1e-40f, 5.0f, kLargestFloat}) {
                    float prev = prev0;
                    const BinGain b = applyGainRule(m, p, n, prev);
                    EXPECT_TRUE(std::isfinite(b.amplitude)) << int(m) << " P=" << p << " lambda=" << n;
                    EXPECT_GE(b.amplitude, 0.0f);
                    EXPECT_FALSE(std::isnan(b.gain)) << int(m) << " P=" << p << " lambda=" << n;
                    EXPECT_TRUE(std::isfinite(prev)) << int(m) << " P=" << p << " lambda=" << n;
                    if (!std::isfinite(p)) {
                        EXPECT_EQ(b.amplitude, 0.0f);
                    }
                }
    }
    // An infinite a priori SNR gives the Wiener gain 1.
    float prev = 0.0f;
    const BinGain b = wienerFiltering(1e30f, 1e-45f, prev);
    EXPECT_EQ(b.gain, 1.0f);
    EXPECT_EQ(b.amplitude, 1e15f);
    EXPECT_EQ(wienerGain(kInf), 1.0f);
}

TEST(GainRules, RowMatchesTheBinRuleInBinOrder) {
    // Powers and noise from 1e-40 to 1e30, so that subnormal and overflowing terms occur,
    // plus unusable bins; the enhanced power starts from zero and from random values.
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> decades(-40.0f, 30.0f);
    const int m = 257;
    std::vector<float> power(m), noise(m), start(m);
    for (int k = 0; k < m; ++k) {
        noise[k] = std::pow(10.0f, decades(gen));
        power[k] = k % 3 ? noise[k] * std::pow(10.0f, decades(gen) / 20.0f) : std::pow(10.0f, decades(gen));
        start[k] = std::pow(10.0f, decades(gen));
    }
    power[3] = kNaN;
    power[4] = kInf;
    noise[5] = 0.0f;
    power[6] = noise[6];
    power[7] = 0.0f;
    for (NoiseReductionMethod method :
         {NoiseReductionMethod::SpectralSubtraction, NoiseReductionMethod::WienerFiltering,
          NoiseReductionMethod::TwoStepWienerFiltering, NoiseReductionMethod::MinimumMeanSquareError,
          NoiseReductionMethod::None}) {
        for (float first : {0.0f, 1.0f}) {
            std::vector<float> prevRow(m), prevBin(m), gain(m), amp(m);
            for (int k = 0; k < m; ++k) prevRow[k] = prevBin[k] = first * start[k];
            GainRuleScratch scratch;
            for (int frame = 0; frame < 3; ++frame) {
                applyGainRuleRow(method, m, power.data(), noise.data(), prevRow.data(), gain.data(), amp.data(),
                                 scratch);
                for (int k = 0; k < m; ++k) {
                    const BinGain b = applyGainRule(method, power[k], noise[k], prevBin[k]);
                    ASSERT_EQ(bits(gain[k]), bits(b.gain)) << int(method) << " bin " << k;
                    ASSERT_EQ(bits(amp[k]), bits(b.amplitude)) << int(method) << " bin " << k;
                    ASSERT_EQ(bits(prevRow[k]), bits(prevBin[k])) << int(method) << " bin " << k;
                }
            }
        }
    }
}
