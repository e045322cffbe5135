#include "flow/nodes/AudioFileSource.h"

#include <climits>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "flow/NodeSupport.h"

namespace FD {

AudioFileSource::AudioFileSource(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params), errors_("AudioFileSource", nodeName) {
    audioID_ = addOutput("AUDIO");
    const NodeParameters p(errors_, params);
    file_ = p.text("FILE");
    length_ = p.inRange("LENGTH", 1, 1 << 24, "at least 1");
    advance_ = p.inRange("ADVANCE", 1, length_, "1 to LENGTH (" + std::to_string(length_) + ")");
    samplingRate_ = p.samplingRate();
    inOrder = true;

    try {
        reader_ = std::make_unique<nodes::AudioReader>(file_, samplingRate_);
    } catch (const std::exception& e) {
        errors_.refuse("FILE", e.what());
    }
    if (reader_->resampling())
        std::cerr << errors_.label() << ": " << file_ << " is at " << reader_->fileRate()
                  << " Hz: resampling to " << samplingRate_ << " Hz\n";
    long long total = reader_->sampleCount();
    long long frames = total == 0 ? 0 : (total - 1 + length_ - advance_) / advance_ + 1;
    if (frames > INT_MAX)
        errors_.refuse("FILE", file_ + " is too long for " + std::to_string(advance_) + "-sample frames");
    frames_ = int(frames);
    chunk_.resize(size_t(advance_) * size_t(reader_->channels()));
    history_.assign(size_t(length_) * size_t(reader_->channels()), 0.0f);
}

void AudioFileSource::calculate(int, int count, Buffer& out) {
    const int channels = reader_->channels();
    try {
        reader_->read(chunk_.data(), advance_);
    } catch (const std::exception& e) {
        errors_.atFrame(count, "FILE", e.what());
    }
    auto* frame = new Matrix<float>(channels, length_);
    out[count] = ObjectRef(frame);
    const int kept = length_ - advance_;
    for (int r = 0; r < channels; ++r) {
        float* last = history_.data() + size_t(r) * size_t(length_);
        std::memmove(last, last + advance_, sizeof(float) * size_t(kept));
        for (int i = 0; i < advance_; ++i) last[kept + i] = chunk_[size_t(i) * channels + r];
        std::memcpy(frame->row(r), last, sizeof(float) * size_t(length_));
    }
}

}  // namespace FD
