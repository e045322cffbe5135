#include "ArrayNodes.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <sstream>

#include "flow/Catalogue.h"
#include "flow/Source.h"
#include "flow/Types.h"

namespace zelkbp {

FeedPlan& pendingFeedPlan() {
    thread_local FeedPlan plan;
    return plan;
}

// ---------------------------------------------------------------- ArraySource

ArraySource::ArraySource(const std::string& nodeName, const FD::ParameterSet& params)
    : BufferedNode(nodeName, params), errors_("ArraySource", nodeName) {
    audioID_ = addOutput("AUDIO");
    const FD::NodeParameters p(errors_, params);
    length_ = p.inRange("LENGTH", 1, 1 << 24, "at least 1");
    advance_ = p.inRange("ADVANCE", 1, length_, "1 to LENGTH (" + std::to_string(length_) + ")");
    samplingRate_ = p.samplingRate();
    inOrder = true;
    // An empty CHANNELS, as the networks pass when none is asked for, means all.
    if (p.has("CHANNELS")) rows_ = p.indexList("CHANNELS", "channel");
    planned_ = pendingFeedPlan().samples;
    if (pendingFeedPlan().channels > 0) useChannels(pendingFeedPlan().channels);
}

// The caller's arrays have `inputChannels` rows; CHANNELS picks some of them, in its order.
void ArraySource::useChannels(int inputChannels) {
    for (int r : rows_)
        if (r >= inputChannels)
            errors_.refuse("CHANNELS", "CHANNELS names channel " + std::to_string(r) + ", but the input has " +
                                           std::to_string(inputChannels) + " channel" +
                                           (inputChannels == 1 ? "" : "s") + " (0 to " +
                                           std::to_string(inputChannels - 1) + ")");
    if (rows_.empty())
        for (int r = 0; r < inputChannels; ++r) rows_.push_back(r);
    inputChannels_ = inputChannels;
    channels_ = int(rows_.size());
    pending_.resize(size_t(channels_));
    history_.assign(size_t(length_) * size_t(channels_), 0.0f);
}

long long ArraySource::sampleCount() const { return planned_ >= 0 ? planned_ : appended_; }

int ArraySource::streamLength() const {
    if (!closed_) return -1;
    long long frames = appended_ == 0 ? 0 : (appended_ - 1 + length_ - advance_) / advance_ + 1;
    return int(std::min<long long>(frames, INT_MAX));
}

long long ArraySource::framesAvailable() const { return closed_ ? streamLength() : appended_ / advance_; }

void ArraySource::append(const float* data, int channels, long long samples, long long stride) {
    if (channels_ == 0) useChannels(channels);
    // Framed samples are dropped once they are half of what is kept.
    const bool compact = consumed_ > 0 && consumed_ * 2 >= pending_[0].size();
    for (int r = 0; r < channels_; ++r) {
        std::vector<float>& q = pending_[size_t(r)];
        if (compact) q.erase(q.begin(), q.begin() + long(consumed_));
        const float* row = data + rows_[size_t(r)] * stride;
        q.insert(q.end(), row, row + samples);
    }
    if (compact) consumed_ = 0;
    appended_ += samples;
}

void ArraySource::calculate(int, int count, FD::Buffer& out) {
    const size_t have = pending_.empty() ? 0 : pending_[0].size() - consumed_;
    if (have < size_t(advance_) && !closed_)
        errors_.atFrame(count, "AUDIO",
                        "needs samples up to " + std::to_string(1LL * count * advance_ + advance_) +
                            ", only " + std::to_string(appended_) + " were given");
    auto* frame = new FD::Matrix<float>(channels_, length_);
    out[count] = FD::ObjectRef(frame);
    const int kept = length_ - advance_;
    const size_t n = std::min(have, size_t(advance_));
    for (int r = 0; r < channels_; ++r) {
        float* last = history_.data() + size_t(r) * size_t(length_);
        std::memmove(last, last + advance_, sizeof(float) * size_t(kept));
        const float* fresh = pending_[size_t(r)].data() + consumed_;
        std::copy(fresh, fresh + n, last + kept);
        std::fill(last + kept + n, last + length_, 0.0f);  // past the end of a closed stream
        std::memcpy(frame->row(r), last, sizeof(float) * size_t(length_));
    }
    consumed_ += n;
}

// ---------------------------------------------------------------- Collector

Collector::Collector(const std::string& type, const std::string& nodeName, const FD::ParameterSet& params)
    : BufferedNode(nodeName, params), errors_(type, nodeName) {
    const FD::NodeParameters p(errors_, params);
    key_ = p.text("FILE");
    inOrder = true;
}

void Collector::initialize() {
    BufferedNode::initialize();
    stream_ = FD::findSampleStream(this);
}

// ---------------------------------------------------------------- AudioCollector

AudioCollector::AudioCollector(const std::string& nodeName, const FD::ParameterSet& params)
    : Collector("AudioCollector", nodeName, params), frames_(errors_, FD::NodeParameters(errors_, params)) {
    audioID_ = addInput("AUDIO");
    outputID_ = addOutput("OUTPUT");
    samplingRate_ = frames_.samplingRate;
    advance_ = frames_.advance;
}

void AudioCollector::initialize() {
    Collector::initialize();
    frames_.attach(this);
}

int AudioCollector::channels() const {
    if (!data_.empty()) return int(data_.size());
    if (!frames_.chosen().empty()) return int(frames_.chosen().size());
    return stream_ ? stream_->channelCount() : 0;
}

void AudioCollector::calculate(int, int count, FD::Buffer& out) {
    FD::ObjectRef ref = getInput(audioID_, count);
    out[count] = ref;
    const FD::Matrix<float>& frame = frames_.frame(ref, count);
    data_.resize(frames_.rows().size());
    // The samples of the stream and no more, as the file sink writes them.
    const long long n = frames_.newSamples(written_);
    for (size_t c = 0; c < data_.size(); ++c) {
        const float* row = frames_.newPart(frame, c);
        data_[c].insert(data_[c].end(), row, row + n);
    }
    written_ += n;
}

std::vector<float> AudioCollector::take(long long& samples) {
    samples = data_.empty() ? 0 : (long long)data_[0].size();
    std::vector<float> all;
    all.reserve(data_.size() * size_t(samples));
    for (std::vector<float>& row : data_) {
        all.insert(all.end(), row.begin(), row.end());
        row.clear();
    }
    return all;
}

// ---------------------------------------------------------------- SourceListCollector

SourceListCollector::SourceListCollector(const std::string& nodeName, const FD::ParameterSet& params)
    : Collector("SourceListCollector", nodeName, params) {
    sourcesID_ = addInput("SOURCES");
    outputID_ = addOutput("OUTPUT");
    const FD::NodeParameters p(errors_, params);
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();
}

void SourceListCollector::calculate(int, int count, FD::Buffer& out) {
    FD::ObjectRef ref = getInput(sourcesID_, count);
    out[count] = ref;
    const auto& list = errors_.frameAs<FD::Vector<FD::ObjectRef>>(ref, count, "SOURCES", "Vector<ObjectRef>");
    const double time = FD::frameSeconds(count, advance_, samplingRate_);
    for (size_t i = 0; i < list.size(); ++i) {
        const FD::Source& s = FD::sourceAt(list, i, errors_, count, "SOURCES");
        rows_.push_back({count, time, int(s.id), FD::azimuthDegrees(s), s.power});
    }
}

std::vector<SourceRow> SourceListCollector::take() {
    std::vector<SourceRow> rows;
    rows.swap(rows_);
    return rows;
}

// ---------------------------------------------------------------- SegmentCollector

SegmentCollector::SegmentCollector(const std::string& nodeName, const FD::ParameterSet& params)
    : Collector("SegmentCollector", nodeName, params) {
    decisionID_ = addInput("DECISION");
    outputID_ = addOutput("OUTPUT");
    const FD::NodeParameters p(errors_, params);
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();
}

void SegmentCollector::closeSegment(int endFrame) {
    double start, end;
    const bool kept = FD::segmentSeconds(start_, endFrame, advance_, samplingRate_, stream_, start, end);
    start_ = -1;
    if (!kept) return;
    segments_.push_back(start);
    segments_.push_back(end);
}

void SegmentCollector::calculate(int, int count, FD::Buffer& out) {
    FD::ObjectRef ref = getInput(decisionID_, count);
    out[count] = ref;
    bool speech =
        !errors_.frameAs<FD::Vector<FD::ObjectRef>>(ref, count, "DECISION", "Vector<ObjectRef>").empty();
    if (speech && start_ < 0) start_ = count;
    if (!speech && start_ >= 0) closeSegment(count);
}

void SegmentCollector::endOfStream(int frames) {
    if (start_ >= 0) closeSegment(frames);
}

std::vector<double> SegmentCollector::take() {
    std::vector<double> s;
    s.swap(segments_);
    return s;
}

// ---------------------------------------------------------------- MatrixCollector

MatrixCollector::MatrixCollector(const std::string& nodeName, const FD::ParameterSet& params)
    : Collector("MatrixCollector", nodeName, params) {
    inputID_ = addInput("INPUT");
    outputID_ = addOutput("OUTPUT");
}

void MatrixCollector::calculate(int, int count, FD::Buffer& out) {
    FD::ObjectRef ref = getInput(inputID_, count);
    out[count] = ref;
    auto* real = dynamic_cast<const FD::Matrix<float>*>(ref.get());
    auto* cplx = dynamic_cast<const FD::Matrix<std::complex<float>>*>(ref.get());
    if (!real && !cplx)
        errors_.atFrame(
            count, "INPUT",
            "INPUT expects Matrix<float> or Matrix<complex<float>>, got " + FD::describeType(ref.get()));
    int rows = real ? real->nrows() : cplx->nrows(), cols = real ? real->ncols() : cplx->ncols();
    if (frames_ == 0) {
        complex_ = cplx != nullptr, rows_ = rows, cols_ = cols;
    } else if ((cplx != nullptr) != complex_ || rows != rows_ || cols != cols_) {
        errors_.atFrame(count, "INPUT",
                        "INPUT frame is " + FD::describeType(ref.get()) + " " + std::to_string(rows) + " x " +
                            std::to_string(cols) + ", the stream started with " +
                            (complex_ ? "Matrix<complex<float>> " : "Matrix<float> ") +
                            std::to_string(rows_) + " x " + std::to_string(cols_));
    }
    if (real) real_.insert(real_.end(), real->data(), real->data() + real->size());
    if (cplx) complexData_.insert(complexData_.end(), cplx->data(), cplx->data() + cplx->size());
    ++frames_;
}

std::vector<float> MatrixCollector::takeReal(long long& frames) {
    std::vector<float> d;
    d.swap(real_);
    frames = rows_ > 0 && cols_ > 0 ? (long long)(d.size() / size_t(rows_ * cols_)) : 0;
    return d;
}

std::vector<std::complex<float>> MatrixCollector::takeComplex(long long& frames) {
    std::vector<std::complex<float>> d;
    d.swap(complexData_);
    frames = rows_ > 0 && cols_ > 0 ? (long long)(d.size() / size_t(rows_ * cols_)) : 0;
    return d;
}

// ---------------------------------------------------------------- registration

namespace {

const char* kTypes[] = {"ArraySource", "AudioCollector", "SourceListCollector", "SegmentCollector",
                        "MatrixCollector"};

template <class T>
void registerNode(const FD::NodeInfo& info) {
    FD::Node::addFactory(info.type, new FD::NodeFactory<T>(info.type));
    FD::describeNode(info);
}

}  // namespace

bool isArrayNodeType(const std::string& type) {
    for (const char* t : kTypes)
        if (type == t) return true;
    return false;
}

void registerArrayNodes() {
    static bool done = false;
    if (done) return;
    done = true;
    const FD::ParamInfo key{"FILE", "string", "name of the result in memory"};
    const FD::ParamInfo advance{"ADVANCE", "int", "samples between frames"};
    const FD::ParamInfo rate{"SAMPLING_RATE", "int", "samples per second"};
    registerNode<ArraySource>(
        {"ArraySource",
         "signal frames of samples handed in by the caller (stands for AudioFileSource)",
         {},
         {{"AUDIO", "Matrix<float>, one row per channel, 16-bit scale", FD::kinds::audio}},
         {{"FILE", "string", "not read: the samples come from the caller"},
          {"LENGTH", "int", "samples per frame"},
          {"ADVANCE", "int", "samples between frames, 1 to LENGTH"},
          rate,
          {"CHANNELS", "string", "input channels used, in this order, e.g. \"2,3\" (default all)", true}}});
    registerNode<AudioCollector>({"AudioCollector",
                                  "keeps a signal stream in memory (stands for AudioFileSink)",
                                  {{"AUDIO", "Matrix<float> signal frames, 16-bit scale", FD::kinds::audio}},
                                  {{"OUTPUT", "the AUDIO frames, passed on", FD::kinds::audio}},
                                  {key,
                                   rate,
                                   {"LENGTH", "int", "samples per input frame"},
                                   advance,
                                   {"CHANNELS", "string", "rows to keep, e.g. \"0\" or \"1,0\"", true}}});
    registerNode<SourceListCollector>({"SourceListCollector",
                                       "keeps source lists in memory (stands for SourceListWriter)",
                                       {{"SOURCES", "Vector<ObjectRef> of Source records", FD::kinds::sources}},
                                       {{"OUTPUT", "the SOURCES lists, passed on", FD::kinds::sources}},
                                       {key, advance, rate}});
    registerNode<SegmentCollector>({"SegmentCollector",
                                    "keeps speech segments in memory (stands for SegmentWriter)",
                                    {{"DECISION", "Vector<ObjectRef>: empty for no speech", FD::kinds::sources}},
                                    {{"OUTPUT", "the DECISION lists, passed on", FD::kinds::sources}},
                                    {key, advance, rate}});
    registerNode<MatrixCollector>(
        {"MatrixCollector",
         "keeps signal or spectrum frames in memory (stands for MatrixWriter)",
         {{"INPUT", "Matrix<float> or Matrix<complex<float>> frames of a fixed shape", FD::kinds::audioOrSpectrum}},
         {{"OUTPUT", "the INPUT frames, passed on", FD::kinds::audioOrSpectrum}},
         {key}});
}

}  // namespace zelkbp
