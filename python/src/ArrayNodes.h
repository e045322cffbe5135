// Host nodes that connect a network to the caller's memory instead of files.
//
// ArraySource stands where an AudioFileSource reads its file: the caller appends
// samples (one row per channel, on the 16-bit scale) and the node frames them
// exactly as AudioFileSource frames a file (Stft.h): frame k holds samples
// k*ADVANCE - (LENGTH - ADVANCE) ... k*ADVANCE + ADVANCE - 1, frame 0 starts with
// silence, and once the stream is closed the frames past its end are silent.
//
// The collectors stand where the writers write their files and keep in memory
// what the writer would have written, unrounded:
//   AudioCollector       for AudioFileSink:    the samples of each frame, CHANNELS rows
//   SourceListCollector  for SourceListWriter: one row per source and frame
//   SegmentCollector     for SegmentWriter:    speech segments (start, end) in seconds
//   MatrixCollector      for MatrixWriter:     the frames themselves
// Each takes the parameters of the writer it replaces, passes its input on, and
// hands out what it gathered since it was last asked (take...()).
#pragma once

#include <complex>
#include <string>
#include <vector>

#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "flow/Stream.h"

namespace zelkbp {

// What the caller knows about the stream before the network is built: a whole
// recording run at once has a known length, so writers that ask at initialize()
// (AudioFileSink, SegmentWriter) see the same stream as with a file.
struct FeedPlan {
    long long samples = -1;  // samples per channel, -1 while unknown
    int channels = 0;        // 0 while unknown
};
// The plan the ArraySource nodes built on this thread adopt.
FeedPlan& pendingFeedPlan();

class ArraySource : public FD::BufferedNode, public FD::SampleStream {
public:
    ArraySource(const std::string& nodeName, const FD::ParameterSet& params);

    void calculate(int outputID, int count, FD::Buffer& out) override;
    // Frames in the stream: -1 while samples may still come.
    int streamLength() const override;

    long long sampleCount() const override;  // appended so far, or the planned length
    int sampleRate() const override { return samplingRate_; }
    int frameAdvance() const override { return advance_; }
    int channelCount() const override { return channels_; }
    int inputChannels() const { return inputChannels_; }  // rows of the caller's arrays, 0 before any

    // The caller's side. `samples` per channel, row r at data + r * stride.
    void append(const float* data, int channels, long long samples, long long stride);
    void close() { closed_ = true; }
    bool closed() const { return closed_; }
    // Frames whose samples are all in (all frames of the stream once closed).
    long long framesAvailable() const;
    // Frames beyond a sink's frame that the network reads from this source.
    int lookAhead() const { return outputs[audioID_].requestedAhead + outputs[audioID_].writeAhead; }

private:
    void useChannels(int inputChannels);

    FD::NodeErrors errors_;
    int audioID_;
    int length_;              // samples per frame
    int advance_;             // samples between frames
    int samplingRate_;        // samples per second
    std::vector<int> rows_;   // the caller's rows used, in order (CHANNELS; all by default)
    int inputChannels_ = 0;   // rows of the caller's arrays
    int channels_ = 0;        // rows framed: fixed by the plan or the first append
    long long planned_ = -1;  // samples per channel announced before the run, -1 if none
    long long appended_ = 0;  // samples per channel appended so far
    bool closed_ = false;
    std::vector<std::vector<float>> pending_;  // per channel, samples not yet framed
    size_t consumed_ = 0;                      // samples of pending_ already framed
    std::vector<float> history_;  // the last frame, channel by channel: the next one starts with its tail
};

// Common part of the collectors: the key the caller knows the output by (the
// network argument that named the file) and the sample stream upstream.
class Collector : public FD::BufferedNode, public FD::StreamEnd {
public:
    Collector(const std::string& type, const std::string& nodeName, const FD::ParameterSet& params);
    const std::string& key() const { return key_; }
    void initialize() override;
    void endOfStream(int) override {}

protected:
    FD::NodeErrors errors_;
    std::string key_;
    int advance_ = 0, samplingRate_ = 0;  // when the writer takes them
    const FD::SampleStream* stream_ = nullptr;
};

class AudioCollector : public Collector {
public:
    AudioCollector(const std::string& nodeName, const FD::ParameterSet& params);
    void initialize() override;
    void calculate(int outputID, int count, FD::Buffer& out) override;

    int channels() const;
    // Samples gathered since the last call, channel after channel (channels() rows).
    std::vector<float> take(long long& samples);

private:
    FD::AudioSinkFrames frames_;            // SAMPLING_RATE, LENGTH, ADVANCE, CHANNELS
    int audioID_, outputID_;
    long long written_ = 0;                 // samples per channel gathered
    std::vector<std::vector<float>> data_;  // per channel, not yet taken
};

struct SourceRow {
    int frame;
    double time;  // seconds
    int id;
    double azimuth;  // degrees
    float power;
};

class SourceListCollector : public Collector {
public:
    SourceListCollector(const std::string& nodeName, const FD::ParameterSet& params);
    void calculate(int outputID, int count, FD::Buffer& out) override;
    std::vector<SourceRow> take();

private:
    int sourcesID_, outputID_;
    std::vector<SourceRow> rows_;
};

class SegmentCollector : public Collector {
public:
    SegmentCollector(const std::string& nodeName, const FD::ParameterSet& params);
    void calculate(int outputID, int count, FD::Buffer& out) override;
    void endOfStream(int frames) override;
    // (start, end) pairs, seconds.
    std::vector<double> take();

private:
    void closeSegment(int endFrame);
    int decisionID_, outputID_;
    int start_ = -1;  // first frame of the open speech segment, -1 when none
    std::vector<double> segments_;
};

class MatrixCollector : public Collector {
public:
    MatrixCollector(const std::string& nodeName, const FD::ParameterSet& params);
    void calculate(int outputID, int count, FD::Buffer& out) override;

    bool complex() const { return complex_; }
    int rows() const { return rows_; }
    int cols() const { return cols_; }
    // Frames gathered since the last call, row-major.
    std::vector<float> takeReal(long long& frames);
    std::vector<std::complex<float>> takeComplex(long long& frames);

private:
    int inputID_, outputID_;
    bool complex_ = false;
    int rows_ = -1, cols_ = -1;  // shape of every frame, from the first frame
    long long frames_ = 0;
    std::vector<float> real_;
    std::vector<std::complex<float>> complexData_;
};

// Registers the node types above with the host and describes them for the loader.
void registerArrayNodes();
// True for the types registerArrayNodes() adds.
bool isArrayNodeType(const std::string& type);

}  // namespace zelkbp
