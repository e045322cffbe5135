#include "enhancement/noise_tracker.h"

#include "enhancement/simd.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace enhancement {

namespace {
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// exp(-shift / tau): the weight a recursive average keeps per frame.
float keep(double frameSeconds, double tau) { return float(std::exp(-frameSeconds / tau)); }
}  // namespace

std::optional<NoiseUpdate> parseNoiseUpdate(const std::string& name) {
    if (name == "NONE") return NoiseUpdate::None;
    if (name == "CONTINUOUS") return NoiseUpdate::Continuous;
    return std::nullopt;
}

NoiseTracker::NoiseTracker(double frameSeconds)
    : powerKeep_(keep(frameSeconds, kPowerSmoothingSeconds)),
      presenceKeep_(keep(frameSeconds, kPresenceSmoothingSeconds)),
      noiseStep_(1.0f - keep(frameSeconds, kNoiseSmoothingSeconds)) {
    subwindowFrames_ = std::max(1, int(std::lround(kSubwindowSeconds / frameSeconds)));
    subwindows_ =
        std::max(1, int(std::ceil(kMinimumWindowSeconds / (subwindowFrames_ * frameSeconds) - 1e-9)));
}

void NoiseTracker::start(int bins) {
    bins_ = std::max(bins, 0);
    const size_t k = (size_t(bins_) + 3) / 4 * 4;  // padded for four-lane work
    framesInSubwindow_ = 0;
    nextSubwindow_ = 0;
    smoothed_.assign(k, 0.0f);
    subwindowMin_.assign(k, kInfinity);
    windowMin_.assign(k, kInfinity);
    subwindowMins_.assign(size_t(subwindows_) * k, kInfinity);
    presence_.assign(k, 0.0f);
    weight_.assign(k, 0.0f);
    clean_.assign(k, 0.0f);
    local_.assign(k, 0.0f);
    usable_.assign(k, 0.0f);
}

void NoiseTracker::observe(const float* power) {
    const int n = bins_;
    if (n == 0) return;
    // Every per-bin loop below works on separate arrays, lane by lane: restrict lets them vectorise.
    float* __restrict usable = usable_.data();
    float* __restrict clean = clean_.data();
    float* __restrict local = local_.data();
    // Observed bins and their powers (0 elsewhere), then the frequency smoothing over the
    // observed neighbours, weights 1/4, 1/2, 1/4 renormalised.
    for (int k = 0; k < n; ++k) {
        const bool ok = (power[k] > 0.0f) & (power[k] <= FLT_MAX);
        usable[k] = ok ? 1.0f : 0.0f;
        clean[k] = ok ? power[k] : 0.0f;
    }
    auto smooth = [&](int k, float before, float beforeUsable, float after, float afterUsable) {
        const float sum = 0.25f * before + 0.5f * clean[k] + 0.25f * after;
        const float weight = 0.25f * beforeUsable + 0.5f * usable[k] + 0.25f * afterUsable;
        local[k] = usable[k] != 0.0f ? sum / weight : 0.0f;
    };
    if (n == 1) {
        smooth(0, 0.0f, 0.0f, 0.0f, 0.0f);
    } else {
        smooth(0, 0.0f, 0.0f, clean[1], usable[1]);
        for (int k = 1; k + 1 < n; ++k) smooth(k, clean[k - 1], usable[k - 1], clean[k + 1], usable[k + 1]);
        smooth(n - 1, clean[n - 2], usable[n - 2], 0.0f, 0.0f);
    }

    // Four bins at a time (the arrays are padded to a multiple of four with bins never observed).
    using simd::f32x4;
    using simd::i32x4;
    using simd::splat;
    const f32x4 as = splat(powerKeep_), oneMinusAs = splat(1.0f - powerKeep_), ap = splat(presenceKeep_),
                oneMinusAp = splat(1.0f - presenceKeep_), step = splat(noiseStep_), zero = splat(0.0f);
    for (size_t k = 0; k < smoothed_.size(); k += 4) {
        const f32x4 u = simd::load(&usable_[k]), l = simd::load(&local_[k]), before = simd::load(&smoothed_[k]);
        const i32x4 observed = u != zero;
        // A bin seen for the first time starts from its own power, not from zero.
        const f32x4 started = simd::select(before == zero, l, as * before + oneMinusAs * l);
        const f32x4 now = simd::select(observed, started, before);
        simd::store(&smoothed_[k], now);
        const f32x4 oldSub = simd::load(&subwindowMin_[k]);
        const f32x4 sub = simd::select(observed & (now < oldSub), now, oldSub);
        simd::store(&subwindowMin_[k], sub);
        const f32x4 window = simd::load(&windowMin_[k]);
        const f32x4 minimum = simd::select(window < sub, window, sub);
        const f32x4 speech = simd::select(now > splat(kPresenceRatio) * minimum, splat(1.0f), zero);
        const f32x4 oldPresence = simd::load(&presence_[k]);
        const f32x4 p = simd::select(observed, ap * oldPresence + oneMinusAp * speech, oldPresence);
        simd::store(&presence_[k], p);
        const f32x4 quiet = simd::select(simd::load(&clean_[k]) <= splat(kFramePresenceRatio) * minimum, u, zero);
        simd::store(&weight_[k], quiet * (step * (splat(1.0f) - p)));
    }
    if (++framesInSubwindow_ == subwindowFrames_) closeSubwindow();
}

void NoiseTracker::closeSubwindow() {
    const size_t n = subwindowMin_.size();  // padded
    std::copy(subwindowMin_.begin(), subwindowMin_.end(),
              subwindowMins_.begin() + long(size_t(nextSubwindow_) * n));
    nextSubwindow_ = (nextSubwindow_ + 1) % subwindows_;
    std::fill(windowMin_.begin(), windowMin_.end(), kInfinity);
    float* __restrict windowMin = windowMin_.data();
    for (int u = 0; u < subwindows_; ++u) {
        const float* row = subwindowMins_.data() + size_t(u) * n;
        for (size_t k = 0; k < n; ++k) windowMin[k] = std::min(windowMin[k], row[k]);
    }
    std::fill(subwindowMin_.begin(), subwindowMin_.end(), kInfinity);
    framesInSubwindow_ = 0;
}

void NoiseTracker::follow(float* __restrict statistic, const float* __restrict value) const {
    const float* __restrict weight = weight_.data();
    for (int k = 0; k < bins_; ++k) {
        const float x = statistic[k];
        const float moved = x + weight[k] * (value[k] - x);
        statistic[k] = weight[k] > 0.0f ? moved : x;
    }
}

}  // namespace enhancement
