#include "flow/nodes/AudioFileSink.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace FD {


AudioFileSink::AudioFileSink(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params),
      errors_("AudioFileSink", nodeName),
      file_(NodeParameters(errors_, params).text("FILE")),
      frames_(errors_, NodeParameters(errors_, params)) {
    audioID_ = addInput("AUDIO");
    outputID_ = addOutput("OUTPUT");
    inOrder = true;
    try {
        out_ = nodes::OutputTarget::open(file_, false);
    } catch (const std::exception& e) {
        errors_.refuse("FILE", e.what());
    }
}

AudioFileSink::~AudioFileSink() {
    if (sf_) sf_close(sf_);
}

void AudioFileSink::initialize() {
    BufferedNode::initialize();
    stream_ = frames_.attach(this);
    if (stream_) emptyChannels_ = stream_->channelCount();
    if (!frames_.chosen().empty()) emptyChannels_ = int(frames_.chosen().size());
}

namespace {
// The header of a WAV stream whose length is not known: RIFF and data sizes
// 0xffffffff, 16-bit PCM.
std::string openEndedWavHeader(int rate, int channels) {
    std::string h;
    auto u32 = [&h](uint32_t v) {
        for (int i = 0; i < 4; ++i) h += char((v >> (8 * i)) & 0xff);
    };
    auto u16 = [&h](int v) {
        h += char(v & 0xff);
        h += char((v >> 8) & 0xff);
    };
    h += "RIFF";
    u32(0xffffffffu);
    h += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(channels);
    u32(uint32_t(rate));
    u32(uint32_t(rate) * uint32_t(channels) * 2u);
    u16(channels * 2);
    u16(16);
    h += "data";
    u32(0xffffffffu);
    return h;
}
}  // namespace

void AudioFileSink::open(int channels, int count) {
    if (!out_->file()) {  // a stream: the header now, the samples frame by frame
        try {
            out_->write(openEndedWavHeader(frames_.samplingRate, channels));
        } catch (const std::exception& e) {
            errors_.atFrame(count, "FILE", e.what());
        }
        streamOpen_ = true;
        return;
    }
    SF_INFO info{};
    info.samplerate = frames_.samplingRate;
    info.channels = channels;
    // Past 4 GiB of samples a RIFF header's sizes wrap: RF64 then.
    info.format = nodes::wavFormatFor(stream_ && stream_->ended() ? stream_->sampleCount() : -1, channels);
    sf_ = sf_open_fd(out_->file()->fd(), SFM_WRITE, &info, SF_FALSE);
    if (!sf_) errors_.atFrame(count, "FILE", "cannot write " + file_ + ": " + sf_strerror(nullptr));
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RF64)
        sf_command(sf_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
}

void AudioFileSink::calculate(int, int count, Buffer& out) {
    ObjectRef ref = getInput(audioID_, count);
    out[count] = ref;
    const Matrix<float>& frame = frames_.frame(ref, count);
    const int channels = int(frames_.rows().size());
    if (!sf_ && !streamOpen_) open(channels, count);

    const long long n = frames_.newSamples(written_);
    if (n == 0) return;
    pcm_.resize(size_t(n) * size_t(channels));
    for (int c = 0; c < channels; ++c) {
        const float* row = frames_.newPart(frame, size_t(c));
        for (long long i = 0; i < n; ++i) pcm_[size_t(i) * channels + c] = nodes::toPcm16(row[i], clipped_);
    }
    write(n, count);
    written_ += n;
}

void AudioFileSink::write(long long n, int count) {
    if (sf_) {
        if (sf_writef_short(sf_, pcm_.data(), n) != n)
            errors_.atFrame(count, "FILE", "cannot write " + file_ + ": " + sf_strerror(sf_));
        return;
    }
    // A WAV stream is little-endian, as the machines this runs on.
    static_assert(sizeof(short) == 2, "16-bit samples");
    try {
        out_->write(pcm_.data(), pcm_.size() * sizeof(short));
        out_->endFrame();
    } catch (const std::exception& e) {
        errors_.atFrame(count, "FILE", e.what());
    }
}

void AudioFileSink::endOfStream(int) {
    if (stream_ && written_ < stream_->sampleCount())
        errors_.refuse("AUDIO", "the stream ended after " + std::to_string(written_) + " of its " +
                                    std::to_string(stream_->sampleCount()) + " samples; " + file_ +
                                    " not written");
    if (!sf_ && !streamOpen_) open(emptyChannels_, -1);
    if (sf_) {
        int err = sf_close(sf_);
        sf_ = nullptr;
        if (err) errors_.refuse("FILE", "cannot write " + file_ + ": " + sf_error_number(err));
    }
    try {
        out_->finish();
    } catch (const std::exception& e) {
        errors_.refuse("FILE", e.what());
    }
    if (clipped_ > 0)
        std::cerr << errors_.label() << ": " << clipped_
                  << " samples out of the 16-bit range were clipped in " << file_ << "\n";
}

}  // namespace FD
