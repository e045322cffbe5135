// Audio source: the frames of a recording, a stream or a live capture, LENGTH
// samples each, ADVANCE samples apart, one row per channel, on the 16-bit scale.
//
// FILE is a file path, "-" (standard input), a FIFO or "alsa:DEVICE" (see
// AudioInput.h). Frame k holds samples k*ADVANCE - (LENGTH - ADVANCE) ...
// k*ADVANCE + ADVANCE - 1 (see Stft.h): its last ADVANCE columns are new, and frame
// 0 starts with silence before the first sample. The source reads one hop per
// frame, so a frame is there as soon as its last sample is. The stream ends after
// the last frame that holds a sample; frames asked for beyond it (look-ahead) are
// silent. A file knows its length up front; a stream or a capture ends when its
// producer does or when the runner ends it (endAfter). An input at another rate than
// SAMPLING_RATE is resampled, with a note on stderr. Optional CHANNELS: the input
// channels to use, in that order, e.g. "2,3" (default: all; two for a capture).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "flow/Stream.h"
#include "flow/nodes/AudioInput.h"

namespace FD {

class AudioFileSource : public BufferedNode, public SampleStream {
public:
    AudioFileSource(const std::string& nodeName, const ParameterSet& params);

    // A stream on standard input or a FIFO is opened here, once every output is
    // open: its header comes only when the producer starts.
    void initialize() override;
    void calculate(int outputID, int count, Buffer& out) override;
    int streamLength() const override { return total_ >= 0 ? frames_ : -1; }

    long long sampleCount() const override { return total_ >= 0 ? total_ : received_; }
    int sampleRate() const override { return samplingRate_; }
    int frameAdvance() const override { return advance_; }
    int channelCount() const override { return int(rows_.size()); }
    bool ended() const override { return total_ >= 0; }
    void endAfter(long long samples) override;
    long long overruns() const override { return input_ ? input_->overruns() : 0; }
    double secondsWaiting() const override { return waiting_; }

private:
    void open();
    void setTotal(long long samples);  // the stream's length is known: its frame count follows

    const NodeErrors errors_;
    int audioID_;
    std::string file_;
    int length_;        // samples per frame
    int advance_;       // samples between frames
    int samplingRate_;  // samples per second of the stream
    std::unique_ptr<nodes::AudioInput> input_;
    bool live_ = true;            // the length is not known up front
    std::vector<int> rows_;       // input channel of each row of the frames (empty: all)
    long long total_ = -1;        // samples per channel in the stream, -1 until known
    long long received_ = 0;      // samples per channel read so far
    long long limit_ = -1;        // samples per channel a live stream is cut at, -1: none
    int frames_ = -1;             // frames in the stream, once its length is known
    double waiting_ = 0;          // seconds spent blocked on a live input
    std::vector<float> history_;  // the last frame, row by row: the next one starts with its tail
    std::vector<float> chunk_;    // ADVANCE new samples, interleaved as the input gives them
};

}  // namespace FD
