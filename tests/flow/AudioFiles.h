// Test support for the host's audio nodes: a scratch directory and WAV files
// written and read with libsndfile.
#pragma once

#include <sndfile.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace FD {
namespace testing {

class ScratchDir {
public:
    ScratchDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "flowtestXXXXXX").string();
        std::vector<char> name(templ.begin(), templ.end());
        name.push_back('\0');
        path_ = mkdtemp(name.data());
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& file) const { return path_ + "/" + file; }
    const std::string& path() const { return path_; }
    // Names of the files in the directory, hidden ones included.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            names.push_back(e.path().filename().string());
        return names;
    }

private:
    std::string path_;
};

// Interleaved 16-bit samples to a WAV file.
inline void writeWav(const std::string& path, int rate, int channels, const std::vector<short>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) std::abort();
    sf_write_short(f, samples.data(), sf_count_t(samples.size()));
    sf_close(f);
}

struct Wav {
    int rate = 0, channels = 0;
    std::vector<short> samples;  // interleaved
    long frames() const { return channels ? long(samples.size()) / channels : 0; }
};

inline Wav readWav(const std::string& path) {
    Wav w;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return w;
    w.rate = info.samplerate;
    w.channels = info.channels;
    w.samples.resize(size_t(info.frames) * size_t(info.channels));
    sf_readf_short(f, w.samples.data(), info.frames);
    sf_close(f);
    return w;
}

}  // namespace testing
}  // namespace FD
