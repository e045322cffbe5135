// Speech / no-speech decision per frame of a two-channel spectrum, against noise
// statistics learned at the start of the stream (see vad_detector.h for the method).
//
// Input  AUDIO_SPECTRUM  Matrix<complex<float>>: rows 0 and 1 the two channels, one
//                        column per bin from 0 Hz to half the sampling rate.
// Output VAD_DECISION    Vector<ObjectRef>: empty for no speech, one Source (direction
//                        (1, 0, 0), power 1, id 777) for speech.
// Parameters ADVANCE (int, samples), SAMPLING_RATE (int, Hz), VAD_NOISE_DURATION
// (float, seconds of background at the start), VAD_THRESHOLD (float, on the score), and
// optionally NOISE_UPDATE (string: "NONE", the default, keeps the statistics learned at the
// start; "CONTINUOUS" goes on learning them where speech is unlikely).
#pragma once

#include <string>

#include "flow/Node.h"
#include "vad/vad_detector.h"

class VoiceActivityDetection : public FD::BufferedNode {
public:
    VoiceActivityDetection(std::string nodeName, const FD::ParameterSet& params);

    void calculate(int outputID, int count, FD::Buffer& out) override;

    int noiseFrames() const { return noiseFrames_; }

private:
    [[noreturn]] void fail(const std::string& what) const;
    [[noreturn]] void failAtFrame(int count, const std::string& what) const;

    int spectrumID_;       // input AUDIO_SPECTRUM
    int decisionID_;       // output VAD_DECISION
    int advance_;          // frame shift, samples
    int samplingRate_;     // Hz
    float noiseDuration_;  // learning period, seconds
    float threshold_;      // decision threshold on the frame score
    std::string noiseUpdateName_ = "NONE";  // "NONE" or "CONTINUOUS"
    int noiseFrames_;      // learning period, frames (at least 1)
    int columns_ = 0;      // bins per channel, fixed by frame 0
    vad::Detector detector_;
};
