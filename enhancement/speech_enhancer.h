// Per-channel stationary-noise reduction of a stream of complex spectra.
//
// Frames are R rows (channels) by B columns (bins 0 Hz .. Nyquist); the enhancer works on
// bins 0 .. M-1 (M = B - 1) and leaves bin M of the output zero. For the first N frames it
// learns the mean noise power of every row and bin (the output stays zero); from frame N on
// it applies the selected gain rule to every bin, keeps the noisy phase, and optionally
// regenerates harmonics row by row. The enhanced power of each bin (prevPower) is one array
// shared by all rows: rows are processed in order, so row r reads what row r - 1 left in the
// same frame, and row 0 what the last row left in the previous frame.
//
// Unusable input is kept out of the state: a bin whose power is not a finite number adds
// nothing to the learned noise and comes out zero.
//
// With NoiseUpdate::Continuous the learned noise power of every row goes on following the
// background after the learning frames, where speech is unlikely (NoiseTracker, one per row,
// watching from frame 0). Each frame is enhanced with the noise known before it, then the
// noise takes the frame in.
#pragma once

#include <complex>
#include <vector>

#include "enhancement/gain_rules.h"
#include "enhancement/noise_tracker.h"
#include "enhancement/rfft.h"

namespace enhancement {

class SpeechEnhancer {
public:
    // frameSeconds (frame shift over sampling rate) sets the tracker's time constants.
    SpeechEnhancer(NoiseReductionMethod method, bool harmonicRegeneration, int noiseFrames,
                   NoiseUpdate noiseUpdate = NoiseUpdate::None, double frameSeconds = 0.01);

    // True when a spectrum of `columns` bins can be harmonically regenerated: columns - 1 a
    // power of two, at least 2.
    static bool regenerationFits(int columns);

    // Sizes the state for rows x columns frames, all zero. Throws std::invalid_argument when
    // harmonic regeneration is on and the column count does not fit.
    void start(int rows, int columns);

    // Frame `count` (0, 1, 2, ... in order): x and y are rows x columns, row by row; y is
    // written completely.
    void processFrame(int count, const std::complex<float>* x, std::complex<float>* y);

    int rows() const { return rows_; }
    int columns() const { return columns_; }
    int noiseFrames() const { return noiseFrames_; }
    const float* noisePower(int row) const { return noisePower_.data() + size_t(row) * size_t(bins_); }
    const std::vector<float>& prevPower() const { return prevPower_; }

private:
    void learnRow(int row, const std::complex<float>* x);
    void enhanceRow(int row, const std::complex<float>* x, std::complex<float>* y);
    void rowPower(const std::complex<float>* x);

    NoiseReductionMethod method_;
    bool regeneration_;
    int noiseFrames_;                    // N, frames of noise learning
    NoiseUpdate noiseUpdate_;
    double frameSeconds_;                // frame shift, seconds
    std::vector<NoiseTracker> trackers_;  // one per row with NoiseUpdate::Continuous, else none
    int rows_ = 0, columns_ = 0;         // frame shape
    int bins_ = 0;                       // M = columns - 1, the bins processed
    std::vector<float> noisePower_;      // rows x M, learned mean noise power
    std::vector<float> prevPower_;       // M, enhanced power of the last row processed
    std::vector<float> regenGain_;       // M, gain of the rule, for regeneration
    std::vector<float> regenAmplitude_;  // M, enhanced magnitude of the rule
    std::vector<float> re_, im_;         // M, real and imaginary parts of the current row
    std::vector<float> power_;           // M, noisy power of the current row
    std::vector<float> phase_;           // M, its phase atan2(im, re)
    GainRuleScratch gainScratch_;        // work space of the gain rule
    std::vector<float> magnitude_;       // M, sqrt of it (0 where unusable)
    std::vector<float> cosPhase_;        // M, cos and sin of the noisy phase (0 where unusable)
    std::vector<float> sinPhase_;
    rfft<float> fft_;  // real transform of length 2M, for regeneration
};

}  // namespace enhancement
