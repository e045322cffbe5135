#include "localization/identity_tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace localization {

namespace {

constexpr double kInitialSpeedSpread = 20.0;  // degrees per second: a new talker's speed is unknown
constexpr double kMaxSpeed = 360.0;           // degrees per second: guards against runaway filters
constexpr double kMinConfidence = 0.1;        // detection scores are taken as confidences in 0.1 .. 1
constexpr int64_t kSurvivalPerDetection = 2;  // coasting frames a track earns per detection
constexpr double kCoastingSpeedTime = 0.5;    // s: a silent talker's speed fades over this time

// a in [-180, 180]; most values are there already.
double wrapDegrees(double a) { return a >= -180.0 && a <= 180.0 ? a : std::remainder(a, 360.0); }

int popcount(uint64_t bits) { return __builtin_popcountll(bits); }

}  // namespace

IdentityTracker::IdentityTracker(const IdentityTrackerSettings& settings) : s_(settings) {
    const double dt = s_.frameSeconds, q = s_.processNoise * s_.processNoise;
    r_ = s_.measurementNoise * s_.measurementNoise;
    q00_ = q * dt * dt * dt / 3.0;
    q01_ = q * dt * dt / 2.0;
    q11_ = q * dt;
    coastingSpeedFactor_ = std::exp(-dt / kCoastingSpeedTime);
    scoreAlpha_ = s_.scoreSmoothingFrames > 0.0 ? 1.0 - std::exp(-1.0 / s_.scoreSmoothingFrames) : 1.0;
    const int n = std::clamp(s_.confirmationFrames, 1, kMaxConfirmationFrames);
    window_ = n == 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1;
    reports_.reserve(kMaxTracks);
}

const std::vector<TrackReport>& IdentityTracker::step(const TrackDetection* detections, int count) {
    for (int i = 0; i < trackCount_; ++i) predict(tracks_[i]);
    const int kept = gatherDetections(detections, count);
    assign(kept);
    bear(kept);
    confirmAndDrop();
    merge();
    ++frame_;

    reports_.clear();
    for (int i = 0; i < trackCount_; ++i) {
        const Track& t = tracks_[i];
        if (t.id >= 0) reports_.push_back({t.id, wrapDegrees(t.azimuth), t.score});
    }
    std::sort(reports_.begin(), reports_.end(),
              [](const TrackReport& a, const TrackReport& b) { return a.id < b.id; });
    return reports_;
}

void IdentityTracker::predict(Track& t) const {
    const double dt = s_.frameSeconds;
    t.azimuth = wrapDegrees(t.azimuth + t.speed * dt);
    t.p00 += dt * (2.0 * t.p01 + dt * t.p11) + q00_;
    t.p01 += dt * t.p11 + q01_;
    t.p11 += q11_;
    // The speed decays while the track coasts: one who stops talking often stops moving.
    if (t.missed > 0) t.speed *= coastingSpeedFactor_;
    t.hits <<= 1;
    ++t.missed;
    t.score -= scoreAlpha_ * t.score;  // a detection adds its share back in update()
}

void IdentityTracker::update(Track& t, const TrackDetection& d) const {
    const double innovation = wrapDegrees(d.azimuth - t.azimuth);
    // A weak detection (a side peak, a reflection) moves the filter less than a strong one.
    const double confidence = std::clamp(d.score, kMinConfidence, 1.0);
    const double s = t.p00 + r_ / (confidence * confidence);
    const double k0 = t.p00 / s, k1 = t.p01 / s;
    t.azimuth = wrapDegrees(t.azimuth + k0 * innovation);
    t.speed = std::clamp(t.speed + k1 * innovation, -kMaxSpeed, kMaxSpeed);
    t.p11 -= k1 * t.p01;
    t.p01 -= k0 * t.p01;
    t.p00 -= k0 * t.p00;
    t.hits |= 1;
    ++t.detections;
    t.missed = 0;
    t.score += scoreAlpha_ * d.score;
}

// Keeps the finite detections (the strongest kMaxDetections of them), azimuths wrapped.
int IdentityTracker::gatherDetections(const TrackDetection* detections, int count) {
    int kept = 0;
    double weakest = std::numeric_limits<double>::infinity();
    int weakestAt = -1;
    for (int j = 0; j < count; ++j) {
        if (!std::isfinite(detections[j].azimuth)) continue;
        const TrackDetection d{wrapDegrees(detections[j].azimuth),
                               std::isfinite(detections[j].score) ? detections[j].score : 0.0};
        if (kept < kMaxDetections) {
            kept_[kept++] = d;
            continue;
        }
        if (weakestAt < 0) {
            for (int k = 0; k < kept; ++k)
                if (kept_[k].score < weakest) weakest = kept_[k].score, weakestAt = k;
        }
        if (d.score <= weakest) continue;
        kept_[weakestAt] = d;
        weakest = std::numeric_limits<double>::infinity(), weakestAt = -1;
    }
    return kept;
}

void IdentityTracker::assign(int detectionCount) {
    const double gate2 = s_.gateDegrees * s_.gateDegrees;
    // Gains of the gated pairs; rows of tracks without any, and detections in no gate,
    // stay out of the assignment problem.
    double gain[kMaxTracks][kMaxDetections];
    int rowTrack[kMaxTracks], rows = 0;
    int colDetection[kMaxDetections], cols = 0;
    for (int j = 0; j < detectionCount; ++j) inSomeGate_[j] = false;
    for (int i = 0; i < trackCount_; ++i) {
        const Track& t = tracks_[i];
        const double s = t.p00 + r_;
        bool any = false;
        for (int j = 0; j < detectionCount; ++j) {
            const double d = wrapDegrees(kept_[j].azimuth - t.azimuth);
            gain[i][j] = d * d <= gate2 ? (gate2 - d * d) / s : -1.0;
            if (gain[i][j] >= 0.0) any = true, inSomeGate_[j] = true;
        }
        if (any) rowTrack[rows++] = i;
    }
    if (rows == 0) return;
    for (int j = 0; j < detectionCount; ++j)
        if (inSomeGate_[j]) colDetection[cols++] = j;

    // Cost = -gain for a gated pair, 0 otherwise; one spare zero column per row lets every
    // track go without a detection.
    const int width = cols + rows;
    double cost[kAssignMaxRows * kAssignMaxCols];
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < width; ++c) {
            const double g = c < cols ? gain[rowTrack[r]][colDetection[c]] : -1.0;
            cost[r * width + c] = g > 0.0 ? -g : 0.0;
        }
    int columnOf[kAssignMaxRows];
    assignMinimumCost(cost, rows, width, columnOf);
    for (int r = 0; r < rows; ++r) {
        const int c = columnOf[r];
        if (c >= cols || cost[r * width + c] >= 0.0) continue;  // no gated detection for this track
        update(tracks_[rowTrack[r]], kept_[colDetection[c]]);
    }
}

// A detection in no track's gate starts a tentative track, the strongest first; one
// that falls within the gate of a track born in the same frame does not.
void IdentityTracker::bear(int detectionCount) {
    int order[kMaxDetections], n = 0;
    for (int j = 0; j < detectionCount; ++j)
        if (!inSomeGate_[j]) order[n++] = j;
    std::sort(order, order + n, [this](int a, int b) { return kept_[a].score > kept_[b].score; });
    const int before = trackCount_;
    for (int k = 0; k < n && trackCount_ < kMaxTracks; ++k) {
        const TrackDetection& d = kept_[order[k]];
        bool near = false;
        for (int i = before; i < trackCount_; ++i)
            near = near || std::fabs(wrapDegrees(d.azimuth - tracks_[i].azimuth)) <= s_.gateDegrees;
        if (near) continue;
        tracks_[trackCount_++] = Track{
            d.azimuth, 0.0, r_, 0.0, kInitialSpeedSpread * kInitialSpeedSpread, d.score, 1, 1, 0, -1, frame_};
    }
}

void IdentityTracker::confirmAndDrop() {
    for (int i = 0; i < trackCount_;) {
        Track& t = tracks_[i];
        if (t.id < 0 && popcount(t.hits & window_) >= s_.confirmationHits) t.id = nextId_++;
        // A track coasts for at most kSurvivalPerDetection frames per detection it has had:
        // a stray peak that got confirmed fades soon, a talker heard for a while lasts.
        const bool gone =
            t.id < 0 ? (t.hits & window_) == 0
                     : t.missed >= std::min<int64_t>(s_.survivalFrames, kSurvivalPerDetection * t.detections);
        if (gone)
            remove(i);
        else
            ++i;
    }
}

void IdentityTracker::merge() {
    for (int i = 0; i < trackCount_; ++i) {
        for (int j = i + 1; j < trackCount_; ++j) {
            const Track &a = tracks_[i], &b = tracks_[j];
            if ((a.hits & window_) == 0 || (b.hits & window_) == 0) continue;
            if (std::fabs(wrapDegrees(a.azimuth - b.azimuth)) >= s_.mergeDegrees) continue;
            // The senior track keeps its identity; the filter of the one fed more often
            // in the recent frames carries on, being the likelier to follow the talker.
            const Track& keep = senior(a, b) ? a : b;
            const Track& drop = &keep == &a ? b : a;
            Track merged = popcount(drop.hits & window_) > popcount(keep.hits & window_) ? drop : keep;
            merged.id = keep.id;
            merged.birth = keep.birth;
            tracks_[i] = merged;
            remove(j);
            j = i;  // compare the merged track afresh
        }
    }
}

bool IdentityTracker::senior(const Track& a, const Track& b) const {
    if ((a.id >= 0) != (b.id >= 0)) return a.id >= 0;
    if (a.id >= 0) return a.id < b.id;
    const int ha = popcount(a.hits & window_), hb = popcount(b.hits & window_);
    return ha != hb ? ha > hb : a.birth <= b.birth;
}

void IdentityTracker::remove(int index) {
    for (int i = index; i + 1 < trackCount_; ++i) tracks_[i] = tracks_[i + 1];
    --trackCount_;
}

void assignMinimumCost(const double* cost, int rows, int cols, int* columnOf) {
    // Shortest augmenting paths with row and column potentials u, v; arrays 1-based,
    // column 0 a virtual start. rowOfCol[c]: the row holding column c (0: none).
    double u[kAssignMaxRows + 1] = {}, v[kAssignMaxCols + 1] = {}, minSlack[kAssignMaxCols + 1];
    int rowOfCol[kAssignMaxCols + 1] = {}, previous[kAssignMaxCols + 1];
    bool used[kAssignMaxCols + 1];
    const double inf = std::numeric_limits<double>::infinity();
    for (int r = 1; r <= rows; ++r) {
        rowOfCol[0] = r;
        int c0 = 0;
        std::fill(minSlack, minSlack + cols + 1, inf);
        std::fill(used, used + cols + 1, false);
        do {
            used[c0] = true;
            const int r0 = rowOfCol[c0];
            double delta = inf;
            int c1 = 0;
            for (int c = 1; c <= cols; ++c) {
                if (used[c]) continue;
                const double slack = cost[(r0 - 1) * cols + (c - 1)] - u[r0] - v[c];
                if (slack < minSlack[c]) minSlack[c] = slack, previous[c] = c0;
                if (minSlack[c] < delta) delta = minSlack[c], c1 = c;
            }
            for (int c = 0; c <= cols; ++c) {
                if (used[c])
                    u[rowOfCol[c]] += delta, v[c] -= delta;
                else
                    minSlack[c] -= delta;
            }
            c0 = c1;
        } while (rowOfCol[c0] != 0);
        do {
            const int c1 = previous[c0];
            rowOfCol[c0] = rowOfCol[c1];
            c0 = c1;
        } while (c0 != 0);
    }
    for (int c = 1; c <= cols; ++c)
        if (rowOfCol[c] != 0) columnOf[rowOfCol[c] - 1] = c - 1;
}

}  // namespace localization
