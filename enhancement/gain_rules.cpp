#include "enhancement/gain_rules.h"

#include "enhancement/ModifiedBessel.h"
#include "enhancement/simd.h"

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

// The MMSE gain from v = R' Gw and c = sqrt(v) Gamma / R': in double precision
// ((1 + v) I0(v/2) + v I1(v/2)) c e^(-v/2), with v/2 and 1 + v formed in single precision;
// the Wiener gain Gw where that is not a finite float.
float mmseBesselGain(float v, float c, float gw) {
    const float x = 0.5f * v;
    const float onePlusV = 1.0f + v;
    double i0, i1;
    ModifiedBessel::besseli01(double(x), i0, i1);
    const float gm = float(((double(onePlusV) * i0 + double(v) * i1) * double(c)) * std::exp(-double(x)));
    return (gm == gm && std::fabs(gm) <= kLargestFloat) ? gm : gw;
}

// v = 0 with R' > 0 makes c = +0 and the whole product +0 (I0(0) = 1, I1(0) = 0, e^0 = 1).
inline bool mmseGainIsZero(float v, float rFloored) { return (v == 0.0f) & (rFloored > 0.0f); }

inline float mmseGain(float v, float c, float rFloored, float gw) {
    return mmseGainIsZero(v, rFloored) ? 0.0f : mmseBesselGain(v, c, gw);
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

// The Wiener rules' bins with nothing to filter: an unusable power comes out
// silent and clears prevPower; with no noise learned the bin passes unchanged.
// Returns false when the bin is an ordinary one.
static bool wienerBinWithoutFiltering(float power, float noise, float& prevPower, BinGain& result) {
    if (!usablePower(power)) {
        prevPower = 0.0f;
        result = {0.0f, 0.0f};
        return true;
    }
    if (!(noise > 0.0f)) {
        const float a = std::sqrt(power);
        prevPower = enhancedPower(a);
        result = {1.0f, a};
        return true;
    }
    return false;
}

BinGain wienerFiltering(float power, float noise, float& prevPower) {
    BinGain unfiltered;
    if (wienerBinWithoutFiltering(power, noise, prevPower, unfiltered)) return unfiltered;
    const float r = power / noise - 1.0f;
    const float xi = (prevPower / noise) * kAlpha + currentWeight(r);
    const float g = wienerGain(xi);
    const float a = std::sqrt(power) * g;
    prevPower = enhancedPower(a);
    return {g, a};
}

BinGain twoStepWienerFiltering(float power, float noise, float& prevPower) {
    BinGain unfiltered;
    if (wienerBinWithoutFiltering(power, noise, prevPower, unfiltered)) return unfiltered;
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
    const float c = (std::sqrt(v) * kGamma) / rFloored;
    const float g = mmseGain(v, c, rFloored, gw);
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

namespace {

using simd::f32x4;
using simd::i32x4;
using simd::splat;

// Four-lane forms of the rules, lane for lane the same operations as the bin functions above
// (a product or quotient formed in double and rounded once is the float result). Lanes that
// are unusable or have no noise learned are computed along and replaced at the end.
struct Lanes {
    f32x4 power, noise, magnitude;
    i32x4 usable, noNoise;
};

inline Lanes lanes(const float* power, const float* noise) {
    Lanes l;
    l.power = simd::load(power);
    l.noise = simd::load(noise);
    l.usable = simd::abs(l.power) <= splat(kLargestFloat);
    l.noNoise = ~(l.noise > splat(0.0f));
    // Unusable lanes take the square root of 0 so that no NaN operation is ever needed.
    l.magnitude = simd::sqrt(simd::select(l.usable, l.power, splat(0.0f)));
    return l;
}

// (prev / lambda) alpha + R' (1 - alpha), the decision-directed a priori SNR.
inline f32x4 aprioriSnr(const Lanes& l, f32x4 r, f32x4 prev) {
    const f32x4 current =
        simd::select(r < splat(0.0f), splat(kEpsilonTimesOneMinusAlpha), r * splat(kOneMinusAlpha));
    // With no enhanced power yet (the MMSE rule, the first frames) the first term is +0.
    const i32x4 some = prev != splat(0.0f);
    if (!(some[0] | some[1] | some[2] | some[3])) return current;
    return simd::mulExact(simd::divExact(prev, l.noise), splat(kAlpha)) + current;
}

inline f32x4 enhancedPowerLanes(f32x4 amplitude) {
    const f32x4 p = simd::mulExact(amplitude, amplitude);
    return simd::select(p <= splat(kLargestFloat), p, splat(kLargestFloat));
}

inline void finish(const Lanes& l, f32x4 g, f32x4 a, float* gain, float* amplitude) {
    g = simd::select(l.noNoise, splat(1.0f), g);
    a = simd::select(l.noNoise, l.magnitude, a);
    simd::store(gain, simd::select(l.usable, g, splat(0.0f)));
    simd::store(amplitude, simd::select(l.usable, a, splat(0.0f)));
}

inline void finishPrev(const Lanes& l, f32x4 a, float* prevPower) {
    const f32x4 p = simd::select(l.noNoise, enhancedPowerLanes(l.magnitude), enhancedPowerLanes(a));
    simd::store(prevPower, simd::select(l.usable, p, splat(0.0f)));
}

void spectralSubtractionLanes(const float* power, const float* noise, float* gain, float* amplitude) {
    const Lanes l = lanes(power, noise);
    const f32x4 r = l.power / l.noise - splat(1.0f);
    const f32x4 d = l.power - l.noise;
    const i32x4 below = d < splat(0.0f);
    const f32x4 a = simd::select(below, splat(kSqrtEpsilon), simd::sqrt(simd::select(below, splat(0.0f), d)));
    const f32x4 g = simd::select(r < splat(0.0f), splat(kEpsilon), r);
    finish(l, g, a, gain, amplitude);
}

void wienerFilteringLanes(const float* power, const float* noise, float* prevPower, float* gain,
                          float* amplitude) {
    const Lanes l = lanes(power, noise);
    const f32x4 r = l.power / l.noise - splat(1.0f);
    const f32x4 g = simd::wienerGain(aprioriSnr(l, r, simd::load(prevPower)));
    const f32x4 a = simd::mulExact(l.magnitude, g);
    finishPrev(l, a, prevPower);
    finish(l, g, a, gain, amplitude);
}

void twoStepWienerFilteringLanes(const float* power, const float* noise, float* prevPower, float* gain,
                                 float* amplitude) {
    const Lanes l = lanes(power, noise);
    const f32x4 r = l.power / l.noise - splat(1.0f);
    const f32x4 g1 = simd::wienerGain(aprioriSnr(l, r, simd::load(prevPower)));
    const f32x4 a1 = simd::mulExact(l.magnitude, g1);
    const f32x4 g = simd::wienerGain(simd::divExact(simd::mulExact(a1, a1), l.noise));
    const f32x4 a = simd::mulExact(l.magnitude, g);
    finishPrev(l, a, prevPower);
    finish(l, g, a, gain, amplitude);
}

// The float terms of four MMSE bins; bins that need the Bessel terms are appended to `bins`.
void minimumMeanSquareErrorTerms(int k, const float* power, const float* noise, const float* prevPower,
                                 GainRuleScratch& scratch, int& count) {
    const Lanes l = lanes(power + k, noise + k);
    const f32x4 r = l.power / l.noise - splat(1.0f);
    const f32x4 rFloored = simd::select(r < splat(0.0f), splat(kEpsilon), r);
    const f32x4 gw = simd::wienerGain(aprioriSnr(l, r, simd::load(prevPower + k)));
    const f32x4 v = simd::mulExact(rFloored, gw);
    // sqrt(v) Gamma / R'. Below the noise (R' = epsilon) v is 0 and so is c: the quotient is
    // taken as 0 there rather than divided by the subnormal epsilon, which is slow.
    const f32x4 numerator = simd::sqrt(v) * splat(kGamma);
    const i32x4 zeroOverEpsilon = (rFloored == splat(kEpsilon)) & (numerator == splat(0.0f));
    const f32x4 c = simd::select(zeroOverEpsilon, splat(0.0f),
                                 numerator / simd::select(zeroOverEpsilon, splat(1.0f), rFloored));
    simd::store(scratch.v.data() + k, v);
    simd::store(scratch.c.data() + k, c);
    simd::store(scratch.gw.data() + k, gw);
    const i32x4 bessel = l.usable & ~l.noNoise & ~((v == splat(0.0f)) & (rFloored > splat(0.0f)));
    for (int j = 0; j < simd::kLanes; ++j) {
        scratch.bins[size_t(count)] = k + j;
        count += bessel[j] & 1;
    }
}

void minimumMeanSquareErrorRow(int count, const float* power, const float* noise, const float* prevPower,
                               float* gain, float* amplitude, GainRuleScratch& scratch) {
    const int whole = count / simd::kLanes * simd::kLanes;
    int n = 0;
    for (int k = 0; k < whole; k += simd::kLanes)
        minimumMeanSquareErrorTerms(k, power, noise, prevPower, scratch, n);
    for (int k = 0; k < whole; ++k) gain[k] = 0.0f;
    for (int i = 0; i < n; ++i) {
        const int k = scratch.bins[size_t(i)];
        gain[k] = mmseBesselGain(scratch.v[size_t(k)], scratch.c[size_t(k)], scratch.gw[size_t(k)]);
    }
    for (int k = 0; k < whole; k += simd::kLanes) {
        const Lanes l = lanes(power + k, noise + k);
        const f32x4 g = simd::load(gain + k);
        finish(l, g, simd::mulExact(l.magnitude, g), gain + k, amplitude + k);
    }
    for (int k = whole; k < count; ++k) {
        const BinGain b = minimumMeanSquareError(power[k], noise[k], prevPower[k]);
        gain[k] = b.gain;
        amplitude[k] = b.amplitude;
    }
}

}  // namespace

void GainRuleScratch::resize(int count) {
    const size_t n = size_t(count < 0 ? 0 : count);
    v.assign(n, 0.0f);
    c.assign(n, 0.0f);
    gw.assign(n, 0.0f);
    bins.assign(n + simd::kLanes, 0);
}

void applyGainRuleRow(NoiseReductionMethod method, int count, const float* power, const float* noise,
                      float* prevPower, float* gain, float* amplitude, GainRuleScratch& scratch) {
    if (method == NoiseReductionMethod::MinimumMeanSquareError) {
        if (int(scratch.v.size()) < count) scratch.resize(count);
        minimumMeanSquareErrorRow(count, power, noise, prevPower, gain, amplitude, scratch);
        return;
    }
    int k = 0;
    const int whole = count / simd::kLanes * simd::kLanes;
    switch (method) {
        case NoiseReductionMethod::SpectralSubtraction:
            for (; k < whole; k += simd::kLanes)
                spectralSubtractionLanes(power + k, noise + k, gain + k, amplitude + k);
            break;
        case NoiseReductionMethod::WienerFiltering:
            for (; k < whole; k += simd::kLanes)
                wienerFilteringLanes(power + k, noise + k, prevPower + k, gain + k, amplitude + k);
            break;
        case NoiseReductionMethod::TwoStepWienerFiltering:
            for (; k < whole; k += simd::kLanes)
                twoStepWienerFilteringLanes(power + k, noise + k, prevPower + k, gain + k, amplitude + k);
            break;
        default:
            break;
    }
    for (; k < count; ++k) {
        const BinGain b = applyGainRule(method, power[k], noise[k], prevPower[k]);
        gain[k] = b.gain;
        amplitude[k] = b.amplitude;
    }
}

}  // namespace enhancement
