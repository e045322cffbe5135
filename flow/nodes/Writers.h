// Writers of results for other tools. Each passes its input on unchanged on
// OUTPUT, writes under a temporary name and gives the file its final name at the
// end of a successful run (endOfStream). Frame k is at time k * ADVANCE /
// SAMPLING_RATE seconds: the start of the samples it brings.
//
// SourceListWriter: JSON Lines, one line per frame,
//   {"frame":12,"time":0.12,"sources":[{"id":0,"azimuth":-30.0,"power":0.41}]}
// with the azimuth in degrees as atan2(x[1], x[0]) of each Source record.
//
// SegmentWriter: from a voice-activity decision stream (an empty list is no
// speech), a label file of speech segments, one line each:
//   start<TAB>end<TAB>speech   (seconds, 6 decimals)
// a segment running from the first speech frame to the end of the last one,
// cut at the end of the recording when an audio file source is upstream (the
// last frames of a stream reach past it).
//
// MatrixWriter: the frames of a stream of Matrix<float> or
// Matrix<complex<float>> of one shape, as a NumPy .npy array of shape
// (frames, rows, columns), little-endian float32 or complex64.
#pragma once

#include <memory>
#include <string>

#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "flow/Stream.h"
#include "flow/nodes/AudioIO.h"

namespace FD {

class SourceListWriter : public BufferedNode, public StreamEnd {
public:
    SourceListWriter(const std::string& nodeName, const ParameterSet& params);
    void calculate(int outputID, int count, Buffer& out) override;
    void endOfStream(int frames) override;

private:
    const NodeErrors errors_;
    int sourcesID_, outputID_;
    std::string file_;
    int advance_;       // samples between frames
    int samplingRate_;  // samples per second
    std::unique_ptr<nodes::AtomicFile> out_;
};

class SegmentWriter : public BufferedNode, public StreamEnd {
public:
    SegmentWriter(const std::string& nodeName, const ParameterSet& params);
    void initialize() override;
    void calculate(int outputID, int count, Buffer& out) override;
    void endOfStream(int frames) override;

private:
    // Writes the open segment up to `endFrame`; `count` is the frame being
    // computed, -1 at the end of the stream.
    void closeSegment(int endFrame, int count);

    const NodeErrors errors_;
    int decisionID_, outputID_;
    std::string file_;
    int advance_;       // samples between frames
    int samplingRate_;  // samples per second
    int start_ = -1;    // first frame of the open speech segment, -1 when none
    double end_ = -1;   // seconds of audio upstream, -1 when unknown
    std::unique_ptr<nodes::AtomicFile> out_;
};

class MatrixWriter : public BufferedNode, public StreamEnd {
public:
    MatrixWriter(const std::string& nodeName, const ParameterSet& params);
    void calculate(int outputID, int count, Buffer& out) override;
    void endOfStream(int frames) override;

private:
    void writeHeader(long long frames, int count);  // count: as in closeSegment

    const NodeErrors errors_;
    int inputID_, outputID_;
    std::string file_;
    std::string descr_;        // NumPy type of the elements, from the first frame
    int rows_ = 0, cols_ = 0;  // shape of every frame, from the first frame
    long long frames_ = 0;     // frames written
    std::unique_ptr<nodes::AtomicFile> out_;
};

namespace nodes {
// The .npy header (format 1.0) of a C-ordered array, padded so that the data
// start at a multiple of 64 bytes; `descr` is e.g. "<f4" or "<c8".
std::string npyHeader(const std::string& descr, const std::vector<long long>& shape, size_t minLength = 0);
}  // namespace nodes

}  // namespace FD
