#include "separation/source_directions.h"

#include <algorithm>
#include <cmath>

namespace separation {

DirectionFinder::DirectionFinder(localization::HeadModel model, float micsDistanceCm, int samplingRate)
    : model_(model), micsDistanceCm_(micsDistanceCm), samplingRate_(samplingRate) {}

std::vector<TalkerDirection> DirectionFinder::directions(const MixingView& mixing, int bins) {
    const int M = mixing.channels, N = mixing.sources, K = mixing.bins;
    std::vector<TalkerDirection> found(N);
    if (M < 2 || bins < 2 || K < 1) return found;
    if (bins != tableBins_) {
        tableBins_ = bins;
        const float nyquist = 0.5f * float(samplingRate_);
        const localization::BandEdges edges =
            localization::bandEdges(kLowestHz, std::min(kHighestHz, nyquist), samplingRate_, bins);
        localization::Band band;
        tables_ = localization::bandFits(edges, bins, &band)
                      ? localization::SteeringTables(model_, micsDistanceCm_, samplingRate_, bins, band)
                      : localization::SteeringTables();
    }
    if (tables_.empty()) return found;
    const localization::Band band = tables_.band();

    std::vector<double> score(localization::kDirections);
    for (int n = 0; n < N; ++n) {
        std::fill(score.begin(), score.end(), 0.0);
        double total = 0.0;
        for (int k = band.low; k < band.high && k < K; ++k) {
            const localization::CrossBin g = localization::crossSpectrum(mixing.column(0, n, k), mixing.column(1, n, k));
            const double w = mixing.energyOf(n, k);
            if (!(g.magnitude > 0.0f) || !std::isfinite(g.magnitude) || !(w > 0.0) || !std::isfinite(w)) continue;
            const double gr = g.gr / g.magnitude, gi = g.gi / g.magnitude;
            const float* c = tables_.cosRow(k);
            const float* s = tables_.sinRow(k);
            for (int a = 0; a < localization::kDirections; ++a) score[a] += w * (c[a] * gr - s[a] * gi);
            total += w;
        }
        if (!(total > 0.0)) continue;
        const int best = int(std::max_element(score.begin(), score.end()) - score.begin());
        double offset = 0.0;  // parabola through the best grid point and its neighbours
        if (best > 0 && best < localization::kDirections - 1) {
            const double curve = score[best - 1] - 2.0 * score[best] + score[best + 1];
            if (curve < 0.0) offset = std::clamp(0.5 * (score[best - 1] - score[best + 1]) / curve, -0.5, 0.5);
        }
        found[n].azimuth = float(best - 90 + offset);
        found[n].score = float(score[best] / total);
    }
    return found;
}

void holdQuietRows(const MixingView& mixing, std::vector<TalkerDirection>& directions,
                   std::vector<TalkerDirection>& held) {
    held.resize(directions.size());
    // Each row's energy summed over the bins in ascending order, then the rows' total
    // with the even and the odd rows in two sums.
    std::vector<float> energy(size_t(mixing.sources), 0.0f);
    for (int k = 0; k < mixing.bins; ++k)
        for (int n = 0; n < mixing.sources; ++n) energy[n] += mixing.energyOf(n, k);
    float even = 0.0f, odd = 0.0f;
    for (size_t n = 0; n < energy.size(); ++n) (n % 2 == 0 ? even : odd) += energy[n];
    const float total = even + odd;
    for (size_t n = 0; n < directions.size() && n < energy.size(); ++n) {
        const bool quiet = !(energy[n] >= kQuietShare * total);
        if (!quiet) {
            held[n] = directions[n];
        } else if (held[n].score > 0.0f) {
            directions[n] = TalkerDirection{held[n].azimuth, 0.0f};
        }
    }
}

}  // namespace separation
