// A private Xvfb for window tests and benchmarks: it picks a free display number
// itself, so parallel programs never collide, and dies with the program.
#pragma once

#include <sys/types.h>

#include <string>

namespace vistest {

class XvfbServer {
public:
    XvfbServer() = default;
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    ~XvfbServer() { stop(); }

    // Starts a 1280 x 1024 x 24 server and sets DISPLAY; false with `error` set when it cannot.
    bool start(std::string& error);
    void stop();
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace vistest
