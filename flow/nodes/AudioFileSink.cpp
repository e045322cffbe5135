#include "flow/nodes/AudioFileSink.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <climits>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "flow/nodes/NodeText.h"

namespace FD {

using nodes::frameText;
using nodes::who;

namespace {
std::vector<int> parseChannels(const std::string& text, const std::string& me) {
    std::vector<int> rows;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        size_t end = 0;
        int row = -1;
        try {
            row = std::stoi(item, &end);
        } catch (const std::exception&) {
            end = 0;
        }
        while (end < item.size() && item[end] == ' ') ++end;
        if (end == 0 || end != item.size() || row < 0)
            throw new GeneralException(me + "CHANNELS must list row numbers from 0, like \"0,1\", got \"" +
                                       text + "\"");
        rows.push_back(row);
    }
    if (rows.empty()) throw new GeneralException(me + "CHANNELS lists no row");
    return rows;
}
}  // namespace

AudioFileSink::AudioFileSink(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params) {
    audioID_ = addInput("AUDIO");
    outputID_ = addOutput("OUTPUT");
    const std::string me = who("AudioFileSink", nodeName);
    file_ = nodes::stringParam(params, "FILE");
    samplingRate_ = nodes::intInRange(params, me, "SAMPLING_RATE", 1, INT_MAX, "positive");
    length_ = nodes::intInRange(params, me, "LENGTH", 1, 1 << 24, "at least 1");
    advance_ =
        nodes::intInRange(params, me, "ADVANCE", 1, length_, "1 to LENGTH (" + std::to_string(length_) + ")");
    if (params.exist("CHANNELS")) channels_ = parseChannels(nodes::stringParam(params, "CHANNELS"), me);
    inOrder = true;
    try {
        out_ = nodes::OutputTarget::open(file_, false);
    } catch (const std::exception& e) {
        throw new GeneralException(me + e.what());
    }
}

AudioFileSink::~AudioFileSink() {
    if (sf_) sf_close(sf_);
}

void AudioFileSink::initialize() {
    BufferedNode::initialize();
    const std::string me = who("AudioFileSink", name);
    if (const SampleStream* s = findSampleStream(this)) {
        if (s->sampleRate() != samplingRate_)
            throw new GeneralException(me + "SAMPLING_RATE is " + std::to_string(samplingRate_) +
                                       " but the stream upstream is at " + std::to_string(s->sampleRate()) +
                                       " Hz");
        if (s->frameAdvance() != advance_)
            throw new GeneralException(me + "ADVANCE is " + std::to_string(advance_) +
                                       " but the frames upstream are " + std::to_string(s->frameAdvance()) +
                                       " samples apart");
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

void AudioFileSink::open(int channels) {
    const std::string me = who("AudioFileSink", name);
    if (!out_->file()) {
        try {
            out_->write(openEndedWavHeader(samplingRate_, channels));
        } catch (const std::exception& e) {
            throw new GeneralException(me + e.what());
        }
        streamOpen_ = true;
        return;
    }
    SF_INFO info{};
    info.samplerate = samplingRate_;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    sf_ = sf_open_fd(out_->file()->fd(), SFM_WRITE, &info, SF_FALSE);
    if (!sf_) throw new GeneralException(me + "cannot write " + file_ + ": " + sf_strerror(nullptr));
}

void AudioFileSink::write(const std::string& me, long long n) {
    if (sf_) {
        if (sf_writef_short(sf_, pcm_.data(), n) != n)
            throw new GeneralException(me + "cannot write " + file_ + ": " + sf_strerror(sf_));
        return;
    }
    // A WAV stream is little-endian, as the machines this runs on.
    static_assert(sizeof(short) == 2, "16-bit samples");
    try {
        out_->write(pcm_.data(), pcm_.size() * sizeof(short));
        out_->endFrame();
    } catch (const std::exception& e) {
        throw new GeneralException(me + e.what());
    }
}

void AudioFileSink::calculate(int, int count, Buffer& out) {
    ObjectRef ref = getInput(audioID_, count);
    out[count] = ref;
    const std::string me = who("AudioFileSink", name) + frameText(count);
    const auto& frame = nodes::frameAs<Matrix<float>>(ref, me, "AUDIO", "Matrix<float>");
    if (frame.ncols() != length_)
        throw new GeneralException(me + "AUDIO frame has " + std::to_string(frame.ncols()) +
                                   " samples, LENGTH is " + std::to_string(length_));
    if (rows_ < 0) {
        rows_ = frame.nrows();
        if (rows_ < 1) throw new GeneralException(me + "AUDIO frame has no row");
        for (int r : channels_)
            if (r >= rows_)
                throw new GeneralException(me + "CHANNELS names row " + std::to_string(r) +
                                           ", the AUDIO frames have " + std::to_string(rows_) + " rows");
        open(channels_.empty() ? rows_ : int(channels_.size()));
    } else if (frame.nrows() != rows_) {
        throw new GeneralException(me + "AUDIO frame has " + std::to_string(frame.nrows()) +
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
    write(me, n);
    written_ += n;
}

void AudioFileSink::endOfStream(int) {
    const std::string me = who("AudioFileSink", name);
    if (stream_ && written_ < stream_->sampleCount())
        throw new GeneralException(me + "the stream ended after " + std::to_string(written_) + " of its " +
                                   std::to_string(stream_->sampleCount()) + " samples; " + file_ + " not written");
    if (!sf_ && !streamOpen_) open(emptyChannels_);
    if (sf_) {
        int err = sf_close(sf_);
        sf_ = nullptr;
        if (err) throw new GeneralException(me + "cannot write " + file_ + ": " + sf_error_number(err));
    }
    try {
        out_->finish();
    } catch (const std::exception& e) {
        throw new GeneralException(me + e.what());
    }
    if (clipped_ > 0)
        std::cerr << me << clipped_ << " samples out of the 16-bit range were clipped in " << file_ << "\n";
}

}  // namespace FD
