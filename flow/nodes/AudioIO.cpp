#include "flow/nodes/AudioIO.h"

#include <fcntl.h>
#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace FD {
namespace nodes {

namespace {
constexpr float kScale = 32768.0f;  // full scale of the 16-bit integer range

std::string systemError(int err) { return std::strerror(err); }

// libsndfile repairs a header that promises more data than the file holds and
// only says so in its log: a data chunk line reading "(should be ...)".
bool headerPromisesMore(SNDFILE* f) {
    char log[8192] = {0};
    sf_command(f, SFC_GET_LOG_INFO, log, sizeof(log) - 1);
    const char* line = log;
    while (*line) {
        const char* end = std::strchr(line, '\n');
        std::string l(line, end ? size_t(end - line) : std::strlen(line));
        if ((l.compare(0, 4, "data") == 0 || l.compare(0, 4, "SSND") == 0) &&
            l.find("should be") != std::string::npos)
            return true;
        if (!end) break;
        line = end + 1;
    }
    return false;
}
}  // namespace

std::string resamplingProblem(const std::string& name, int fromRate, int toRate) {
    if (src_is_valid_ratio(double(toRate) / double(fromRate))) return "";
    return "cannot resample " + name + " from " + std::to_string(fromRate) + " Hz to " + std::to_string(toRate) +
           " Hz: the two rates may differ by a factor of 256 at most";
}

AudioReader::AudioReader(const std::string& path, int targetRate)
    : path_(path), reading_(path, "the input recording"), targetRate_(targetRate) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot open " + path + ": " + systemError(errno));
    if (S_ISDIR(st.st_mode)) throw std::runtime_error("cannot open " + path + ": it is a directory");
    if (access(path.c_str(), R_OK) != 0)
        throw std::runtime_error("cannot open " + path + ": " + systemError(errno));

    SF_INFO info;
    std::memset(&info, 0, sizeof(info));
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (!file_) throw std::runtime_error("cannot read " + path + " as audio: " + sf_strerror(nullptr));
    if (headerPromisesMore(file_)) {
        sf_close(file_);
        file_ = nullptr;
        throw std::runtime_error(path +
                                 " is truncated: its header promises more samples than the file holds");
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file_);
        file_ = nullptr;
        throw std::runtime_error(path + " declares no channel or no sampling rate");
    }
    channels_ = info.channels;
    fileRate_ = info.samplerate;
    sf_command(file_, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    // A stream whose length the header does not give (an Ogg file cut short) says
    // SF_COUNT_MAX: count what it holds by decoding it once.
    fileSamples_ = info.frames == SF_COUNT_MAX ? countSamples() : std::max<sf_count_t>(info.frames, 0);
    if (fileSamples_ == 0) {
        sf_close(file_);
        file_ = nullptr;
        throw std::runtime_error(path + " holds no audio samples");
    }
    // At most about 2^62 samples: the rate conversion below stays far from overflow.
    if (fileSamples_ > (1LL << 62) / std::max(targetRate_, 1)) {
        sf_close(file_);
        file_ = nullptr;
        throw std::runtime_error(path + " declares " + std::to_string(fileSamples_) +
                                 " samples per channel, more than can be counted");
    }

    if (fileRate_ == targetRate_) {
        count_ = fileSamples_;
    } else {
        const std::string problem = resamplingProblem(path, fileRate_, targetRate_);
        if (!problem.empty()) {
            sf_close(file_);
            file_ = nullptr;
            throw std::runtime_error(problem);
        }
        count_ = (fileSamples_ * targetRate_ + fileRate_ - 1) / fileRate_;
        int err = 0;
        state_ = src_callback_new(&AudioReader::supply, SRC_SINC_MEDIUM_QUALITY, channels_, &err, this);
        if (!state_) {
            sf_close(file_);
            file_ = nullptr;
            throw std::runtime_error("cannot resample " + path + ": " + src_strerror(err));
        }
    }
}

long long AudioReader::countSamples() {
    std::vector<float> scratch(size_t(4096) * size_t(channels_));
    long long total = 0;
    for (sf_count_t got; (got = sf_readf_float(file_, scratch.data(), 4096)) > 0;) total += got;
    if (sf_seek(file_, 0, SEEK_SET) != 0) {
        sf_close(file_);
        file_ = nullptr;
        throw std::runtime_error("cannot read " + path_ + " again from its start after counting its samples");
    }
    return total;
}

AudioReader::~AudioReader() {
    if (state_) src_delete(state_);
    if (file_) sf_close(file_);
}

long long AudioReader::readFile(float* out, long long n) {
    long long want = std::min(n, fileSamples_ - fileRead_);
    long long got = 0;
    while (got < want) {
        sf_count_t r = sf_readf_float(file_, out + got * channels_, want - got);
        if (r <= 0) break;
        got += r;
    }
    fileRead_ += got;
    if (got < want) {
        std::string why = sf_error(file_) ? std::string(": ") + sf_strerror(file_) : "";
        throw std::runtime_error(path_ + " is truncated: it declares " + std::to_string(fileSamples_) +
                                 " samples per channel but ends after " + std::to_string(fileRead_) + why);
    }
    for (long long i = 0; i < got * channels_; ++i) out[i] *= kScale;
    return got;
}

long AudioReader::supply(void* self, float** data) {
    // Called from inside the resampler (C code): no exception may cross it.
    auto* r = static_cast<AudioReader*>(self);
    const long long block = 4096;
    r->chunk_.resize(size_t(block * r->channels_));
    *data = r->chunk_.data();
    try {
        return long(r->readFile(r->chunk_.data(), block));
    } catch (const std::exception& e) {
        r->failure_ = e.what();
        return 0;
    }
}

void AudioReader::read(float* out, long long n) {
    long long live = std::max(0LL, std::min(n, count_ - delivered_));
    long long got = 0;
    if (!state_) {
        got = readFile(out, live);
    } else {
        double ratio = double(targetRate_) / double(fileRate_);
        while (got < live) {
            long r = src_callback_read(state_, ratio, long(live - got), out + got * channels_);
            if (!failure_.empty()) throw std::runtime_error(failure_);
            if (r <= 0) {
                int err = src_error(state_);
                if (err) throw std::runtime_error("cannot resample " + path_ + ": " + src_strerror(err));
                break;  // the converter ran dry a little early: the rest is silence
            }
            got += r;
        }
    }
    std::fill(out + got * channels_, out + n * channels_, 0.0f);
    delivered_ += n;
}

// ---------------------------------------------------------------- AtomicFile

AtomicFile::AtomicFile(const std::string& path, const std::string& shown) : path_(path) {
    if (path.empty()) throw std::runtime_error("no file name given");
    const size_t slash = path.rfind('/');
    if (slash + 1 == path.size()) throw std::runtime_error("cannot write " + path + ": it names a directory");
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw std::runtime_error("cannot write " + path + ": it is a directory");
    part_ = std::make_unique<PartFile>(path, shown);
    part_->removeAbandonedParts();
    const std::string templ = part_->hiddenTemplate();
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    fd_ = mkstemp(name.data());
    if (fd_ < 0) throw std::runtime_error("cannot write " + path + ": " + systemError(errno));
    part_->created(name.data());
    if (fchmod(fd_, part_->mode()) != 0) {
        // Keeps the private mode of the temporary file; not worth failing for.
    }
}

AtomicFile::~AtomicFile() {
    if (stream_)
        fclose(stream_);
    else if (fd_ >= 0)
        close(fd_);
}

FILE* AtomicFile::stream() {
    if (!stream_) {
        stream_ = fdopen(fd_, "w+b");
        if (!stream_) throw std::runtime_error("cannot write " + path_ + ": " + systemError(errno));
    }
    return stream_;
}

void AtomicFile::commit() {
    if (committed_) return;
    if (stream_ && fflush(stream_) != 0)
        throw std::runtime_error("cannot write " + path_ + ": " + systemError(errno));
    if (fsync(fd_) != 0 && errno != EINVAL && errno != EROFS)
        throw std::runtime_error("cannot write " + path_ + ": " + systemError(errno));
    int closed = stream_ ? fclose(stream_) : close(fd_);
    stream_ = nullptr;
    fd_ = -1;
    if (closed != 0) throw std::runtime_error("cannot write " + path_ + ": " + systemError(errno));
    part_->complete();
    committed_ = true;
}

int wavFormatFor(long long samples, int channels) {
    const bool fits = samples >= 0 && channels > 0 && samples <= kWavDataLimit / 2 / channels;
    return (fits ? SF_FORMAT_WAV : SF_FORMAT_RF64) | SF_FORMAT_PCM_16;
}

short toPcm16(float x, long long& clipped) {
    if (!(x == x)) {
        ++clipped;
        return 0;
    }
    float r = std::nearbyint(x);
    if (r > 32767.0f) {
        ++clipped;
        return 32767;
    }
    if (r < -32768.0f) {
        ++clipped;
        return -32768;
    }
    return short(r);
}

}  // namespace nodes
}  // namespace FD
