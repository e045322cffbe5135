// Test support for the file nodes: scratch directory, WAV files, seeded noise.
#pragma once

#include <sndfile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "flow/Stream.h"
#include "tests/support/NodeHarness.h"

namespace FD {
namespace testing {

class ScratchDir {
public:
    ScratchDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "flowtestXXXXXX").string();
        path_ = mkdtemp(templ.data());
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& file) const { return path_ + "/" + file; }
    std::vector<std::string> files() const {  // hidden ones included
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename());
        return names;
    }

private:
    std::string path_;
};

inline std::string slurp(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

inline std::vector<short> noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> u(-32768, 32767);
    std::vector<short> v(n);
    for (short& x : v) x = short(u(gen));
    return v;
}

inline void writeWav(const std::string& path, int rate, int channels, const std::vector<short>& samples,
                     int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    SF_INFO info{0, rate, channels, format, 0, 0};
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

// Feeds `frames` scripted frames to `input` of the writer `w`, pulls OUTPUT for
// each and ends the stream.
template <class W>
void runToEnd(W* w, const std::string& input, ScriptedSource::Script script, int frames) {
    NodeHarness h(w);
    h.feed(input, std::move(script), frames);
    h.initialize();
    h.run("OUTPUT", frames);
    w->endOfStream(frames);
}

}  // namespace testing
}  // namespace FD
