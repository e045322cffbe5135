// Stationary-noise reduction per channel of a complex spectrum stream (see speech_enhancer.h
// for the method).
//
// Input  NOISY_SPEECH_SPECTRUM    Matrix<complex<float>>: one row per channel, one column per
//                                 bin from 0 Hz to half the sampling rate.
// Output SPEECH_EHANCED_SPECTRUM  Matrix<complex<float>> of the same shape: zero during the
//                                 noise-learning frames, then the enhanced spectrum; the last
//                                 column is always zero.
// Parameters NOISE_REDUCTION_METHOD (string: "SPECTRAL_SUBTRACTION", "WIENER_FILTERING",
// "TWO_STEP_WIENER_FILTERING" or "MINIMUM_MEAN_SQUARE_ERROR"; anything else gives zero bins),
// HARMONIC_REGENERATION (string, "USE" switches it on), NOISE_PERIOD (float, seconds of
// noise at the start), ADVANCE (int, samples), SAMPLING_RATE (int, Hz), and optionally
// NOISE_UPDATE (string: "NONE", the default, keeps the noise learned at the start;
// "CONTINUOUS" goes on learning it where speech is unlikely).
#pragma once

#include <memory>
#include <string>

#include "enhancement/speech_enhancer.h"
#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/NodeSupport.h"

class SpeechEnhancement : public FD::BufferedNode {
public:
    SpeechEnhancement(std::string nodeName, const FD::ParameterSet& params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();

    void calculate(int outputID, int count, FD::Buffer& out) override;

private:
    const FD::NodeErrors errors_;
    int inputID_;                       // input NOISY_SPEECH_SPECTRUM
    int outputID_;                      // output SPEECH_EHANCED_SPECTRUM
    std::string noiseReductionMethod_;  // gain rule name
    std::string harmonicRegeneration_;  // "USE" for regeneration
    float noisePeriod_;                 // learning period, seconds
    int advance_;                       // frame shift, samples
    int samplingRate_;                  // Hz
    int noiseFrames_;                   // learning period, frames (at least 1)
    std::unique_ptr<enhancement::SpeechEnhancer> enhancer_;
    bool started_ = false;  // state sized from frame 0
};
