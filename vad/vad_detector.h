// Voice activity detection against learned noise statistics in the telephone band.
//
// The detector looks at two-channel short-time spectra (bins from 0 Hz to half the
// sampling rate) and only at the band 300 Hz to 3400 Hz. The band power of bin k is
// the mean of the two channels' powers, P[k] = 0.5 |X1[k]|^2 + 0.5 |X0[k]|^2.
//
// Learning: the first N frames are taken as background. Their band powers are kept,
// their mean is accumulated (P / N per frame), and the frame after them turns the kept
// rows into the mean absolute deviation per bin. That frame is not examined: its score
// is 0.
//
// Detection: every later frame is scored with
//     L = sum over the band of (g - ln g - 1) / K,   g = P[k] / deviation[k],
// K being the number of band bins, each term divided by K as it is added, all in single
// precision. The frame is speech when L > threshold (strictly); a score that is not a
// number is no speech. The learned statistics never change after learning, unless they are
// kept learning (below).
//
// A frame whose whole band is digital silence (every band power exactly 0) is no speech,
// although its score is +inf: a single silent bin still makes the score +inf and the
// frame speech.
//
// Two guards keep a broken stream start from leaving the detector deaf for good:
//   - a learning frame whose band holds a value that is not finite (NaN or infinite
//     input, or a power beyond single precision) is not taken into the statistics; the
//     learning period waits for the next usable frame instead;
//   - a learning period after which some band bin has heard nothing but digital silence
//     (its mean is exactly 0, so its deviation is 0 and every later score would be NaN)
//     is discarded, and learning starts over with the next frame.
// Both only change frames that would otherwise have scored NaN.
//
// With NoiseUpdate::Continuous the mean and the deviation go on following the background
// after learning: every detection frame is scored against the statistics known before it,
// then taken into them with the weights of a NoiseTracker that watches the band power
// from frame 0 (mean += w (P - mean), then deviation += w (|P - mean| - deviation)), so a
// lasting change of the background is absorbed within a few seconds and speech is not.
#pragma once

#include <complex>
#include <string>
#include <vector>

#include "enhancement/noise_tracker.h"

namespace vad {

// Limits of the telephone band, in hertz.
constexpr int kBandLowHz = 300;
constexpr int kBandHighHz = 3400;

// Band of a spectrum of `columns` bins at `samplingRate` Hz, in whole-hertz bins.
struct Band {
    int binSpacing = 0;  // Hz per bin: (samplingRate / 2) / (columns - 1), integer division
    int low = 0;         // first bin of the band: 300 / binSpacing
    int high = 0;        // first bin after the band: 3400 / binSpacing
    int size() const { return high - low; }
};

// Needs columns >= 2 and a bin spacing of at least 1 Hz (see spectrumShapeProblem).
Band bandOf(int samplingRate, int columns);

// Why a spectrum of `rows` x `columns` at `samplingRate` Hz cannot be scored, or an
// empty string when it can: it needs two rows, two columns, a bin spacing of at least
// 1 Hz and the whole band below the last bin.
std::string spectrumShapeProblem(int rows, int columns, int samplingRate);

class Detector {
public:
    enum class Phase { Unstarted, Learning, Ending, Detecting };

    // frameSeconds (frame shift over sampling rate) sets the tracker's time constants.
    Detector(int noiseFrames, float threshold,
             enhancement::NoiseUpdate noiseUpdate = enhancement::NoiseUpdate::None, double frameSeconds = 0.01);

    // Creates the state for a stream whose spectra all have this band (frame 0).
    void start(const Band& band);
    bool started() const { return phase_ != Phase::Unstarted; }

    // One frame, in stream order: the two channels' bins (indexed from 0 Hz; only the
    // band is read). Returns true for speech. Needs start() first.
    bool process(const std::complex<float>* channel0, const std::complex<float>* channel1);

    Phase phase() const { return phase_; }
    const Band& band() const { return band_; }
    float lastScore() const { return score_; }
    // Learned statistics of absolute bin k (within the band).
    float noiseMean(int k) const { return mean_[size_t(k - band_.low)]; }
    float noiseDeviation(int k) const { return deviation_[size_t(k - band_.low)]; }
    // Frames left out of the learning for a non-finite band value, and learning
    // periods discarded for digital silence, since the start of the stream.
    long skippedFrames() const { return skipped_; }
    long restarts() const { return restarts_; }

private:
    void bandPower(const std::complex<float>* channel0, const std::complex<float>* channel1);
    void learn();
    bool endLearning();
    bool detect();
    void resetLearning();
    void followNoise();

    int noiseFrames_;  // N: usable frames per learning period
    float threshold_;  // decision threshold on the score
    Band band_;
    Phase phase_ = Phase::Unstarted;
    int taken_ = 0;                 // frames taken into the current learning period
    std::vector<float> power_;      // band power of the current frame, K entries
    std::vector<float> mean_;       // mean band power over the learning period, K entries
    std::vector<float> deviation_;  // mean absolute deviation of the band power, K entries
    std::vector<float> rows_;       // band powers of the learning frames, taken_ rows of K
    float score_ = 0.0f;            // score of the last frame (0 while learning)
    long skipped_ = 0;
    long restarts_ = 0;
    bool continuous_;
    enhancement::NoiseTracker tracker_;  // with NoiseUpdate::Continuous
    std::vector<float> spread_;          // |P - mean| of the current frame, K entries
};

}  // namespace vad
