#include "vad/vad_detector.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace vad {

namespace {
// Rows reserved at the start of a learning period; longer periods grow as they go,
// so an absurd period length costs memory only as the stream really delivers frames.
constexpr size_t kReservedRows = 1 << 16;
}  // namespace

Band bandOf(int samplingRate, int columns) {
    Band b;
    b.binSpacing = (samplingRate / 2) / (columns - 1);
    b.low = kBandLowHz / b.binSpacing;
    b.high = kBandHighHz / b.binSpacing;
    return b;
}

std::string spectrumShapeProblem(int rows, int columns, int samplingRate) {
    const std::string shape = std::to_string(rows) + " x " + std::to_string(columns);
    if (rows < 2) return "needs 2 rows (one per channel), got a " + shape + " spectrum";
    if (columns < 2)
        return "needs at least 2 columns (bins 0 Hz to half the sampling rate), got a " + shape + " spectrum";
    if ((samplingRate / 2) / (columns - 1) < 1)
        return "needs a bin spacing of at least 1 Hz, but " + std::to_string(columns) +
               " columns at SAMPLING_RATE " + std::to_string(samplingRate) + " give (" +
               std::to_string(samplingRate) + " / 2) / " + std::to_string(columns - 1) + " = 0 Hz";
    const Band b = bandOf(samplingRate, columns);
    if (b.high > columns - 1)
        return "needs the " + std::to_string(kBandLowHz) + "-" + std::to_string(kBandHighHz) +
               " Hz band below the last bin, but at " + std::to_string(b.binSpacing) +
               " Hz per bin it ends at bin " + std::to_string(b.high) + " and the spectrum has " +
               std::to_string(columns) + " columns";
    return "";
}

Detector::Detector(int noiseFrames, float threshold, enhancement::NoiseUpdate noiseUpdate, double frameSeconds)
    : noiseFrames_(noiseFrames),
      threshold_(threshold),
      continuous_(noiseUpdate == enhancement::NoiseUpdate::Continuous),
      tracker_(frameSeconds) {}

void Detector::start(const Band& band) {
    band_ = band;
    const size_t k = size_t(std::max(band.size(), 0));
    power_.assign(k, 0.0f);
    mean_.assign(k, 0.0f);
    deviation_.assign(k, 0.0f);
    rows_.reserve(std::min(size_t(noiseFrames_), kReservedRows) * k);
    phase_ = Phase::Learning;
    if (continuous_) {
        tracker_.start(int(k));
        spread_.assign(k, 0.0f);
    }
}

bool Detector::process(const std::complex<float>* channel0, const std::complex<float>* channel1) {
    switch (phase_) {
        case Phase::Learning:
            bandPower(channel0, channel1);
            if (continuous_) tracker_.observe(power_.data());
            learn();
            return false;
        case Phase::Ending:
            return endLearning();
        case Phase::Detecting:
            bandPower(channel0, channel1);
            if (continuous_) {
                const bool speech = detect();
                followNoise();
                return speech;
            }
            return detect();
        case Phase::Unstarted:
            break;
    }
    return false;
}

void Detector::bandPower(const std::complex<float>* channel0, const std::complex<float>* channel1) {
    const std::complex<float>* x0 = channel0 + band_.low;
    const std::complex<float>* x1 = channel1 + band_.low;
    float* p = power_.data();
    const int n = band_.size();
    for (int j = 0; j < n; ++j) {
        const float re0 = x0[j].real(), im0 = x0[j].imag();
        const float re1 = x1[j].real(), im1 = x1[j].imag();
        p[j] = 0.5f * (re1 * re1 + im1 * im1) + 0.5f * (re0 * re0 + im0 * im0);
    }
}

void Detector::learn() {
    score_ = 0.0f;
    const int n = band_.size();
    const float* p = power_.data();
    bool finite = true;
    for (int j = 0; j < n; ++j) finite &= std::isfinite(p[j]);
    if (!finite) {
        ++skipped_;
        return;
    }
    rows_.insert(rows_.end(), power_.begin(), power_.end());
    const float frames = float(noiseFrames_);
    float* mean = mean_.data();
    for (int j = 0; j < n; ++j) mean[j] = mean[j] + p[j] / frames;
    if (++taken_ == noiseFrames_) phase_ = Phase::Ending;
}

bool Detector::endLearning() {
    const int n = band_.size();
    const float frames = float(noiseFrames_);
    const float* mean = mean_.data();
    float* dev = deviation_.data();
    for (int i = 0; i < taken_; ++i) {
        const float* row = rows_.data() + size_t(i) * size_t(n);
        for (int j = 0; j < n; ++j) dev[j] = dev[j] + std::fabs(row[j] - mean[j]) / frames;
    }
    // This frame is not examined: its score is 0.
    score_ = 0.0f;
    const bool speech = score_ > threshold_;

    if (std::any_of(mean_.begin(), mean_.end(), [](float m) { return m == 0.0f; })) {
        ++restarts_;
        resetLearning();
    } else {
        phase_ = Phase::Detecting;
        std::vector<float>().swap(rows_);
    }
    return speech;
}

bool Detector::detect() {
    const int n = band_.size();
    const float bins = float(n);
    const float* p = power_.data();
    const float* dev = deviation_.data();
    float score = 0.0f;
    bool silent = n > 0;
    for (int j = 0; j < n; ++j) {
        const float g = p[j] / dev[j];
        score = score + (g - std::log(g) - 1.0f) / bins;
        silent &= p[j] == 0.0f;
    }
    score_ = score;
    // A band of digital silence scores +inf (-ln 0) but holds no speech.
    return score > threshold_ && !silent;
}

void Detector::followNoise() {
    tracker_.observe(power_.data());
    tracker_.follow(mean_.data(), power_.data());
    const int n = band_.size();
    for (int j = 0; j < n; ++j) spread_[size_t(j)] = std::fabs(power_[size_t(j)] - mean_[size_t(j)]);
    tracker_.follow(deviation_.data(), spread_.data());
}

void Detector::resetLearning() {
    std::fill(mean_.begin(), mean_.end(), 0.0f);
    std::fill(deviation_.begin(), deviation_.end(), 0.0f);
    rows_.clear();
    taken_ = 0;
    phase_ = Phase::Learning;
}

}  // namespace vad
