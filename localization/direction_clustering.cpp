#include "localization/direction_clustering.h"

#include <cmath>
#include <cstdlib>

namespace localization {

namespace {
constexpr float kRandScale = 4.656612873077393e-10f;  // 2^-31
constexpr double kPi = 3.141592653589793;
}  // namespace

bool wholeDegrees(float x0, float x1, int* degrees) {
    if (!std::isfinite(x0) || !std::isfinite(x1)) return false;
    *degrees = int(double(std::atan2(x1, x0)) * kDegreesPerRadian);
    return true;
}

int randomPosition(int r, int n) {
    const int p = int(float(r) * float(n) * kRandScale);
    if (p >= n) return n - 1;
    return p < 0 ? 0 : p;
}

void centreDirection(int degrees, float* x0, float* x1) {
    const float theta = float(degrees * kPi / 180.0);
    *x0 = std::cos(theta);
    *x1 = std::sin(theta);
}

DirectionClustering::DirectionClustering(int maxCentres) : maxCentres_(maxCentres) {
    centres_.reserve(size_t(maxCentres));
    previous_.reserve(size_t(maxCentres));
    sums_.reserve(size_t(maxCentres));
    counts_.reserve(size_t(maxCentres));
    selected_.reserve(size_t(maxCentres));
}

const std::vector<int>& DirectionClustering::run(const std::vector<int>& angles, const Draw& draw) {
    centres_.clear();
    selected_.clear();
    nearest_.assign(angles.size(), 0);
    meanDistance_ = 0;
    const int n = int(angles.size());
    if (n <= 2) return selected_;

    for (;;) {
        centres_.push_back(angles[size_t(randomPosition(draw(), n))]);
        const int64_t total = converge(angles, draw);
        meanDistance_ = int(total / n);
        // Tight enough, or as many clusters as we keep: select from what we have.
        if (meanDistance_ <= kMeanDistanceLimit || int(centres_.size()) >= maxCentres_) break;
    }

    counts_.assign(centres_.size(), 0);
    for (int i = 0; i < n; ++i) ++counts_[size_t(nearest_[size_t(i)])];
    const float needed = kSelectedShare * float(n);
    for (size_t j = 0; j < centres_.size(); ++j)
        if (float(counts_[j]) > needed) selected_.push_back(centres_[j]);
    return selected_;
}

int64_t DirectionClustering::converge(const std::vector<int>& angles, const Draw& draw) {
    const int n = int(angles.size());
    const size_t k = centres_.size();
    int64_t total = 0;
    for (int iteration = 0; iteration < kMaxIterationsPerPass; ++iteration) {
        total = 0;
        sums_.assign(k, 0);
        counts_.assign(k, 0);
        for (int i = 0; i < n; ++i) {
            const int angle = angles[size_t(i)];
            size_t best = 0;
            int bestDistance = std::abs(angle - centres_[0]);
            for (size_t j = 1; j < k; ++j) {
                const int d = std::abs(angle - centres_[j]);
                if (d < bestDistance) {
                    bestDistance = d;
                    best = j;
                }
            }
            nearest_[size_t(i)] = int(best);
            total += bestDistance;
            sums_[best] += angle;
            ++counts_[best];
        }
        previous_ = centres_;
        for (size_t j = 0; j < k; ++j) {
            centres_[j] =
                counts_[j] > 0 ? int(sums_[j] / counts_[j]) : angles[size_t(randomPosition(draw(), n))];
        }
        if (centres_ == previous_) break;
    }
    return total;
}

}  // namespace localization
