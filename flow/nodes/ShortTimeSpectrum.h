// Short-time spectrum: each signal frame (one row per channel, LENGTH samples)
// becomes a spectrum frame of LENGTH/2 + 1 bins per row through the analysis window
// and a single-precision real FFT (Stft.h).
#pragma once

#include <memory>
#include <vector>

#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "flow/nodes/Stft.h"

namespace FD {

class ShortTimeSpectrum : public BufferedNode {
public:
    ShortTimeSpectrum(const std::string& nodeName, const ParameterSet& params);
    void calculate(int outputID, int count, Buffer& out) override;

private:
    const NodeErrors errors_;
    int audioID_, spectrumID_;
    int length_;   // samples per frame
    int advance_;  // samples between frames (checked; the transform does not use it)
    std::unique_ptr<nodes::SpectrumAnalyzer> fft_;
};

// Resynthesis: spectrum frames of the framing above back to signal frames of
// LENGTH samples, by weighted overlap-add. Frame k needs the spectra up to
// k + floor((LENGTH - 1) / ADVANCE), which it reads ahead. An unmodified spectrum
// gives back the analysed frames, every sample from the first one.
class Resynthesis : public BufferedNode {
public:
    Resynthesis(const std::string& nodeName, const ParameterSet& params);
    void calculate(int outputID, int count, Buffer& out) override;

private:
    void addSpectrum(int frame);

    const NodeErrors errors_;
    int spectrumID_, audioID_;
    int length_;                              // samples per frame
    int advance_;                             // samples between frames
    int ahead_;                               // spectrum frames read beyond the current count
    std::unique_ptr<nodes::OverlapAdd> ola_;  // made at frame 0, for its channel count
};

}  // namespace FD
