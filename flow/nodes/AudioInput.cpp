#include "flow/nodes/AudioInput.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "flow/Stream.h"
#include "flow/nodes/AudioIO.h"

namespace FD {
namespace nodes {

namespace {

constexpr float kScale = 32768.0f;  // full scale of the 16-bit integer range

std::runtime_error failure(const std::string& text) { return std::runtime_error(text); }

// Reads until `n` bytes came, the stream ended or a stop was asked for; returns the
// bytes read. A signal that interrupts read() without a stop is not an end.
size_t readFully(int fd, void* data, size_t n, const std::string& what) {
    size_t got = 0;
    while (got < n && !stopRequested()) {
        ssize_t r = ::read(fd, static_cast<char*>(data) + got, n - got);
        if (r > 0) {
            got += size_t(r);
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            throw failure("cannot read " + what + ": " + std::strerror(errno));
        }
    }
    return got;
}

// ---------------------------------------------------------------- a file

class FileInput : public AudioInput {
public:
    FileInput(const std::string& path, int rate) : reader_(path, rate), path_(path), rate_(rate) {}
    int channels() const override { return reader_.channels(); }
    int rate() const override { return rate_; }
    long long length() const override { return reader_.sampleCount(); }
    std::string describe() const override { return path_; }
    long long read(float* out, long long n) override {
        long long live = std::max(0LL, std::min(n, reader_.sampleCount() - delivered_));
        reader_.read(out, n);  // pads with silence past the end
        delivered_ += live;
        return live;
    }
    int nativeRate() const override { return reader_.fileRate(); }

private:
    AudioReader reader_;
    std::string path_;
    int rate_ = 0;
    long long delivered_ = 0;
};

// ---------------------------------------------------------------- a WAV stream

// WAV read from a pipe. The sizes in the header are what a program writing into a
// pipe guessed (0, 0x7ffff000, 0xffffffff, ...): the data run to the end of the
// stream unless the header declares a plausible size, as a finished file does.
class WavStreamInput : public AudioInput {
public:
    // The stream is past "RIFF" <size> "WAVE": chunks follow up to the samples.
    WavStreamInput(int fd, std::string what) : fd_(fd), what_(std::move(what)) {
        for (;;) {
            unsigned char chunk[8];
            if (readFully(fd_, chunk, 8, what_) != 8) throw failure(what_ + " ends inside its WAV header");
            uint32_t size = le32(chunk + 4);
            std::string id(reinterpret_cast<char*>(chunk), 4);
            if (id == "fmt ") {
                if (size < 16 || size > 4096)
                    throw failure(what_ + ": WAV fmt chunk of " + std::to_string(size) + " bytes");
                std::vector<unsigned char> fmt(size + (size & 1));
                if (readFully(fd_, fmt.data(), fmt.size(), what_) != fmt.size())
                    throw failure(what_ + " ends inside its WAV header");
                format_ = le16(fmt.data());
                channels_ = le16(fmt.data() + 2);
                rate_ = int(le32(fmt.data() + 4));
                blockAlign_ = le16(fmt.data() + 12);
                bits_ = le16(fmt.data() + 14);
                if (format_ == 0xFFFE && size >= 26) format_ = le16(fmt.data() + 24);
            } else if (id == "data") {
                if (channels_ == 0) throw failure(what_ + ": WAV data before its fmt chunk");
                bool guessed = size == 0 || size >= 0x7FFF0000u;
                remaining_ = guessed ? -1 : (long long)size;
                break;
            } else {
                skip(size + (size & 1));
            }
        }
        bool pcm = format_ == 1 && (bits_ == 8 || bits_ == 16 || bits_ == 24 || bits_ == 32);
        bool flt = format_ == 3 && (bits_ == 32 || bits_ == 64);
        if (!pcm && !flt)
            throw failure(what_ + ": WAV sample format " + std::to_string(format_) + " with " +
                          std::to_string(bits_) +
                          " bits is not read from a stream (16-, 24- or 32-bit PCM, 8-bit, float)");
        if (channels_ < 1 || rate_ < 1 || blockAlign_ != channels_ * (bits_ / 8))
            throw failure(what_ + ": WAV header declares " + std::to_string(channels_) + " channels at " +
                          std::to_string(rate_) + " Hz in blocks of " + std::to_string(blockAlign_) +
                          " bytes");
    }
    int channels() const override { return channels_; }
    int rate() const override { return rate_; }
    std::string describe() const override { return what_; }

    long long read(float* out, long long n) override {
        if (ended_) return 0;
        long long want = n;
        if (remaining_ >= 0) want = std::min(want, remaining_ / blockAlign_);
        raw_.resize(size_t(want) * blockAlign_);
        size_t got = readFully(fd_, raw_.data(), raw_.size(), what_);
        long long samples = (long long)(got / blockAlign_);
        if (samples < n) ended_ = true;
        if (remaining_ >= 0) remaining_ -= samples * blockAlign_;
        convert(out, samples * channels_);
        return samples;
    }

private:
    static uint32_t le32(const unsigned char* p) {
        return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
    }
    static int le16(const unsigned char* p) { return p[0] | p[1] << 8; }

    void skip(size_t n) {
        char buf[4096];
        while (n > 0) {
            size_t step = std::min(n, sizeof(buf));
            if (readFully(fd_, buf, step, what_) != step)
                throw failure(what_ + " ends inside its WAV header");
            n -= step;
        }
    }

    void convert(float* out, long long values) const {
        const unsigned char* p = raw_.data();
        for (long long i = 0; i < values; ++i) {
            switch (format_ == 3 ? -bits_ : bits_) {
                case 8:
                    out[i] = float(int(p[i]) - 128) * 256.0f;
                    break;
                case 16:
                    out[i] = float(int16_t(uint16_t(p[2 * i] | p[2 * i + 1] << 8)));
                    break;
                case 24: {
                    const unsigned char* s = p + 3 * i;
                    int32_t v = int32_t(uint32_t(s[0]) << 8 | uint32_t(s[1]) << 16 | uint32_t(s[2]) << 24);
                    out[i] = float(v >> 8) / 256.0f;
                    break;
                }
                case 32:
                    out[i] = float(int32_t(le32(p + 4 * i))) / 65536.0f;
                    break;
                case -32: {
                    uint32_t bits = le32(p + 4 * i);
                    float v;
                    std::memcpy(&v, &bits, 4);
                    out[i] = v * kScale;
                    break;
                }
                default: {
                    uint64_t bits = uint64_t(le32(p + 8 * i)) | uint64_t(le32(p + 8 * i + 4)) << 32;
                    double v;
                    std::memcpy(&v, &bits, 8);
                    out[i] = float(v * kScale);
                }
            }
        }
    }

    int fd_;
    std::string what_;
    int format_ = 0, channels_ = 0, rate_ = 0, blockAlign_ = 0, bits_ = 0;
    long long remaining_ = -1;  // data bytes the header declares are left; -1: to the end
    bool ended_ = false;
    std::vector<unsigned char> raw_;
};

// ---------------------------------------------------------------- other streams

// Any other format through libsndfile's virtual I/O: the bytes already read are kept
// (up to a limit) so that its format probing may seek back in them.
class SndfileStreamInput : public AudioInput {
public:
    SndfileStreamInput(int fd, std::string what, std::vector<unsigned char> start)
        : fd_(fd), what_(std::move(what)), kept_(std::move(start)) {
        got_ = (long long)kept_.size();
        SF_VIRTUAL_IO io{&SndfileStreamInput::length, &SndfileStreamInput::seek,
                         &SndfileStreamInput::readBytes, nullptr, &SndfileStreamInput::tell};
        SF_INFO info{};
        file_ = sf_open_virtual(&io, SFM_READ, &info, this);
        if (!file_) throw failure("cannot read " + what_ + " as audio: " + sf_strerror(nullptr));
        if (info.channels < 1 || info.samplerate < 1) {
            sf_close(file_);
            throw failure(what_ + " declares no channel or no sampling rate");
        }
        channels_ = info.channels;
        rate_ = info.samplerate;
        sf_command(file_, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    }
    ~SndfileStreamInput() override { sf_close(file_); }
    int channels() const override { return channels_; }
    int rate() const override { return rate_; }
    std::string describe() const override { return what_; }
    long long read(float* out, long long n) override {
        long long got = 0;
        while (got < n && !ended_) {
            sf_count_t r = sf_readf_float(file_, out + got * channels_, n - got);
            if (r <= 0)
                ended_ = true;
            else
                got += r;
        }
        for (long long i = 0; i < got * channels_; ++i) out[i] *= kScale;
        return got;
    }

private:
    static constexpr size_t kKeep = 1 << 20;  // bytes kept for probing

    static sf_count_t length(void* self) { return static_cast<SndfileStreamInput*>(self)->got_; }
    static sf_count_t tell(void* self) { return static_cast<SndfileStreamInput*>(self)->pos_; }
    static sf_count_t seek(sf_count_t offset, int whence, void* self) {
        auto* s = static_cast<SndfileStreamInput*>(self);
        long long target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? s->pos_ + offset : -1;
        if (target < 0) return -1;
        if (target > s->got_) {  // forward past what came: read and drop
            s->pos_ = s->got_;
            std::vector<unsigned char> drop(size_t(target - s->got_));
            readBytes(drop.data(), sf_count_t(drop.size()), self);
            return s->pos_;
        }
        if (target < s->got_ && size_t(target) >= s->kept_.size()) return -1;  // no longer kept
        s->pos_ = target;
        return s->pos_;
    }
    static sf_count_t readBytes(void* data, sf_count_t n, void* self) {
        auto* s = static_cast<SndfileStreamInput*>(self);
        auto* out = static_cast<unsigned char*>(data);
        sf_count_t done = 0;
        if (s->pos_ < s->got_) {
            sf_count_t step = std::min<sf_count_t>(n, s->got_ - s->pos_);
            std::memcpy(out, s->kept_.data() + s->pos_, size_t(step));
            done += step;
            s->pos_ += step;
        }
        if (done < n) {
            size_t r = 0;
            try {
                r = readFully(s->fd_, out + done, size_t(n - done), s->what_);
            } catch (const std::exception&) {
                r = 0;  // a read error ends the stream; no exception may cross libsndfile
            }
            if (s->kept_.size() < kKeep && s->kept_.size() == size_t(s->got_))
                s->kept_.insert(s->kept_.end(), out + done,
                                out + done + std::min(r, kKeep - s->kept_.size()));
            done += sf_count_t(r);
            s->pos_ += sf_count_t(r);
            s->got_ += sf_count_t(r);
        }
        return done;
    }

    int fd_;
    std::string what_;
    std::vector<unsigned char> kept_;  // the stream's first bytes
    long long got_ = 0, pos_ = 0;      // bytes read from the stream; position libsndfile reads at
    SNDFILE* file_ = nullptr;
    int channels_ = 0, rate_ = 0;
    bool ended_ = false;
};

std::unique_ptr<AudioInput> openStream(int fd, const std::string& what) {
    std::vector<unsigned char> start(12);
    size_t got = readFully(fd, start.data(), start.size(), what);
    if (got == 0) throw failure(what + " is empty: no audio header came");
    start.resize(got);
    if (got == 12 && std::memcmp(start.data(), "RIFF", 4) == 0 &&
        std::memcmp(start.data() + 8, "WAVE", 4) == 0)
        return std::make_unique<WavStreamInput>(fd, what);
    return std::make_unique<SndfileStreamInput>(fd, what, std::move(start));
}

// A FIFO or a pipe given by its path: held open for the run.
class OpenedStream : public AudioInput {
public:
    OpenedStream(int fd, std::unique_ptr<AudioInput> inner) : fd_(fd), inner_(std::move(inner)) {}
    ~OpenedStream() override {
        inner_.reset();
        ::close(fd_);
    }
    int channels() const override { return inner_->channels(); }
    int rate() const override { return inner_->rate(); }
    std::string describe() const override { return inner_->describe(); }
    long long read(float* out, long long n) override { return inner_->read(out, n); }

private:
    int fd_;
    std::unique_ptr<AudioInput> inner_;
};

// ---------------------------------------------------------------- ALSA capture

std::string alsaMessage;  // the last message ALSA's library gave, instead of printing it

void keepAlsaMessage(const char*, int, const char*, int, const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    alsaMessage = text;
}

class AlsaInput : public AudioInput {
public:
    AlsaInput(const std::string& device, int rate, int channels) : device_(device) {
        snd_lib_error_set_handler(&keepAlsaMessage);
        alsaMessage.clear();
        const std::string what = "ALSA capture device " + device;
        int err = snd_pcm_open(&pcm_, device.c_str(), SND_PCM_STREAM_CAPTURE, 0);
        if (err < 0) throw failure("cannot open " + what + ": " + reason(err));
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_hw_params_any(pcm_, hw);
        check(snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED), "interleaved access");
        for (snd_pcm_format_t f : {SND_PCM_FORMAT_S16, SND_PCM_FORMAT_S32, SND_PCM_FORMAT_FLOAT}) {
            if (snd_pcm_hw_params_test_format(pcm_, hw, f) == 0) {
                format_ = f;
                break;
            }
        }
        check(snd_pcm_hw_params_set_format(pcm_, hw, format_), "16-bit, 32-bit or float samples");
        unsigned int maxChannels = 0;
        snd_pcm_hw_params_get_channels_max(hw, &maxChannels);
        if (maxChannels < unsigned(channels)) {
            close();
            throw failure(what + " gives " + std::to_string(maxChannels) + " channel" +
                          (maxChannels == 1 ? "" : "s") + ", " + std::to_string(channels) + " are needed");
        }
        unsigned int ch = unsigned(channels);
        check(snd_pcm_hw_params_set_channels_near(pcm_, hw, &ch), std::to_string(channels) + " channels");
        channels_ = int(ch);
        unsigned int r = unsigned(rate);
        check(snd_pcm_hw_params_set_rate_near(pcm_, hw, &r, nullptr), std::to_string(rate) + " Hz");
        rate_ = int(r);
        // A generous buffer (a second) rides out a slow frame; short periods keep the latency low.
        unsigned int bufferTime = 1000000, periodTime = 10000;
        snd_pcm_hw_params_set_buffer_time_near(pcm_, hw, &bufferTime, nullptr);
        snd_pcm_hw_params_set_period_time_near(pcm_, hw, &periodTime, nullptr);
        check(snd_pcm_hw_params(pcm_, hw), "its settings");
        check(snd_pcm_prepare(pcm_), "starting");
    }
    ~AlsaInput() override { close(); }
    int channels() const override { return channels_; }
    int rate() const override { return rate_; }
    std::string describe() const override { return "ALSA capture device " + device_; }
    long long overruns() const override { return overruns_; }

    long long read(float* out, long long n) override {
        if (ended_) return 0;
        const size_t width = snd_pcm_format_physical_width(format_) / 8;
        raw_.resize(size_t(n) * channels_ * width);
        long long got = 0;
        while (got < n) {
            if (stopRequested()) {
                ended_ = true;
                break;
            }
            snd_pcm_sframes_t r = snd_pcm_readi(pcm_, raw_.data() + size_t(got) * channels_ * width,
                                                snd_pcm_uframes_t(n - got));
            if (r > 0) {
                got += r;
            } else if (r == -EPIPE) {
                ++overruns_;  // the capture buffer ran full: samples are lost, the capture goes on
                snd_pcm_prepare(pcm_);
            } else if (r == -EINTR || r == -EAGAIN || r == 0) {
                continue;
            } else if (snd_pcm_recover(pcm_, int(r), 1) < 0) {
                throw failure("capture from " + describe() + " failed: " + snd_strerror(int(r)));
            }
        }
        const long long values = got * channels_;
        for (long long i = 0; i < values; ++i) {
            const unsigned char* p = raw_.data() + size_t(i) * width;
            if (format_ == SND_PCM_FORMAT_S16) {
                int16_t v;
                std::memcpy(&v, p, 2);
                out[i] = float(v);
            } else if (format_ == SND_PCM_FORMAT_S32) {
                int32_t v;
                std::memcpy(&v, p, 4);
                out[i] = float(v) / 65536.0f;
            } else {
                float v;
                std::memcpy(&v, p, 4);
                out[i] = v * kScale;
            }
        }
        return got;
    }

private:
    std::string reason(int err) const {
        return alsaMessage.empty() ? std::string(snd_strerror(err))
                                   : alsaMessage + " (" + snd_strerror(err) + ")";
    }
    void check(int err, const std::string& what) {
        if (err >= 0) return;
        std::string why = reason(err);
        close();
        throw failure("ALSA capture device " + device_ + " refuses " + what + ": " + why);
    }
    void close() {
        if (pcm_) snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }

    std::string device_;
    snd_pcm_t* pcm_ = nullptr;
    snd_pcm_format_t format_ = SND_PCM_FORMAT_S16;
    int channels_ = 0, rate_ = 0;
    long long overruns_ = 0;
    bool ended_ = false;
    std::vector<unsigned char> raw_;
};

// ---------------------------------------------------------------- resampling

class ResampledInput : public AudioInput {
public:
    ResampledInput(std::unique_ptr<AudioInput> inner, int rate) : inner_(std::move(inner)), rate_(rate) {
        const std::string problem = resamplingProblem(inner_->describe(), inner_->rate(), rate);
        if (!problem.empty()) throw failure(problem);
        int err = 0;
        state_ = src_callback_new(&ResampledInput::supply, SRC_SINC_MEDIUM_QUALITY, inner_->channels(), &err,
                                  this);
        if (!state_) throw failure("cannot resample " + inner_->describe() + ": " + src_strerror(err));
        ratio_ = double(rate_) / double(inner_->rate());
        // Small blocks: a live input must not wait for more than a frame's worth.
        block_ = std::max(32L, long(inner_->rate() / 200));
    }
    ~ResampledInput() override { src_delete(state_); }
    int channels() const override { return inner_->channels(); }
    int rate() const override { return rate_; }
    long long length() const override {
        long long n = inner_->length();
        return n < 0 ? -1 : (n * rate_ + inner_->rate() - 1) / inner_->rate();
    }
    std::string describe() const override { return inner_->describe(); }
    int nativeRate() const override { return inner_->rate(); }
    long long overruns() const override { return inner_->overruns(); }

    long long read(float* out, long long n) override {
        const int ch = channels();
        long long got = 0;
        while (got < n) {
            if (innerEnded_) {  // the converter's tail, up to the length the input's time covers
                long long total = (consumed_ * rate_ + inner_->rate() - 1) / inner_->rate();
                if (delivered_ + got >= total) break;
                long want = long(std::min(n - got, total - delivered_ - got));
                long r = src_callback_read(state_, ratio_, want, out + got * ch);
                if (!failure_.empty()) throw failure(failure_);
                if (r <= 0) {  // the converter ran dry a little early: the rest is silence
                    std::fill(out + got * ch, out + (got + want) * ch, 0.0f);
                    r = want;
                }
                got += r;
                continue;
            }
            long r = src_callback_read(state_, ratio_, long(n - got), out + got * ch);
            if (!failure_.empty()) throw failure(failure_);
            if (r > 0)
                got += r;
            else if (!innerEnded_)
                break;
        }
        delivered_ += got;
        return got;
    }

private:
    static long supply(void* self, float** data) {
        auto* s = static_cast<ResampledInput*>(self);
        s->chunk_.resize(size_t(s->block_) * s->inner_->channels());
        *data = s->chunk_.data();
        if (s->innerEnded_) return 0;
        try {
            long long r = s->inner_->read(s->chunk_.data(), s->block_);
            s->consumed_ += r;
            if (r < s->block_) s->innerEnded_ = true;
            return long(r);
        } catch (const std::exception& e) {  // no exception may cross the converter
            s->failure_ = e.what();
            s->innerEnded_ = true;
            return 0;
        }
    }

    std::unique_ptr<AudioInput> inner_;
    int rate_;
    SRC_STATE* state_ = nullptr;
    double ratio_ = 1;
    long block_ = 256;
    std::vector<float> chunk_;
    long long consumed_ = 0, delivered_ = 0;
    bool innerEnded_ = false;
    std::string failure_;
};

}  // namespace

// ---------------------------------------------------------------- pushed samples

struct PushedInput::Queue {
    std::mutex lock;
    std::condition_variable more;
    std::deque<float> samples;  // interleaved
    bool ended = false;
};

PushedInput::PushedInput(int channels, int rate, std::string what)
    : channels_(channels), rate_(rate), what_(std::move(what)), queue_(std::make_unique<Queue>()) {
    if (channels < 1 || rate < 1) throw failure(what_ + ": needs a channel and a rate");
}

PushedInput::~PushedInput() = default;

void PushedInput::push(const float* interleaved, long long samples) {
    {
        std::lock_guard<std::mutex> hold(queue_->lock);
        queue_->samples.insert(queue_->samples.end(), interleaved, interleaved + samples * channels_);
    }
    queue_->more.notify_one();
}

void PushedInput::end() {
    {
        std::lock_guard<std::mutex> hold(queue_->lock);
        queue_->ended = true;
    }
    queue_->more.notify_one();
}

long long PushedInput::read(float* out, long long n) {
    std::unique_lock<std::mutex> hold(queue_->lock);
    const size_t want = size_t(n) * size_t(channels_);
    // A stop request has no way to wake the wait: look again now and then.
    while (queue_->samples.size() < want && !queue_->ended && !stopRequested())
        queue_->more.wait_for(hold, std::chrono::milliseconds(50));
    const size_t got = std::min(want, queue_->samples.size() / size_t(channels_) * size_t(channels_));
    std::copy(queue_->samples.begin(), queue_->samples.begin() + long(got), out);
    queue_->samples.erase(queue_->samples.begin(), queue_->samples.begin() + long(got));
    return (long long)(got / size_t(channels_));
}

// ---------------------------------------------------------------- opening

namespace {
std::map<std::string, std::function<std::unique_ptr<AudioInput>(int)>>& provided() {
    static std::map<std::string, std::function<std::unique_ptr<AudioInput>(int)>> inputs;
    return inputs;
}
}  // namespace

void provideAudioInput(const std::string& name, std::function<std::unique_ptr<AudioInput>(int rate)> open) {
    provided()[name] = std::move(open);
}

std::unique_ptr<AudioInput> resampled(std::unique_ptr<AudioInput> input, int rate) {
    if (input->rate() == rate) return input;
    return std::make_unique<ResampledInput>(std::move(input), rate);
}

std::unique_ptr<AudioInput> openAudioInput(const std::string& spec, int rate, int captureChannels) {
    auto given = provided().find(spec);
    if (given != provided().end()) return resampled(given->second(rate), rate);
    if (spec.compare(0, 5, "alsa:") == 0) {
        std::string device = spec.substr(5);
        if (device.empty()) throw failure("\"alsa:\" names no device: give e.g. alsa:default or alsa:hw:1,0");
        return resampled(std::make_unique<AlsaInput>(device, rate, captureChannels > 0 ? captureChannels : 2),
                         rate);
    }
    if (spec == "-") {
        if (isatty(STDIN_FILENO))
            throw failure("standard input is a terminal: pipe an audio stream into it (INPUT=- reads one)");
        return resampled(openStream(STDIN_FILENO, "standard input"), rate);
    }
    struct stat st;
    if (!spec.empty() && stat(spec.c_str(), &st) == 0 &&
        (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode))) {
        int fd = ::open(spec.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw failure("cannot open " + spec + ": " + std::strerror(errno));
        try {
            return resampled(std::make_unique<OpenedStream>(fd, openStream(fd, spec)), rate);
        } catch (...) {
            ::close(fd);
            throw;
        }
    }
    return std::make_unique<FileInput>(spec, rate);
}

bool waitsForProducer(const std::string& spec) {
    struct stat st;
    return spec == "-" || (spec.compare(0, 5, "alsa:") != 0 && stat(spec.c_str(), &st) == 0 &&
                           (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode)));
}

}  // namespace nodes
}  // namespace FD
