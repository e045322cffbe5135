#include "flow/NodeSupport.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <type_traits>

#include "flow/Source.h"
#include "flow/Stream.h"

namespace FD {

std::string nodeLabel(const std::string& type, const std::string& name) { return type + " \"" + name + "\""; }

std::string formatNumber(float value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// ---------------------------------------------------------------- errors

void NodeErrors::refuse(const std::string& subject, const std::string& text) const {
    auto* e = new GeneralException(text);
    e->place(label_, subject);
    throw e;
}

void NodeErrors::atFrame(int frame, const std::string& subject, const std::string& text) const {
    auto* e = new GeneralException(text);
    e->place(label_, subject, frame);
    throw e;
}

// ---------------------------------------------------------------- parameters

template <class T>
T NodeParameters::cast(const std::string& name) const {
    try {
        if constexpr (std::is_same_v<T, std::string>)
            return object_cast<String>(params_.get(name));
        else
            return dereference_cast<T>(params_.get(name));
    } catch (BaseException* e) {
        e->place(errors_.label(), name);
        throw;
    }
}

int NodeParameters::integer(const std::string& name) const { return cast<int>(name); }
float NodeParameters::real(const std::string& name) const { return cast<float>(name); }
std::string NodeParameters::text(const std::string& name) const { return cast<std::string>(name); }
bool NodeParameters::flag(const std::string& name) const { return cast<bool>(name); }

int NodeParameters::positive(const std::string& name, const std::string& unit) const {
    const int v = integer(name);
    if (v <= 0)
        errors_.refuse(name, name + " must be a positive number of " + unit + ", got " + std::to_string(v));
    return v;
}

int NodeParameters::inRange(const std::string& name, int low, int high, const std::string& range) const {
    const int v = integer(name);
    if (v < low || v > high) errors_.refuse(name, name + " must be " + range + ", got " + std::to_string(v));
    return v;
}

float NodeParameters::finite(const std::string& name, const std::string& what) const {
    const float v = real(name);
    if (!std::isfinite(v))
        errors_.refuse(name, name + " must be a finite number" + what + ", got " + formatNumber(v));
    return v;
}

float NodeParameters::nonNegativeSeconds(const std::string& name) const {
    const float v = real(name);
    if (!std::isfinite(v) || v < 0.0f)
        errors_.refuse(name,
                       name + " must be a finite, non-negative number of seconds, got " + formatNumber(v));
    return v;
}

std::string NodeParameters::oneOf(const std::string& name, const std::vector<std::string>& names) const {
    const std::string v = text(name);
    std::string choices;
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == v) return v;
        choices += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + ("\"" + names[i] + "\"");
    }
    errors_.refuse(name, name + " must be " + choices + ", got \"" + v + "\"");
}

std::vector<int> NodeParameters::indexList(const std::string& name, const std::string& noun) const {
    const std::string text = this->text(name);
    std::vector<int> list;
    if (text.find_first_not_of(' ') == std::string::npos) return list;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        size_t end = 0;
        int v = -1;
        try {
            v = std::stoi(item, &end);
        } catch (const std::exception&) {
            end = 0;
        }
        while (end < item.size() && item[end] == ' ') ++end;
        if (end == 0 || end != item.size() || v < 0) {
            list.clear();
            break;
        }
        list.push_back(v);
    }
    if (list.empty())
        errors_.refuse(name,
                       name + " must list " + noun + " numbers from 0, like \"0,1\", got \"" + text + "\"");
    return list;
}

// ---------------------------------------------------------------- frames

std::optional<int> framesAtLeastOne(float frames) {
    if (!(frames < 2147483648.0f)) return std::nullopt;  // 2^31, the first float past the int range
    return frames < 1.0f ? 1 : int(frames);
}

std::optional<int> nearestFrames(float frames, int low, int high) {
    const double rounded = double(frames) + 0.5;
    if (!(rounded >= double(low)) || !(rounded < double(high) + 1.0)) return std::nullopt;
    return int(rounded);
}

const Source& sourceAt(const Vector<ObjectRef>& list, size_t i, const NodeErrors& errors, int count,
                       const std::string& port) {
    const auto* s = dynamic_cast<const Source*>(list[i].get());
    if (!s)
        errors.atFrame(count, port,
                       port + " element " + std::to_string(i) + " is " + describeType(list[i].get()) +
                           ", not a Source");
    return *s;
}

bool segmentSeconds(int first, int end, int advance, int rate, const SampleStream* stream, double& start,
                    double& stop) {
    start = frameSeconds(first, advance, rate);
    stop = frameSeconds(end, advance, rate);
    if (stream && stream->ended()) {
        const double last = double(stream->sampleCount()) / stream->sampleRate();
        if (start >= last) return false;
        stop = std::min(stop, last);
    }
    return true;
}

// ---------------------------------------------------------------- AudioSinkFrames

AudioSinkFrames::AudioSinkFrames(const NodeErrors& errors, const NodeParameters& p)
    : samplingRate(p.samplingRate()),
      length(p.inRange("LENGTH", 1, 1 << 24, "at least 1")),
      advance(p.inRange("ADVANCE", 1, length, "1 to LENGTH (" + std::to_string(length) + ")")),
      errors_(errors) {
    if (p.has("CHANNELS")) {
        chosen_ = p.indexList("CHANNELS", "row");
        if (chosen_.empty()) errors_.refuse("CHANNELS", "CHANNELS lists no row");
    }
}

const SampleStream* AudioSinkFrames::attach(const Node* node) {
    stream_ = findSampleStream(node);
    if (!stream_) return nullptr;
    if (stream_->sampleRate() != samplingRate)
        errors_.refuse("SAMPLING_RATE", "SAMPLING_RATE is " + std::to_string(samplingRate) +
                                            " but the stream upstream is at " +
                                            std::to_string(stream_->sampleRate()) + " Hz");
    if (stream_->frameAdvance() != advance)
        errors_.refuse("ADVANCE", "ADVANCE is " + std::to_string(advance) + " but the frames upstream are " +
                                      std::to_string(stream_->frameAdvance()) + " samples apart");
    return stream_;
}

const Matrix<float>& AudioSinkFrames::frame(const ObjectRef& ref, int count) {
    const auto& frame = errors_.frameAs<Matrix<float>>(ref, count, "AUDIO", "Matrix<float>");
    if (frame.ncols() != length)
        errors_.atFrame(count, "AUDIO",
                        "AUDIO frame has " + std::to_string(frame.ncols()) + " samples, LENGTH is " +
                            std::to_string(length));
    if (inputRows_ < 0) {
        inputRows_ = frame.nrows();
        if (inputRows_ < 1) errors_.atFrame(count, "AUDIO", "AUDIO frame has no row");
        for (int r : chosen_)
            if (r >= inputRows_)
                errors_.atFrame(count, "CHANNELS",
                                "CHANNELS names row " + std::to_string(r) + ", the AUDIO frames have " +
                                    std::to_string(inputRows_) + " rows");
        rows_ = chosen_;
        if (rows_.empty())
            for (int r = 0; r < inputRows_; ++r) rows_.push_back(r);
    } else if (frame.nrows() != inputRows_) {
        errors_.atFrame(count, "AUDIO",
                        "AUDIO frame has " + std::to_string(frame.nrows()) + " rows, the stream started with " +
                            std::to_string(inputRows_));
    }
    return frame;
}

long long AudioSinkFrames::newSamples(long long taken) const {
    // The samples of the stream and no more (while samples still come, every frame
    // computed lies within those given).
    if (!stream_) return advance;
    return std::max(0LL, std::min<long long>(advance, stream_->sampleCount() - taken));
}

}  // namespace FD
