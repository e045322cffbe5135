// Audio file sink: writes a signal stream to a 16-bit PCM WAV file holding
// exactly the samples of the audio source upstream, in place.
//
// Input frames follow the framing of the source (Stft.h): frame k brings samples
// k*ADVANCE ... k*ADVANCE + ADVANCE - 1 in its last ADVANCE columns, so a signal
// that went through the spectrum and back is written with no shift. Samples are
// rounded to the nearest integer and clipped to the 16-bit range (the count of
// clipped samples is reported). Without an audio source upstream, every frame's
// ADVANCE new samples are written. Optional CHANNELS: rows to write, "0,1"
// (default: all rows, one file channel per row).
//
// A regular file is written under a temporary name and takes its final name at
// the end of the run (endOfStream); an error leaves nothing under FILE. "-", a
// device, a FIFO or a socket gets a WAV stream: a header with open-ended sizes
// (0xffffffff, as a capture program writes into a pipe), then each frame's
// samples as the frame is done.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "flow/Stream.h"
#include "flow/nodes/OutputTarget.h"

namespace FD {

class AudioFileSink : public BufferedNode, public StreamEnd {
public:
    AudioFileSink(const std::string& nodeName, const ParameterSet& params);
    ~AudioFileSink() override;

    void initialize() override;
    void calculate(int outputID, int count, Buffer& out) override;
    void endOfStream(int frames) override;

private:
    // Starts the WAV file; `count` is the frame being computed, -1 at the end of the stream.
    void open(int channels, int count);
    // Writes the `samples` samples per channel in pcm_ (frame `count`).
    void write(long long samples, int count);

    const NodeErrors errors_;
    int audioID_, outputID_;
    std::string file_;
    AudioSinkFrames frames_;  // SAMPLING_RATE (the file's), LENGTH, ADVANCE, CHANNELS
    std::unique_ptr<nodes::OutputTarget> out_;
    SNDFILE* sf_ = nullptr;    // a regular file, open from the first frame on
    bool streamOpen_ = false;  // a WAV stream whose header is written
    int emptyChannels_ = 1;    // channels of the file when the stream has no frame
    const SampleStream* stream_ = nullptr;  // the audio source upstream, if any
    long long written_ = 0;    // samples per channel written
    long long clipped_ = 0;    // samples that did not fit 16 bits
    std::vector<short> pcm_;   // one frame's samples, interleaved
};

}  // namespace FD
