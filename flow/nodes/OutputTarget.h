// Where a writer's output goes, chosen by its name:
//
//   a path to a regular file (or to nothing yet)
//        written under a hidden name next to it, renamed at finish(): the file
//        appears complete or not at all (AtomicFile);
//   a character device, a FIFO or a socket path
//        opened and written in place, each frame handed on as it is done;
//   a symbolic link
//        followed: the link is kept and what it points to is written as above;
//   "-"  standard output, in place (the process's other output then goes to
//        standard error, see claimStandardOutput());
//   "tcp://HOST:PORT" (line writers only)
//        listens there; every client that connects gets the lines from then on.
//        A client whose queue (kTcpQueueBytes) runs full, because it stopped
//        reading, or that went away is dropped: the audio path never waits for
//        one. The port is closed by finish() or when the target is dropped.
//
// Errors name the output and are thrown as std::runtime_error.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "flow/nodes/AudioIO.h"

namespace FD {
namespace nodes {

class OutputTarget {
public:
    static constexpr size_t kTcpQueueBytes = 256 << 10;  // about 30 s of direction lines

    // Opens `name` (see above); "tcp://" is refused unless `tcpAllowed`.
    static std::unique_ptr<OutputTarget> open(const std::string& name, bool tcpAllowed);
    virtual ~OutputTarget() = default;

    const std::string& name() const { return name_; }
    // The regular file written under a hidden name (seekable), nullptr when the
    // output is written in place.
    virtual AtomicFile* file() { return nullptr; }

    virtual void write(const void* data, size_t n) = 0;
    void write(const std::string& text) { write(text.data(), text.size()); }
    // The frame's output is complete: an output written in place hands it on now.
    virtual void endFrame() {}
    // Everything is written: a regular file takes its final name, the rest is
    // flushed and closed.
    virtual void finish() = 0;

protected:
    explicit OutputTarget(std::string name) : name_(std::move(name)) {}

private:
    std::string name_;
};

// The file descriptor of the process's standard output, for outputs named "-".
// On first use standard output's descriptor is kept for them and descriptor 1 is
// pointed at standard error, so whatever else the process prints (progress text of
// nodes) stays out of the results.
int claimStandardOutput();

}  // namespace nodes
}  // namespace FD
