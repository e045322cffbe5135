#include "enhancement/noise_tracker.h"

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
    const size_t k = size_t(bins_);
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
    float* usable = usable_.data();
    float* clean = clean_.data();
    float* local = local_.data();
    // Observed bins and their powers (0 elsewhere), then the frequency smoothing over the
    // observed neighbours, weights 1/4, 1/2, 1/4 renormalised.
    for (int k = 0; k < n; ++k) usable[k] = (power[k] > 0.0f) & (power[k] <= FLT_MAX) ? 1.0f : 0.0f;
    for (int k = 0; k < n; ++k) clean[k] = usable[k] != 0.0f ? power[k] : 0.0f;
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

    float* smoothed = smoothed_.data();
    float* subMin = subwindowMin_.data();
    const float* windowMin = windowMin_.data();
    float* presence = presence_.data();
    float* weight = weight_.data();
    const float as = powerKeep_, ap = presenceKeep_, step = noiseStep_;
    for (int k = 0; k < n; ++k) {
        const bool observed = usable[k] != 0.0f;
        // A bin seen for the first time starts from its own power, not from zero.
        const float s = smoothed[k] == 0.0f ? local[k] : as * smoothed[k] + (1.0f - as) * local[k];
        const float sNow = observed ? s : smoothed[k];
        smoothed[k] = sNow;
        const float sub = observed ? std::min(subMin[k], sNow) : subMin[k];
        subMin[k] = sub;
        const float minimum = std::min(windowMin[k], sub);
        const float speech = sNow > kPresenceRatio * minimum ? 1.0f : 0.0f;
        const float p = observed ? ap * presence[k] + (1.0f - ap) * speech : presence[k];
        presence[k] = p;
        const bool loudFrame = clean[k] > kFramePresenceRatio * minimum;
        weight[k] = observed && !loudFrame ? step * (1.0f - p) : 0.0f;
    }
    if (++framesInSubwindow_ == subwindowFrames_) closeSubwindow();
}

void NoiseTracker::closeSubwindow() {
    const size_t n = size_t(bins_);
    std::copy(subwindowMin_.begin(), subwindowMin_.end(),
              subwindowMins_.begin() + long(size_t(nextSubwindow_) * n));
    nextSubwindow_ = (nextSubwindow_ + 1) % subwindows_;
    std::fill(windowMin_.begin(), windowMin_.end(), kInfinity);
    float* windowMin = windowMin_.data();
    for (int u = 0; u < subwindows_; ++u) {
        const float* row = subwindowMins_.data() + size_t(u) * n;
        for (size_t k = 0; k < n; ++k) windowMin[k] = std::min(windowMin[k], row[k]);
    }
    std::fill(subwindowMin_.begin(), subwindowMin_.end(), kInfinity);
    framesInSubwindow_ = 0;
}

void NoiseTracker::follow(float* statistic, const float* value) const {
    const float* weight = weight_.data();
    for (int k = 0; k < bins_; ++k) {
        const float x = statistic[k];
        const float moved = x + weight[k] * (value[k] - x);
        statistic[k] = weight[k] > 0.0f ? moved : x;
    }
}

}  // namespace enhancement
