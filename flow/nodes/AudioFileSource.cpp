#include "flow/nodes/AudioFileSource.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <iostream>
#include <stdexcept>

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

    if (p.has("CHANNELS")) rows_ = p.indexList("CHANNELS", "channel");  // empty: all
    if (!nodes::waitsForProducer(file_)) open();
}

void AudioFileSource::initialize() {
    if (!input_) open();
    BufferedNode::initialize();
}

void AudioFileSource::open() {
    try {
        // A capture gives the channels asked for: two, or up to the highest one named.
        int capture = rows_.empty() ? 0 : std::max(2, *std::max_element(rows_.begin(), rows_.end()) + 1);
        input_ = nodes::openAudioInput(file_, samplingRate_, capture);
    } catch (const std::exception& e) {
        errors_.refuse("FILE", e.what());
    }
    const int channels = input_->channels();
    for (int r : rows_)
        if (r >= channels)
            errors_.refuse("CHANNELS", "CHANNELS names channel " + std::to_string(r) + ", but " +
                                           input_->describe() + " has " + std::to_string(channels) +
                                           " channel" + (channels == 1 ? "" : "s") + " (0 to " +
                                           std::to_string(channels - 1) + ")");
    if (rows_.empty())
        for (int r = 0; r < channels; ++r) rows_.push_back(r);
    if (input_->nativeRate() != samplingRate_)
        std::cerr << errors_.label() << ": " << input_->describe() << " is at " << input_->nativeRate()
                  << " Hz: resampling to " << samplingRate_ << " Hz\n";
    live_ = input_->length() < 0;
    if (!live_) setTotal(input_->length());
    chunk_.resize(size_t(advance_) * size_t(channels));
    history_.assign(size_t(length_) * rows_.size(), 0.0f);
}

void AudioFileSource::setTotal(long long samples) {
    long long frames = samples == 0 ? 0 : (samples - 1 + length_ - advance_) / advance_ + 1;
    if (frames > INT_MAX)
        errors_.refuse("FILE", file_ + " is too long for " + std::to_string(advance_) + "-sample frames");
    total_ = samples;
    frames_ = int(frames);
}

void AudioFileSource::endAfter(long long samples) {
    long long end = std::max(samples, received_);
    if (total_ >= 0) {
        if (end < total_) setTotal(end);
        return;
    }
    limit_ = limit_ < 0 ? end : std::min(limit_, end);
    if (received_ >= limit_) setTotal(received_);
}

void AudioFileSource::calculate(int, int count, Buffer& out) {
    const int channels = input_->channels();
    const long long cap = total_ >= 0 ? total_ : limit_ >= 0 ? limit_ : LLONG_MAX;
    const long long want = std::max(0LL, std::min<long long>(advance_, cap - received_));
    long long got = 0;
    try {
        if (want > 0 && live_) {
            auto start = std::chrono::steady_clock::now();
            got = input_->read(chunk_.data(), want);
            waiting_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } else if (want > 0) {
            got = input_->read(chunk_.data(), want);
        }
    } catch (const std::exception& e) {
        errors_.atFrame(count, "FILE", e.what());
    }
    // A float recording may hold NaN or infinity: refused here, it would spread
    // through every frame it reaches and silence the results.
    for (int r : rows_)
        for (long long i = 0; i < got; ++i)
            if (!std::isfinite(chunk_[size_t(i) * size_t(channels) + size_t(r)]))
                errors_.atFrame(count, "FILE",
                                input_->describe() + " holds a non-finite sample (" +
                                    std::to_string(chunk_[size_t(i) * size_t(channels) + size_t(r)]) +
                                    ") at sample " + std::to_string(received_ + i) + " of channel " +
                                    std::to_string(r) + "; audio samples must be finite numbers");
    received_ += got;
    if (total_ < 0 && (got < want || received_ >= cap)) setTotal(received_);  // the stream ended
    std::fill(chunk_.begin() + got * channels, chunk_.end(), 0.0f);

    auto* frame = new Matrix<float>(int(rows_.size()), length_);
    out[count] = ObjectRef(frame);
    const int kept = length_ - advance_;
    for (size_t r = 0; r < rows_.size(); ++r) {
        float* last = history_.data() + r * size_t(length_);
        std::memmove(last, last + advance_, sizeof(float) * size_t(kept));
        const float* in = chunk_.data() + rows_[r];
        for (int i = 0; i < advance_; ++i) last[kept + i] = in[size_t(i) * channels];
        std::memcpy(frame->row(int(r)), last, sizeof(float) * size_t(length_));
    }
}

}  // namespace FD
