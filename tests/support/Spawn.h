// A child process with pipes to its standard input and output, for tests and
// benchmarks that feed the runner as a live producer would and read what it
// streams out.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace FD {
namespace testing {

class Child {
public:
    // Runs `argv` with `env` added to the environment. Standard input and output
    // are pipes held by `in()` / `out()` when asked for, else /dev/null; standard
    // error goes to the file `errPath` (or /dev/null).
    Child(const std::vector<std::string>& argv, bool pipeIn, bool pipeOut, const std::string& errPath = "",
          const std::vector<std::pair<std::string, std::string>>& env = {}) {
        int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
        if (pipeIn && pipe2(inPipe, O_CLOEXEC) != 0) std::abort();
        if (pipeOut && pipe2(outPipe, O_CLOEXEC) != 0) std::abort();
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(pipeIn ? inPipe[0] : null, 0);
            dup2(pipeOut ? outPipe[1] : null, 1);
            int err = errPath.empty() ? null : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
            signal(SIGPIPE, SIG_DFL);
            execv(args[0], args.data());
            _exit(127);
        }
        if (pipeIn) {
            close(inPipe[0]);
            in_ = inPipe[1];
        }
        if (pipeOut) {
            close(outPipe[1]);
            out_ = outPipe[0];
        }
    }
    ~Child() {
        closeIn();
        if (out_ >= 0) close(out_);
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            wait();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    int in() const { return in_; }
    int out() const { return out_; }
    void closeIn() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }
    // Writes everything (false when the child stopped reading).
    bool write(const void* data, size_t n) {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            ssize_t r = ::write(in_, p, n);
            if (r <= 0) return false;
            p += r;
            n -= size_t(r);
        }
        return true;
    }
    // Everything the child writes to its standard output until it closes it.
    std::string readAll() {
        std::string s;
        char buf[65536];
        ssize_t r;
        while ((r = ::read(out_, buf, sizeof(buf))) > 0) s.append(buf, size_t(r));
        return s;
    }
    // Exit status, or 128 + the signal that ended the child.
    int wait() {
        if (status_ >= 0) return status_;
        int raw = 0;
        waitpid(pid_, &raw, 0);
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status_;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    int status_ = -1;
};

}  // namespace testing
}  // namespace FD
