// Helpers shared by the enhancement tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "enhancement/gain_rules.h"

namespace enhancement_test {

inline uint32_t bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

using enhancement::NoiseReductionMethod;
const NoiseReductionMethod kRules[] = {
    NoiseReductionMethod::SpectralSubtraction, NoiseReductionMethod::WienerFiltering,
    NoiseReductionMethod::TwoStepWienerFiltering, NoiseReductionMethod::MinimumMeanSquareError};
const char* const kRuleNames[] = {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                                  "MINIMUM_MEAN_SQUARE_ERROR"};

}  // namespace enhancement_test
