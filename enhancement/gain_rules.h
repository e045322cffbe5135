// Noise-reduction gain rules: the enhanced magnitude of one spectral bin from its noisy
// power P = re^2 + im^2 and the learned noise power lambda of the bin.
//
// Every rule starts from the a posteriori SNR minus one, R = P / lambda - 1, floored at a
// tiny positive epsilon (R'). The rules:
//   spectral subtraction  A = sqrt(floor(P - lambda)), gain R'
//   Wiener filtering      decision-directed a priori SNR xi = (prev / lambda) alpha + R' (1 - alpha),
//                         gain xi / (1 + xi), A = sqrt(P) gain, prev = A^2
//   two-step Wiener       a first Wiener estimate A1 gives xi2 = A1^2 / lambda, gain xi2 / (1 + xi2),
//                         prev = A^2 of the second step
//   MMSE amplitude        short-time spectral amplitude estimator with the modified Bessel
//                         functions I0 and I1, falling back to the Wiener gain where it is not a
//                         finite number; reads prev but never writes it
// `prev` is the enhanced power of the bin from the last row processed (the caller shares one
// array between all rows). The gain goes on to harmonic regeneration.
//
// All arithmetic is single precision in the order written, except the MMSE Bessel term, which
// is double precision. Beyond the plain formulas the rules keep a bin sound when the formulas
// would produce infinities or NaN:
//   - no noise learned (lambda = 0): the bin passes through, A = sqrt(P), gain 1;
//   - an infinite a priori SNR gives the Wiener gain 1 (its limit), not inf / inf;
//   - a bin whose power is not a finite number gives A = 0 and gain 0 (and prev = 0 for
//     the Wiener rules);
//   - the MMSE exponential e^(-v/2) is applied in double precision after the Bessel terms,
//     so strong bins keep their gain instead of underflowing to silence.
#pragma once

#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

namespace enhancement {

enum class NoiseReductionMethod {
    SpectralSubtraction,
    WienerFiltering,
    TwoStepWienerFiltering,
    MinimumMeanSquareError,
    None
};

// Exact, case-sensitive names; anything else is None (enhanced bins are zero).
NoiseReductionMethod parseNoiseReductionMethod(const std::string& name);

constexpr float kAlpha = 0.98f;                  // weight of the previous frame in the a priori SNR
constexpr float kOneMinusAlpha = 1.0f - kAlpha;  // weight of the current frame, 0.019999981
constexpr float kEpsilon = 0xAE398p-149f;        // 1e-39, a subnormal: floor of negative values
constexpr float kGamma = 0.8862f;                // constant factor of the MMSE gain
constexpr float kLargestFloat = 3.4028235e38f;   // finiteness bound of the MMSE gain

static_assert(kEpsilon == 1e-39f, "epsilon must be the single-precision value of 1e-39");
static_assert(kOneMinusAlpha == 0.019999981f, "1 - alpha is formed in single precision");

struct BinGain {
    float gain;       // handed to harmonic regeneration
    float amplitude;  // enhanced magnitude of the bin
};

// x, or epsilon where x < 0; NaN passes.
inline float floorEpsilon(float x) { return x < 0.0f ? kEpsilon : x; }

// xi / (1 + xi); 1 for an infinite xi. Below the smallest normal number 1 + xi is 1, so the
// quotient is xi itself: returned directly, it spares a slow subnormal division.
inline float wienerGain(float xi) {
    if (std::fabs(xi) < FLT_MIN) return xi;
    if (xi == INFINITY) return 1.0f;
    return xi / (1.0f + xi);
}

// The finite, non-negative powers a rule is defined on; anything else (NaN, inf) is not.
inline bool usablePower(float power) { return power <= kLargestFloat; }

// Per-bin rules. `power` is P, `noise` lambda, `prevPower` the shared enhanced power.
BinGain spectralSubtraction(float power, float noise);
BinGain wienerFiltering(float power, float noise, float& prevPower);
BinGain twoStepWienerFiltering(float power, float noise, float& prevPower);
BinGain minimumMeanSquareError(float power, float noise, float prevPower);
BinGain applyGainRule(NoiseReductionMethod method, float power, float noise, float& prevPower);

// Work space of applyGainRuleRow, kept between rows so that a row allocates nothing.
struct GainRuleScratch {
    void resize(int count);
    std::vector<float> v, c, gw;  // MMSE terms per bin
    std::vector<int> bins;        // bins whose MMSE gain needs the Bessel terms
};

// The rule over bins 0 .. count-1 of one row, writing gain[k] and amplitude[k] and updating
// prevPower[k]; bit-identical to applyGainRule bin by bin in increasing bin order.
void applyGainRuleRow(NoiseReductionMethod method, int count, const float* power, const float* noise,
                      float* prevPower, float* gain, float* amplitude, GainRuleScratch& scratch);

}  // namespace enhancement
