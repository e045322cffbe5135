// The direction-score loop in one build per instruction set, chosen once at run time.
// Every variant performs the same single-precision operations in the same order on
// each azimuth (the azimuths are independent lanes), so all give identical scores.
#pragma once

#include <complex>

#include "localization/gcc_phat.h"

namespace localization {
namespace detail {

using ScoreFunction = void (*)(const SteeringTables& tables, const std::complex<float>* left,
                               const std::complex<float>* right, const float* noiseMean, float* score);

// AVX2 doubles the lanes of the baseline; wider registers do not pay here, the
// divisions being the bottleneck whatever the width.
enum class Isa { Generic, Avx2 };

bool isaAvailable(Isa isa);
ScoreFunction scoreKernelFor(Isa isa);
// The widest variant this processor runs.
ScoreFunction scoreKernel();

}  // namespace detail
}  // namespace localization
