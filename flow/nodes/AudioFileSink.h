// Audio file sink: writes a signal stream to a 16-bit PCM WAV file holding
// exactly the samples of the audio file source upstream, in place.
//
// Input frames follow the framing of the source (Stft.h): frame k brings samples
// k*ADVANCE ... k*ADVANCE + ADVANCE - 1 in its last ADVANCE columns, so a signal
// that went through the spectrum and back is written with no shift. Samples are
// rounded to the nearest integer and clipped to the 16-bit range (the count of
// clipped samples is reported). Without an audio source upstream, every frame's
// ADVANCE new samples are written. Optional CHANNELS: rows to write, "0,1"
// (default: all rows, one file channel per row).
//
// The file is written under a temporary name and takes its final name at the end
// of a successful run (endOfStream); an error or interruption leaves nothing
// under FILE.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "flow/Stream.h"
#include "flow/nodes/AudioIO.h"

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

    const NodeErrors errors_;
    int audioID_, outputID_;
    std::string file_;
    int samplingRate_;           // written in the file's header
    int length_;                 // samples per input frame
    int advance_;                // new samples per input frame
    std::vector<int> channels_;  // rows to write, empty for all
    std::unique_ptr<nodes::AtomicFile> out_;
    SNDFILE* sf_ = nullptr;    // open from the first frame on
    int rows_ = -1;            // rows of the input frames, from the first frame
    int emptyChannels_ = 1;    // channels of the file when the stream has no frame
    long long expected_ = -1;  // samples per channel to write; -1: all that come
    long long written_ = 0;    // samples per channel written
    long long clipped_ = 0;    // samples that did not fit 16 bits
    std::vector<short> pcm_;   // one frame's samples, interleaved
};

}  // namespace FD
