#include "separation/source_directions.h"

#include <algorithm>
#include <cmath>

namespace separation {

DirectionFinder::DirectionFinder(localization::HeadModel model, float micsDistanceCm, int samplingRate)
    : model_(model), micsDistanceCm_(micsDistanceCm), samplingRate_(samplingRate) {}

std::vector<TalkerDirection> DirectionFinder::directions(const BlockMixing& mixing, int bins) {
    const int M = int(mixing.columns.n_rows), N = int(mixing.columns.n_cols);
    const int K = int(mixing.columns.n_slices);
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
            const localization::CrossBin g = localization::crossSpectrum(mixing.columns(0, n, k), mixing.columns(1, n, k));
            const double w = mixing.energy(n, k);
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

void holdQuietRows(const BlockMixing& mixing, std::vector<TalkerDirection>& directions,
                   std::vector<TalkerDirection>& held) {
    held.resize(directions.size());
    const arma::fvec energy = arma::sum(mixing.energy, 1);
    const float total = arma::accu(energy);
    for (size_t n = 0; n < directions.size() && n < energy.n_elem; ++n) {
        const bool quiet = !(energy(n) >= kQuietShare * total);
        if (!quiet) {
            held[n] = directions[n];
        } else if (held[n].score > 0.0f) {
            directions[n] = TalkerDirection{held[n].azimuth, 0.0f};
        }
    }
}

}  // namespace separation
