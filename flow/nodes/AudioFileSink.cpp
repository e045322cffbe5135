#include "flow/nodes/AudioFileSink.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace FD {


AudioFileSink::AudioFileSink(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params), errors_("AudioFileSink", nodeName) {
    audioID_ = addInput("AUDIO");
    outputID_ = addOutput("OUTPUT");
    const NodeParameters p(errors_, params);
    file_ = p.text("FILE");
    samplingRate_ = p.samplingRate();
    length_ = p.inRange("LENGTH", 1, 1 << 24, "at least 1");
    advance_ = p.inRange("ADVANCE", 1, length_, "1 to LENGTH (" + std::to_string(length_) + ")");
    if (p.has("CHANNELS")) {
        channels_ = p.indexList("CHANNELS", "row");
        if (channels_.empty()) errors_.refuse("CHANNELS", "CHANNELS lists no row");
    }
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
    if (const SampleStream* s = findSampleStream(this)) {
        if (s->sampleRate() != samplingRate_)
            errors_.refuse("SAMPLING_RATE", "SAMPLING_RATE is " + std::to_string(samplingRate_) +
                                                " but the stream upstream is at " +
                                                std::to_string(s->sampleRate()) + " Hz");
        if (s->frameAdvance() != advance_)
            errors_.refuse("ADVANCE", "ADVANCE is " + std::to_string(advance_) +
                                          " but the frames upstream are " +
                                          std::to_string(s->frameAdvance()) + " samples apart");
        stream_ = s;
        emptyChannels_ = s->channelCount();
    }
    if (!channels_.empty()) emptyChannels_ = int(channels_.size());
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
            out_->write(openEndedWavHeader(samplingRate_, channels));
        } catch (const std::exception& e) {
            errors_.atFrame(count, "FILE", e.what());
        }
        streamOpen_ = true;
        return;
    }
    SF_INFO info{};
    info.samplerate = samplingRate_;
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
    const auto& frame = errors_.frameAs<Matrix<float>>(ref, count, "AUDIO", "Matrix<float>");
    if (frame.ncols() != length_)
        errors_.atFrame(count, "AUDIO",
                        "AUDIO frame has " + std::to_string(frame.ncols()) + " samples, LENGTH is " +
                            std::to_string(length_));
    if (rows_ < 0) {
        rows_ = frame.nrows();
        if (rows_ < 1) errors_.atFrame(count, "AUDIO", "AUDIO frame has no row");
        for (int r : channels_)
            if (r >= rows_)
                errors_.atFrame(count, "CHANNELS",
                                "CHANNELS names row " + std::to_string(r) + ", the AUDIO frames have " +
                                    std::to_string(rows_) + " rows");
        open(channels_.empty() ? rows_ : int(channels_.size()), count);
    } else if (frame.nrows() != rows_) {
        errors_.atFrame(count, "AUDIO",
                        "AUDIO frame has " + std::to_string(frame.nrows()) +
                            " rows, the stream started with " + std::to_string(rows_));
    }

    long long n = advance_;
    if (stream_) n = std::max(0LL, std::min<long long>(advance_, stream_->sampleCount() - written_));
    if (n == 0) return;
    const int channels = channels_.empty() ? rows_ : int(channels_.size());
    pcm_.resize(size_t(n) * size_t(channels));
    const int first = length_ - advance_;
    for (int c = 0; c < channels; ++c) {
        const float* row = frame.row(channels_.empty() ? c : channels_[size_t(c)]) + first;
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
