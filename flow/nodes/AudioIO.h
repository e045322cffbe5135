// Audio file access for the host's I/O nodes, free of host types.
//
// AudioReader streams an audio file of any format libsndfile reads (WAV, FLAC,
// ...) and any channel count, on the 16-bit integer scale (a full-scale sample is
// +-32768), converting it to a target rate with libsamplerate when the file's rate
// differs. Past the last sample it delivers silence. Errors name the file and
// are thrown as std::runtime_error.
//
// AtomicFile is an output file that appears under its final name only when it is
// complete: it is written under a hidden temporary name in the same directory and
// renamed by commit() (or, when the run holds renames, once every output of the
// run is complete: flow/OutputFiles.h); dropped before that, the temporary file is
// removed.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "flow/OutputFiles.h"

typedef struct sf_private_tag SNDFILE;
typedef struct SRC_STATE_tag SRC_STATE;

namespace FD {
namespace nodes {

// Whether libsamplerate converts between the two rates (a factor of 256 at most);
// "" if so, else why not ("cannot resample NAME from A Hz to B Hz: ...").
std::string resamplingProblem(const std::string& name, int fromRate, int toRate);

class AudioReader {
public:
    AudioReader(const std::string& path, int targetRate);
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    int channels() const { return channels_; }
    int fileRate() const { return fileRate_; }
    bool resampling() const { return state_ != nullptr; }
    // Samples per channel at the target rate: all those whose time lies within
    // the file, ceil(fileSamples * targetRate / fileRate).
    long long sampleCount() const { return count_; }

    // Next `n` samples per channel, interleaved, into `out` (n * channels floats):
    // samples past the end of the stream are 0. A file that ends before the length
    // its header declares throws.
    void read(float* out, long long n);

private:
    long long readFile(float* out, long long n);  // at the file's rate, short at the end only
    long long countSamples();                      // decodes the whole file once, then rewinds
    static long supply(void* self, float** data);

    std::string path_;
    ReadFile reading_;  // no output of the run may replace the recording
    SNDFILE* file_ = nullptr;
    SRC_STATE* state_ = nullptr;
    int channels_ = 0, fileRate_ = 0, targetRate_ = 0;
    long long fileSamples_ = 0;  // per channel, as the header declares
    long long fileRead_ = 0;     // per channel, read from the file so far
    long long count_ = 0;        // per channel, at the target rate
    long long delivered_ = 0;    // per channel, handed out by read()
    std::vector<float> chunk_;   // file samples handed to the resampler
    std::string failure_;        // a read error met inside the resampler
};

class AtomicFile {
public:
    // `path`: the final name, links followed; `shown`: the name the user gave.
    explicit AtomicFile(const std::string& path, const std::string& shown = "");
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    const std::string& path() const { return path_; }
    int fd() const { return fd_; }
    // A stdio stream on the temporary file (opened on first use).
    FILE* stream();
    // Flushes, syncs and closes the file, which then takes its final name.
    void commit();

private:
    std::string path_;
    std::unique_ptr<PartFile> part_;
    int fd_ = -1;
    FILE* stream_ = nullptr;
    bool committed_ = false;
};

// The libsndfile format of a 16-bit result of `samples` per channel (-1: not known in
// advance): plain WAV when its data certainly fit the 32-bit sizes of a RIFF header,
// else RF64, which libsndfile writes as plain WAV after all when the file stays small
// (SFC_RF64_AUTO_DOWNGRADE).
int wavFormatFor(long long samples, int channels);
constexpr long long kWavDataLimit = 0xFFFFFFFFLL - 1024;  // header and chunk slack

// 16-bit integer of a sample on the 16-bit scale: rounded to nearest, clipped to
// -32768 .. 32767 (NaN gives 0). `clipped` counts the samples that did not fit.
short toPcm16(float x, long long& clipped);

}  // namespace nodes
}  // namespace FD
