// Test support for files and the runner: temporary folders that are always
// removed, WAV files written and read back, seeded noise, and flowrun run as a
// user runs it.
#pragma once

#include <sndfile.h>

#include <string>
#include <vector>

namespace FD {
namespace testing {

// A new folder under the system's temporary folder, removed with everything in
// it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& file) const { return path_ + "/" + file; }
    std::vector<std::string> files() const;  // names, hidden ones included

private:
    std::string path_;
};

// The bytes of a file ("" when it cannot be read).
std::string slurp(const std::string& path);

// n samples of uniform 16-bit noise.
std::vector<short> noise(size_t n, unsigned seed);

// Interleaved samples on the 16-bit scale, as a 16-bit WAV file (or `format`).
// Aborts the test program when the file cannot be written.
void writeWav(const std::string& path, int rate, int channels, const std::vector<short>& samples,
              int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16);
// Interleaved samples in -1 .. 1, as a 16-bit WAV file.
void writeWav(const std::string& path, int rate, int channels, const std::vector<float>& samples);

struct Wav {
    int rate = 0, channels = 0;
    std::vector<short> samples;  // interleaved
    long frames() const { return channels ? long(samples.size()) / channels : 0; }
    std::vector<float> normalized() const;  // samples / 32768
};
// The file read back; rate 0 when it cannot be read.
Wav readWav(const std::string& path);

// What a run of flowrun gave: its exit status (128 + signal when killed) and
// what it wrote to standard output and standard error.
struct Outcome {
    int status = -1;
    std::string out, err;
    size_t errLines() const;
};
// Runs `flowrun ARGS` (a shell command line after the program name) with an
// empty standard input; `environment` ("NAME=VALUE ...") is added to its
// environment; with `interruptAfterMs` >= 0 it gets SIGINT after that long.
Outcome flowrun(const std::string& args, const std::string& environment = "", int interruptAfterMs = -1);

// An example network by file name ("roundtrip.n").
std::string network(const std::string& file);

}  // namespace testing
}  // namespace FD
