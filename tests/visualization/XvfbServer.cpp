#include "tests/visualization/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vistest {

bool XvfbServer::start(std::string& error) {
    if (pid_ > 0) return true;
    int fds[2];
    if (pipe(fds) != 0) return error = "pipe failed", false;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return close(fds[0]), close(fds[1]), error = "fork failed", false;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // gone with its program, even on a crash
        if (getppid() != parent) _exit(1);
        close(fds[0]);
        int quiet = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3 && quiet >= 0; ++fd) dup2(quiet, fd);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    pid_ = pid;
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos) {
        int ready = poll(&p, 1, 30000);
        char buf[32];
        ssize_t n = ready > 0 ? read(fds[0], buf, sizeof buf) : -1;
        if (n <= 0) {
            error = ready == 0 ? "Xvfb reported no display within 30 s" : "Xvfb exited (is it installed?)";
            close(fds[0]);
            stop();
            return false;
        }
        number.append(buf, size_t(n));
    }
    close(fds[0]);
    display_ = ":" + number.substr(0, number.find('\n'));
    setenv("DISPLAY", display_.c_str(), 1);
    return true;
}

void XvfbServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace vistest
