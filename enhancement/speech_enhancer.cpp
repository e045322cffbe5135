#include "enhancement/speech_enhancer.h"

#include <stdexcept>
#include <string>

#include "enhancement/harmonic_regeneration.h"
#include "enhancement/phase.h"

namespace enhancement {

SpeechEnhancer::SpeechEnhancer(NoiseReductionMethod method, bool harmonicRegeneration, int noiseFrames,
                               NoiseUpdate noiseUpdate, double frameSeconds)
    : method_(method),
      regeneration_(harmonicRegeneration),
      noiseFrames_(noiseFrames < 1 ? 1 : noiseFrames),
      noiseUpdate_(noiseUpdate),
      frameSeconds_(frameSeconds) {}

bool SpeechEnhancer::regenerationFits(int columns) { return rfft<float>::validSize(columns - 1); }

void SpeechEnhancer::start(int rows, int columns) {
    if (rows < 0 || columns < 0) throw std::invalid_argument("negative frame shape");
    if (regeneration_ && !regenerationFits(columns))
        throw std::invalid_argument("harmonic regeneration needs 2^k+1 columns (k >= 1), got " +
                                    std::to_string(columns));
    rows_ = rows;
    columns_ = columns;
    bins_ = columns > 0 ? columns - 1 : 0;
    const size_t m = size_t(bins_);
    noisePower_.assign(size_t(rows) * m, 0.0f);
    prevPower_.assign(m, 0.0f);
    regenGain_.assign(m, 0.0f);
    regenAmplitude_.assign(m, 0.0f);
    re_.assign(m, 0.0f);
    im_.assign(m, 0.0f);
    power_.assign(m, 0.0f);
    phase_.assign(m, 0.0f);
    gainScratch_.resize(bins_);
    magnitude_.assign(m, 0.0f);
    cosPhase_.assign(m, 0.0f);
    sinPhase_.assign(m, 0.0f);
    if (regeneration_) fft_.setup(bins_, bins_ + 1);
    trackers_.clear();
    if (noiseUpdate_ == NoiseUpdate::Continuous) {
        trackers_.assign(size_t(rows), NoiseTracker(frameSeconds_));
        for (NoiseTracker& t : trackers_) t.start(bins_);
    }
}

void SpeechEnhancer::processFrame(int count, const std::complex<float>* x, std::complex<float>* y) {
    const size_t cols = size_t(columns_);
    for (int r = 0; r < rows_; ++r) {
        const std::complex<float>* xr = x + size_t(r) * cols;
        std::complex<float>* yr = y + size_t(r) * cols;
        for (size_t k = 0; k < cols; ++k) yr[k] = std::complex<float>(0.0f, 0.0f);
        if (count < noiseFrames_) {
            learnRow(r, xr);
            if (!trackers_.empty()) {
                rowPower(xr);
                trackers_[size_t(r)].observe(power_.data());
            }
        } else {
            enhanceRow(r, xr, yr);
        }
    }
}

void SpeechEnhancer::learnRow(int row, const std::complex<float>* x) {
    float* noise = noisePower_.data() + size_t(row) * size_t(bins_);
    const float frames = float(noiseFrames_);
    for (int k = 0; k < bins_; ++k) {
        const float re = x[k].real(), im = x[k].imag();
        const float p = re * re + im * im;
        if (usablePower(p)) noise[k] += p / frames;
    }
}

void SpeechEnhancer::rowPower(const std::complex<float>* x) {
    float* re = re_.data();
    float* im = im_.data();
    float* power = power_.data();
    const float* xv = reinterpret_cast<const float*>(x);
    for (int k = 0; k < bins_; ++k) {
        re[k] = xv[2 * k];
        im[k] = xv[2 * k + 1];
        power[k] = re[k] * re[k] + im[k] * im[k];
    }
}

void SpeechEnhancer::enhanceRow(int row, const std::complex<float>* x, std::complex<float>* y) {
    const int m = bins_;
    float* noise = noisePower_.data() + size_t(row) * size_t(m);
    float* re = re_.data();
    float* im = im_.data();
    float* power = power_.data();
    float* magnitude = magnitude_.data();
    rowPower(x);
    NoiseTracker* tracker = trackers_.empty() ? nullptr : &trackers_[size_t(row)];
    if (tracker) tracker->observe(power);
    for (int k = 0; k < m; ++k) magnitude[k] = usablePower(power[k]) ? std::sqrt(power[k]) : 0.0f;

    // Noisy phase: cos and sin of atan2(im, re); zero for unusable bins, which come out zero.
    float* phase = phase_.data();
    float* cosPhase = cosPhase_.data();
    float* sinPhase = sinPhase_.data();
    phaseOf(re, im, m, phase);
    for (int k = 0; k < m; ++k) phase[k] = usablePower(power[k]) ? phase[k] : 0.0f;
    cosSinOf(phase, m, cosPhase, sinPhase);
    for (int k = 0; k < m; ++k) {
        const bool usable = usablePower(power[k]);
        cosPhase[k] = usable ? cosPhase[k] : 0.0f;
        sinPhase[k] = usable ? sinPhase[k] : 0.0f;
    }

    applyGainRuleRow(method_, m, power, noise, prevPower_.data(), regenGain_.data(), regenAmplitude_.data(),
                     gainScratch_);
    polarToBins(m, regenAmplitude_.data(), cosPhase_.data(), sinPhase_.data(), y);

    if (regeneration_) {
        const RegenerationRow regen{m,
                                    power,
                                    magnitude,
                                    cosPhase_.data(),
                                    sinPhase_.data(),
                                    regenGain_.data(),
                                    regenAmplitude_.data(),
                                    noise};
        regenerateHarmonics(fft_, regen, y);
    }
    if (tracker) tracker->follow(noise, power);
}

}  // namespace enhancement
