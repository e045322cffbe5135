// What every node needs around its own work: reading its parameters with their
// ranges, turning durations into frame counts, and saying what went wrong in the
// one form the host reports (node, parameter or port, frame, what was expected
// and what was found).
//
//   const FD::NodeErrors errors("SpeechEnhancement", name);
//   const FD::NodeParameters p(errors, params);
//   method_ = p.text("NOISE_REDUCTION_METHOD");
//   advance_ = p.frameShift();                 // ADVANCE: a positive number of samples
//   ...
//   const auto& x = errors.frameAs<FD::Matrix<std::complex<float>>>(
//       getInput(inputID_, count), count, "NOISY_SPEECH_SPECTRUM", "Matrix<complex<float>>");
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "flow/Exception.h"
#include "flow/Types.h"

namespace FD {

// How messages name a node: `SpeechEnhancement "enhance"`.
std::string nodeLabel(const std::string& type, const std::string& name);

// A float as messages show it: the stream's default format ("0.5", "1e+10", "nan").
std::string formatNumber(float value);

// The errors of one node. Each is a GeneralException placed at the node, the
// parameter or port it is about and, while a frame is computed, that frame; the
// text names the parameter or port itself ("ADVANCE must be ..., got 0").
class NodeErrors {
public:
    NodeErrors(const std::string& type, const std::string& name) : label_(nodeLabel(type, name)) {}
    const std::string& label() const { return label_; }

    // At construction: parameter (or port) `subject` is unusable.
    [[noreturn]] void refuse(const std::string& subject, const std::string& text) const;
    // While computing frame `frame` (-1: outside any frame, as at the end of the
    // stream): port (or parameter) `subject` brought something unusable.
    [[noreturn]] void atFrame(int frame, const std::string& subject, const std::string& text) const;

    // The object of port `port` at frame `frame` as a T; anything else is the
    // error "PORT expects <expected>, got <type found>".
    template <class T>
    T& frameAs(const ObjectRef& object, int frame, const std::string& port, const char* expected) const {
        auto* p = dynamic_cast<T*>(object.get());
        if (!p) atFrame(frame, port, port + " expects " + expected + ", got " + describeType(object.get()));
        return *p;
    }

private:
    std::string label_;
};

// The parameters of one node, read once each with the host's typed casts (an
// object of another type is the cast's CastException, placed at the node and
// parameter) and, where a node needs one, a range; a value out of range is the
// error "NAME must be <range>, got <value>".
class NodeParameters {
public:
    NodeParameters(const NodeErrors& errors, const ParameterSet& params) : errors_(errors), params_(params) {}

    int integer(const std::string& name) const;
    float real(const std::string& name) const;
    std::string text(const std::string& name) const;
    bool flag(const std::string& name) const;
    // An optional parameter: its value when given, `fallback` when absent.
    bool flag(const std::string& name, bool fallback) const { return has(name) ? flag(name) : fallback; }
    bool has(const std::string& name) const { return params_.exist(name); }

    // "a positive number of <unit>".
    int positive(const std::string& name, const std::string& unit) const;
    // low .. high, described as `range` ("1 to LENGTH (512)").
    int inRange(const std::string& name, int low, int high, const std::string& range) const;
    // Any finite float; `what` completes "a finite number" (" of seconds", "").
    float finite(const std::string& name, const std::string& what = "") const;
    float seconds(const std::string& name) const { return finite(name, " of seconds"); }
    // A finite float of at least 0 ("a finite, non-negative number of seconds").
    float nonNegativeSeconds(const std::string& name) const;
    // One of `names`, compared exactly ("\"FREE_SPACE\" or \"SPHERICAL_HEAD\"").
    std::string oneOf(const std::string& name, const std::vector<std::string>& names) const;
    // Numbers from 0 separated by commas ("0,2"), each a `noun` ("channel", "row");
    // empty for an empty (or blank) text, which each node gives its own meaning.
    std::vector<int> indexList(const std::string& name, const std::string& noun) const;

    // ADVANCE and SAMPLING_RATE as every node reads them.
    int frameShift() const { return positive("ADVANCE", "samples"); }
    int samplingRate() const { return positive("SAMPLING_RATE", "samples per second"); }

    const NodeErrors& errors() const { return errors_; }

private:
    template <class T>
    T cast(const std::string& name) const;

    const NodeErrors& errors_;
    const ParameterSet& params_;
};

class Node;
class SampleStream;
class Source;

// Element `i` of a frame's source list on `port`, which must be a Source.
const Source& sourceAt(const Vector<ObjectRef>& list, size_t i, const NodeErrors& errors, int count,
                       const std::string& port);

// Frame k in seconds: the start of the samples it brings, k * ADVANCE / SAMPLING_RATE.
inline double frameSeconds(long long frame, int advance, int rate) { return double(frame) * advance / rate; }

// A speech segment from frame `first` up to frame `end` in seconds, cut at the end of
// the recording once `stream` (if any) has ended; false when it starts past that end
// (speech found in the frames that reach past the recording).
bool segmentSeconds(int first, int end, int advance, int rate, const SampleStream* stream, double& start,
                    double& stop);

// The audio a sink keeps from its AUDIO input (a file writer, a collector): the
// parameters SAMPLING_RATE, LENGTH, ADVANCE and CHANNELS (the rows kept, all by
// default), checked against the audio source upstream, and each frame checked and
// cut to the samples it brings that lie within the stream.
class AudioSinkFrames {
public:
    AudioSinkFrames(const NodeErrors& errors, const NodeParameters& p);

    // At initialize(): the audio source upstream of `node` (nullptr if none), which must
    // agree with SAMPLING_RATE and ADVANCE.
    const SampleStream* attach(const Node* node);
    // Frame `count` of AUDIO: a Matrix<float> of LENGTH columns with the rows of the
    // first frame, which must hold every row CHANNELS names.
    const Matrix<float>& frame(const ObjectRef& ref, int count);
    // The rows kept, in order: CHANNELS, or every row of the first frame (none before it).
    const std::vector<int>& rows() const { return rows_; }
    // Rows CHANNELS names, empty when it was not given.
    const std::vector<int>& chosen() const { return chosen_; }
    // Samples per channel a frame brings: ADVANCE, fewer where the stream ends, once
    // `taken` samples were kept.
    long long newSamples(long long taken) const;
    // The first new sample of kept row `c` of `frame`.
    const float* newPart(const Matrix<float>& frame, size_t c) const {
        return frame.row(rows_[c]) + (length - advance);
    }

    const int samplingRate, length, advance;

private:
    const NodeErrors& errors_;
    std::vector<int> chosen_, rows_;
    int inputRows_ = -1;  // rows of the input frames, from the first frame
    const SampleStream* stream_ = nullptr;
};

// Durations as frame counts. Frames lie ADVANCE samples apart; s seconds span
// s ÷ ADVANCE × SAMPLING_RATE frames, in single precision, the division first.
inline float framesIn(float seconds, int advance, int samplingRate) {
    return seconds / float(advance) * float(samplingRate);
}
// The duration of one frame, ADVANCE ÷ SAMPLING_RATE in single precision, for
// the nodes that count s ÷ secondsPerFrame frames instead.
inline float secondsPerFrame(int advance, int samplingRate) { return float(advance) / float(samplingRate); }

// trunc(frames), at least 1; none when it is not below 2^31 (or not a number).
std::optional<int> framesAtLeastOne(float frames);
// trunc(double(frames) + 0.5): to nearest, halves up; none unless low ≤ result ≤ high.
std::optional<int> nearestFrames(float frames, int low, int high);

}  // namespace FD
