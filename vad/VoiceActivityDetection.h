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

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "vad/vad_detector.h"

class VoiceActivityDetection : public FD::BufferedNode {
public:
    VoiceActivityDetection(std::string nodeName, const FD::ParameterSet& params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();

    void calculate(int outputID, int count, FD::Buffer& out) override;

private:
    const FD::NodeErrors errors_;
    int spectrumID_;       // input AUDIO_SPECTRUM
    int decisionID_;       // output VAD_DECISION
    int advance_;          // frame shift, samples
    int samplingRate_;     // Hz
    float noiseDuration_;  // learning period, seconds
    float threshold_;      // decision threshold on the frame score
    int noiseFrames_;      // learning period, frames (at least 1)
    int columns_ = 0;      // bins per channel, fixed by frame 0
    vad::Detector detector_;
};
