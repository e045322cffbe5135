// Where a source's samples come from, behind one interface: an audio file, a
// stream on standard input or a FIFO, or live capture through ALSA.
//
// An AudioInput delivers interleaved float samples on the 16-bit integer scale
// (full scale +-32768) at a fixed rate and channel count. A file knows its length
// up front; a stream or a capture does not: it ends when its producer does (end of
// file on the pipe, the end of the capture) or when FD::requestStop() is called. Errors
// are thrown as std::runtime_error naming the input.
//
//   "path/to/file.wav"   any format libsndfile reads (AudioReader), resampled to the rate asked for
//   "-"                  standard input: a WAV stream (its header's sizes are not trusted: a
//                        capture program writing into a pipe cannot fill them in), or any
//                        other format libsndfile reads from a pipe
//   a FIFO path          the same as "-"
//   "alsa:DEVICE"        capture from an ALSA PCM ("alsa:default", "alsa:hw:1,0", ...)
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace FD {
namespace nodes {

class AudioInput {
public:
    virtual ~AudioInput() = default;

    virtual int channels() const = 0;
    virtual int rate() const = 0;
    // The rate the samples had before resampling to rate().
    virtual int nativeRate() const { return rate(); }
    // Samples per channel of the whole input when known up front (a file), else -1.
    virtual long long length() const { return -1; }
    // What the input is, for messages ("standard input", "ALSA device hw:1,0", a path).
    virtual std::string describe() const = 0;

    // Reads up to `n` samples per channel, interleaved, into `out` (n * channels()
    // floats). Blocks until `n` have come or the input has ended, and returns how many
    // came: fewer than `n` only at the end, 0 from then on.
    virtual long long read(float* out, long long n) = 0;

    // Capture overruns met and recovered from (samples were lost each time).
    virtual long long overruns() const { return 0; }
};

// Samples handed in by another part of the program (a binding, a test) while the
// network runs: push() blocks of interleaved samples, end() after the last. read()
// waits for them; a stop request ends it too. push() never waits (the blocks queue up).
class PushedInput : public AudioInput {
public:
    PushedInput(int channels, int rate, std::string what = "pushed samples");
    ~PushedInput() override;
    int channels() const override { return channels_; }
    int rate() const override { return rate_; }
    std::string describe() const override { return what_; }
    long long read(float* out, long long n) override;

    void push(const float* interleaved, long long samples);  // samples per channel
    void end();

private:
    struct Queue;
    int channels_, rate_;
    std::string what_;
    std::unique_ptr<Queue> queue_;
};

// Makes "NAME" (any name, e.g. "py:mic") an input spec: openAudioInput(NAME, ...)
// then calls `open` with the rate asked for. Replaces an earlier one of that name.
void provideAudioInput(const std::string& name, std::function<std::unique_ptr<AudioInput>(int rate)> open);

// Opens `spec` (see above) at `rate` samples per second. `captureChannels` is the
// channel count asked of a capture device (0: two); files and streams have their own.
std::unique_ptr<AudioInput> openAudioInput(const std::string& spec, int rate, int captureChannels);

// True when `spec` is a stream whose header comes only when its producer writes it
// ("-", a FIFO): opening it waits for the producer.
bool waitsForProducer(const std::string& spec);

// Wraps `input` so that it delivers `rate` samples per second (libsamplerate); the
// length grows or shrinks with the ratio, and the end is flushed out of the converter.
std::unique_ptr<AudioInput> resampled(std::unique_ptr<AudioInput> input, int rate);

}  // namespace nodes
}  // namespace FD
