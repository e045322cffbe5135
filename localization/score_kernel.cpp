#include "localization/score_kernel.h"

#include <algorithm>
#include <limits>

namespace localization {
namespace detail {

namespace {

// One pass over the band; per bin, 181 (padded to kDirectionLanes) independent
// multiply-adds that the compiler spreads over vector lanes.
__attribute__((always_inline)) inline void scoreBand(const SteeringTables& tables,
                                                     const std::complex<float>* left,
                                                     const std::complex<float>* right, const float* noiseMean,
                                                     float* __restrict score) {
    std::fill(score, score + kDirectionLanes, 0.0f);
    const Band band = tables.band();
    const float binCount = float(band.size());
    for (int k = band.low; k < band.high; ++k) {
        const CrossBin g = crossSpectrum(left[k], right[k]);
        // A zero or non-finite cross-spectrum has no phase to compare: the bin adds nothing.
        if (!(g.magnitude > 0.0f && g.magnitude <= std::numeric_limits<float>::max())) continue;
        const float gr = g.gr / g.magnitude;
        const float gi = g.gi / g.magnitude;
        const float w = noiseWeight(g.magnitude, noiseMean[k]);
        const float* __restrict c = tables.cosRow(k);
        const float* __restrict s = tables.sinRow(k);
        for (int a = 0; a < kDirectionLanes; ++a) score[a] += ((c[a] * gr - s[a] * gi) * w) / binCount;
    }
}

void scoreGeneric(const SteeringTables& t, const std::complex<float>* l, const std::complex<float>* r,
                  const float* noise, float* score) {
    scoreBand(t, l, r, noise, score);
}

__attribute__((target("avx2"))) void scoreAvx2(const SteeringTables& t, const std::complex<float>* l,
                                               const std::complex<float>* r, const float* noise,
                                               float* score) {
    scoreBand(t, l, r, noise, score);
}

ScoreFunction choose() {
    if (isaAvailable(Isa::Avx2)) return scoreAvx2;
    return scoreGeneric;
}

}  // namespace

bool isaAvailable(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
        case Isa::Avx2:
            return __builtin_cpu_supports("avx2");
        case Isa::Generic:
            return true;
    }
    return false;
}

ScoreFunction scoreKernelFor(Isa isa) {
    switch (isa) {
        case Isa::Avx2:
            return scoreAvx2;
        case Isa::Generic:
            break;
    }
    return scoreGeneric;
}

ScoreFunction scoreKernel() {
    static const ScoreFunction chosen = choose();
    return chosen;
}

}  // namespace detail
}  // namespace localization
