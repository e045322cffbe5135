// Audio file source: the frames of a recording, LENGTH samples each, ADVANCE
// samples apart, one row per channel, on the 16-bit integer scale.
//
// Frame k holds samples k*ADVANCE - (LENGTH - ADVANCE) ... k*ADVANCE + ADVANCE - 1
// (see Stft.h): its last ADVANCE columns are new, and frame 0 starts with silence
// before the first sample. The stream ends after the last frame that holds a
// sample of the file; frames asked for beyond it (look-ahead) are silent. A file
// at another rate than SAMPLING_RATE is resampled, with a note on stderr.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "flow/Stream.h"
#include "flow/nodes/AudioIO.h"

namespace FD {

class AudioFileSource : public BufferedNode, public SampleStream {
public:
    AudioFileSource(const std::string& nodeName, const ParameterSet& params);

    void calculate(int outputID, int count, Buffer& out) override;
    int streamLength() const override { return frames_; }

    long long sampleCount() const override { return reader_->sampleCount(); }
    int sampleRate() const override { return samplingRate_; }
    int frameAdvance() const override { return advance_; }
    int channelCount() const override { return reader_->channels(); }

private:
    const NodeErrors errors_;
    int audioID_;
    std::string file_;
    int length_;        // samples per frame
    int advance_;       // samples between frames
    int samplingRate_;  // samples per second of the stream
    std::unique_ptr<nodes::AudioReader> reader_;
    int frames_;                  // frames in the stream
    std::vector<float> history_;  // the last frame, channel by channel: the next one starts with its tail
    std::vector<float> chunk_;    // ADVANCE new samples, interleaved
};

}  // namespace FD
