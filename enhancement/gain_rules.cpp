#include "enhancement/gain_rules.h"

#include "enhancement/ModifiedBessel.h"

namespace enhancement {

namespace {

// R' (1 - alpha) for a bin below the noise (R' = epsilon): a subnormal constant, taken as is
// rather than multiplied out on every bin.
constexpr float kEpsilonTimesOneMinusAlpha = kEpsilon * kOneMinusAlpha;
// sqrt(epsilon), the magnitude spectral subtraction gives a bin below the noise.
const float kSqrtEpsilon = std::sqrt(kEpsilon);

// R' (1 - alpha), where R = P / lambda - 1 is not NaN.
inline float currentWeight(float r) { return r < 0.0f ? kEpsilonTimesOneMinusAlpha : r * kOneMinusAlpha; }

// A^2 as the next prevPower; stays finite even for a magnitude near the largest float.
inline float enhancedPower(float amplitude) {
    const float p = amplitude * amplitude;
    return p <= kLargestFloat ? p : kLargestFloat;
}

}  // namespace

NoiseReductionMethod parseNoiseReductionMethod(const std::string& name) {
    if (name == "SPECTRAL_SUBTRACTION") return NoiseReductionMethod::SpectralSubtraction;
    if (name == "WIENER_FILTERING") return NoiseReductionMethod::WienerFiltering;
    if (name == "TWO_STEP_WIENER_FILTERING") return NoiseReductionMethod::TwoStepWienerFiltering;
    if (name == "MINIMUM_MEAN_SQUARE_ERROR") return NoiseReductionMethod::MinimumMeanSquareError;
    return NoiseReductionMethod::None;
}

BinGain spectralSubtraction(float power, float noise) {
    if (!usablePower(power)) return {0.0f, 0.0f};
    if (!(noise > 0.0f)) return {1.0f, std::sqrt(power)};
    const float r = power / noise - 1.0f;
    const float difference = power - noise;
    return {floorEpsilon(r), difference < 0.0f ? kSqrtEpsilon : std::sqrt(difference)};
}

BinGain wienerFiltering(float power, float noise, float& prevPower) {
    if (!usablePower(power)) {
        prevPower = 0.0f;
        return {0.0f, 0.0f};
    }
    if (!(noise > 0.0f)) {
        const float a = std::sqrt(power);
        prevPower = enhancedPower(a);
        return {1.0f, a};
    }
    const float r = power / noise - 1.0f;
    const float xi = (prevPower / noise) * kAlpha + currentWeight(r);
    const float g = wienerGain(xi);
    const float a = std::sqrt(power) * g;
    prevPower = enhancedPower(a);
    return {g, a};
}

BinGain twoStepWienerFiltering(float power, float noise, float& prevPower) {
    if (!usablePower(power)) {
        prevPower = 0.0f;
        return {0.0f, 0.0f};
    }
    if (!(noise > 0.0f)) {
        const float a = std::sqrt(power);
        prevPower = enhancedPower(a);
        return {1.0f, a};
    }
    const float r = power / noise - 1.0f;
    const float xi1 = (prevPower / noise) * kAlpha + currentWeight(r);
    const float g1 = wienerGain(xi1);
    const float magnitude = std::sqrt(power);
    const float a1 = magnitude * g1;
    const float xi2 = (a1 * a1) / noise;
    const float g = wienerGain(xi2);
    const float a = magnitude * g;
    prevPower = enhancedPower(a);
    return {g, a};
}

BinGain minimumMeanSquareError(float power, float noise, float prevPower) {
    if (!usablePower(power)) return {0.0f, 0.0f};
    if (!(noise > 0.0f)) return {1.0f, std::sqrt(power)};
    const float r = power / noise - 1.0f;
    const float rFloored = floorEpsilon(r);
    const float xi = (prevPower / noise) * kAlpha + currentWeight(r);
    const float gw = wienerGain(xi);
    const float v = rFloored * gw;
    float g;
    if (v == 0.0f && rFloored > 0.0f) {
        // sqrt(v) = 0 makes the whole product +0 (I0(0) = 1, I1(0) = 0, e^0 = 1).
        g = 0.0f;
    } else {
        const float c = (std::sqrt(v) * kGamma) / rFloored;
        const float x = 0.5f * v;
        const float onePlusV = 1.0f + v;
        double i0, i1;
        ModifiedBessel::besseli01(double(x), i0, i1);
        const float gm = float(((double(onePlusV) * i0 + double(v) * i1) * double(c)) * std::exp(-double(x)));
        g = (gm == gm && std::fabs(gm) <= kLargestFloat) ? gm : gw;
    }
    return {g, std::sqrt(power) * g};
}

BinGain applyGainRule(NoiseReductionMethod method, float power, float noise, float& prevPower) {
    switch (method) {
        case NoiseReductionMethod::SpectralSubtraction:
            return spectralSubtraction(power, noise);
        case NoiseReductionMethod::WienerFiltering:
            return wienerFiltering(power, noise, prevPower);
        case NoiseReductionMethod::TwoStepWienerFiltering:
            return twoStepWienerFiltering(power, noise, prevPower);
        case NoiseReductionMethod::MinimumMeanSquareError:
            return minimumMeanSquareError(power, noise, prevPower);
        case NoiseReductionMethod::None:
            break;
    }
    return {0.0f, 0.0f};
}

void applyGainRuleRow(NoiseReductionMethod method, int count, const float* power, const float* noise,
                      float* prevPower, float* gain, float* amplitude) {
    for (int k = 0; k < count; ++k) {
        const BinGain b = applyGainRule(method, power[k], noise[k], prevPower[k]);
        gain[k] = b.gain;
        amplitude[k] = b.amplitude;
    }
}

}  // namespace enhancement
