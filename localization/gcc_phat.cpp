#include "localization/gcc_phat.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "localization/score_kernel.h"

namespace localization {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kSphericalHeadEnd = -2.5707963267948966;  // -(pi/2 + 1): theta + sin(theta) at -90
constexpr float kDiffractionFactor = 0.1f;
constexpr float kZeroSlope = -1e-22f;  // a flat step of the score counts as falling
constexpr double kNoMaximum = -1e6;    // running maximum before any maximum is seen

}  // namespace

bool parseHeadModel(const std::string& text, HeadModel* model) {
    if (text == "FREE_SPACE") {
        *model = HeadModel::FreeSpace;
        return true;
    }
    if (text == "SPHERICAL_HEAD") {
        *model = HeadModel::SphericalHead;
        return true;
    }
    return false;
}

int binSpacing(int samplingRate, int bins) { return (samplingRate / 2) / (bins - 1); }

BandEdges bandEdges(float frequencyLow, float frequencyHigh, int samplingRate, int bins) {
    const float df = float(binSpacing(samplingRate, bins));
    return BandEdges{std::trunc(frequencyLow / df), std::trunc(frequencyHigh / df)};
}

bool bandFits(const BandEdges& edges, int bins, Band* band) {
    // Written so that NaN edges fail every comparison and are refused.
    const float lastAnalysable = float(bins - 1);  // kHigh is exclusive: bins 0 .. bins - 2
    if (!(edges.low >= 0.0f && edges.high <= lastAnalysable && edges.low < edges.high)) return false;
    band->low = int(edges.low);
    band->high = int(edges.high);
    return true;
}

float steeringDelay(HeadModel model, float micsDistanceCm, int a) {
    const int theta = a - 90;
    const double sinTheta = a == 0 ? -1.0 : std::sin(theta * kPi / 180.0);
    if (model == HeadModel::FreeSpace) return float(double(micsDistanceCm) * sinTheta / kSpeedOfSound);

    const float r = 0.5f * micsDistanceCm;  // head radius
    const double thetaRad = theta * kPi / 180.0;
    const double side = theta < 0 ? -1.0 : 1.0;
    const float t1 = a == 0 ? float(kSphericalHeadEnd * double(r) / kSpeedOfSound)
                            : float(double(r) * (thetaRad + sinTheta) / kSpeedOfSound);
    const float t2 = float(((side * kPi - theta * kTwoPi / 180.0) * double(r)) *
                           std::fabs(double(kDiffractionFactor) * sinTheta) / kSpeedOfSound);
    return t1 - t2;
}

double angularFrequency(int k, int samplingRate, int nb) {
    return double(float(k)) * (kTwoPi * double(float(samplingRate))) / double(float(2 * nb));
}

SteeringTables::SteeringTables(HeadModel model, float micsDistanceCm, int samplingRate, int bins, Band band)
    : band_(band), values_(size_t(band.size()) * 2 * kDirectionLanes, 0.0f) {
    float delay[kDirections];
    for (int a = 0; a < kDirections; ++a) delay[a] = steeringDelay(model, micsDistanceCm, a);
    const int nb = bins - 1;
    for (int k = band.low; k < band.high; ++k) {
        const double omega = angularFrequency(k, samplingRate, nb);
        float* c = &values_[rowOffset(k)];
        float* s = c + kDirectionLanes;
        for (int a = 0; a < kDirections; ++a) {
            const double phase = double(delay[a]) * omega;
            c[a] = float(std::cos(phase));
            s[a] = float(std::sin(phase));
        }
    }
}

void accumulateNoise(const std::complex<float>* left, const std::complex<float>* right, Band band,
                     float* noiseSum) {
    for (int k = band.low; k < band.high; ++k) {
        const float magnitude = crossSpectrum(left[k], right[k]).magnitude;
        if (std::isfinite(magnitude)) noiseSum[k] += magnitude;
    }
}

void directionScore(const SteeringTables& tables, const std::complex<float>* left,
                    const std::complex<float>* right, const float* noiseMean, float* score) {
    detail::scoreKernel()(tables, left, right, noiseMean, score);
}

int findExtrema(const float* score, int* extrema) {
    float slope[kDirections + 1];
    slope[0] = 1.0f;
    for (int i = 1; i < kDirections; ++i) {
        const float d = score[i] - score[i - 1];
        slope[i] = d == 0.0f ? kZeroSlope : d;
    }
    slope[kDirections] = -1.0f;
    int m = 0;
    for (int i = 0; i < kDirections; ++i)
        if (slope[i] * slope[i + 1] < 0.0f) extrema[m++] = i;
    return m;
}

void selectPeaks(const float* score, const int* extrema, int m, bool* selected) {
    std::fill(selected, selected + m, false);
    if (m == 0) return;
    if (m < 3) {
        selected[0] = true;
        return;
    }
    double best = kNoMaximum;  // running maximum since the last reported peak
    int bestAt = -1;
    double lo = 0.0, hi = 0.0;  // minima to the left and right of the running maximum
    for (int j = 0; j < m; j += 2) {
        lo = j == 0 ? double(score[extrema[1]]) : std::min(double(score[extrema[j - 1]]), lo);
        if (j != m - 1) hi = score[extrema[j + 1]];
        if (double(score[extrema[j]]) > best) {
            best = score[extrema[j]];
            bestAt = j;
        }
        if (best - lo > 0.0 && best - hi > 0.0 && bestAt >= 0) {
            selected[bestAt] = true;
            lo = hi;
            best = kNoMaximum;
            bestAt = -1;
        }
    }
}

int pickPeaks(const float* score, float threshold, Peak* peaks) {
    int extrema[kDirections];
    bool selected[kDirections];
    const int m = findExtrema(score, extrema);
    selectPeaks(score, extrema, m, selected);
    int found = 0;
    for (int j = 0; j < m && found < kMaxPeaks; ++j) {
        if (!selected[j]) continue;
        const int a = extrema[j];
        if (score[a] > threshold) peaks[found++] = Peak{a, score[a]};
    }
    return found;
}

void directionVector(int a, float* x0, float* x1) {
    const double theta = (a - 90) * kPi / 180.0;
    *x0 = float(std::cos(theta));
    *x1 = float(std::sin(theta));
}

}  // namespace localization
