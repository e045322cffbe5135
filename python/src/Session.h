// A network file run on the caller's arrays.
//
// The file is read as the runner reads it, with one change made before it is
// loaded: the audio file source whose FILE argument the caller left out becomes an
// ArraySource, and each writer whose FILE argument the caller left out becomes the
// collector of the same kind (ArrayNodes.h). The loader itself is untouched; its
// messages name the caller's file and the node types written in it.
//
// Streaming: samples are appended in chunks of any size; a sink frame k is
// computed as soon as the source frames up to k + lookAhead() are complete, so the
// frames come out exactly as in a whole run. finish() closes the stream: the
// remaining frames are computed with silence past the end, and the writers finish.
//
// A network whose array input also feeds file writers is run whole at finish()
// (the writers need the recording's length before the first frame).
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ArrayNodes.h"
#include "flow/Network.h"
#include "flow/NetworkFile.h"

namespace zelkbp {

// Every problem of a network file and its arguments, one line each.
class LoadFailure : public std::runtime_error {
public:
    explicit LoadFailure(std::vector<std::string> problems);
    const std::vector<std::string>& problems() const { return problems_; }

private:
    std::vector<std::string> problems_;
};

// A frame could not be computed; the host's one-line message.
class RunFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a network file reads and writes through its arguments.
struct NetworkPorts {
    std::vector<FD::NetworkArgument> arguments;
    std::vector<std::string> inputs;             // arguments naming an audio file read
    std::map<std::string, std::string> outputs;  // argument -> writer type
};
NetworkPorts networkPorts(const std::string& path);

class Session {
public:
    Session(std::string path, std::map<std::string, std::string> args);
    ~Session();

    // The argument fed from arrays, empty when the network reads files only.
    const std::string& arrayInput() const { return input_; }
    // Collected outputs: argument -> writer type they stand for.
    const std::map<std::string, std::string>& collected() const { return collected_; }
    int samplingRate() const;
    int channels() const;  // 0 until known
    int lookAhead() const;
    long long framesDone() const { return next_; }
    bool closed() const { return closed_; }
    bool started() const { return started_; }
    // Seconds of audio in the stream run so far (file or arrays).
    double audioSeconds() const;

    // Appends `samples` per channel, row r at data + r * stride; checks the
    // channel count against earlier chunks (std::invalid_argument).
    void append(const float* data, int channels, long long samples, long long stride);
    // Computes the frames the samples so far complete.
    void process();
    // Ends the stream: remaining frames, then the writers finish their files.
    void finish();
    // A network reading its input from a file: runs it whole.
    void runFile();
    // Starts again with a freshly built network (all state dropped).
    void reset();

    const std::vector<Collector*>& collectors() const { return collectors_; }

private:
    std::unique_ptr<FD::Network> load(const FeedPlan& plan);
    void adopt();
    void processUpTo(long long frames);
    void fail(const std::string& message);
    std::string ownWords(std::string text) const;  // the caller's file and node types in a message

    std::string path_;
    std::map<std::string, std::string> args_;  // as given, plus markers for the replaced nodes
    std::string text_;                         // rewritten file, empty to load the file as it is
    std::string loadedAs_;                     // path the loader saw
    std::string input_;
    std::map<std::string, std::string> collected_;
    bool fileWriters_ = false;  // writers writing files are left in the network

    std::unique_ptr<FD::Network> net_;
    std::vector<ArraySource*> sources_;
    std::vector<Collector*> collectors_;
    long long next_ = 0;  // next sink frame to compute
    bool started_ = false, closed_ = false;
    std::string failed_;                    // the error that stopped the network
    std::vector<std::vector<float>> held_;  // whole-run mode: samples kept until finish()
};

}  // namespace zelkbp
