// Node: directions of arrival of several simultaneous sources from a two-channel
// spectrum (noise-weighted GCC-PHAT on 181 azimuths, see gcc_phat.h).
//
// Input "AUDIO_SPECTRUM": FD::Matrix<std::complex<float>>, row 0 the first and row 1 the
// second microphone, one column per bin from 0 Hz to half the sampling rate.
// Output "ESTIMATED_DOA": FD::Vector<FD::ObjectRef> of FD::Source, one per detected
// direction in increasing azimuth, ids 0, 1, 2, ...; empty during the noise period.
#pragma once

#include <string>
#include <vector>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "localization/gcc_phat.h"

class BinauralMultisourceLocalization : public FD::BufferedNode {
public:
    BinauralMultisourceLocalization(std::string nodeName, const FD::ParameterSet& params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();

    void calculate(int outputID, int count, FD::Buffer& out) override;

private:
    // Checks the shape of a frame's spectrum; on frame 0 also fixes the band.
    void checkSpectrum(int count, const FD::Matrix<std::complex<float>>& spectrum);

    const FD::NodeErrors errors_;
    int inputID_;
    int outputID_;

    float micsDistance_;  // cm
    float threshold_;     // smallest score reported
    std::string headModelText_;
    localization::HeadModel headModel_;
    int advance_;          // samples per frame
    int samplingRate_;     // Hz
    float frequencyHigh_;  // Hz, exclusive band edge
    float frequencyLow_;   // Hz, inclusive band edge
    float noiseDuration_;  // s
    int noiseFrames_;      // Nn: frames 1 .. Nn-1 are averaged into the noise level

    int bins_ = 0;                         // columns of the spectrum, fixed by frame 0
    localization::Band band_;              // analysed bins, fixed by frame 0
    std::vector<float> noiseMean_;         // per bin 0 .. bins-2: sum, then mean of |G| over the noise period
    localization::SteeringTables tables_;  // built on the first analysed frame
};
