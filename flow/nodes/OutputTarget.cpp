#include "flow/nodes/OutputTarget.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace FD {
namespace nodes {

namespace {

std::runtime_error failure(const std::string& text) { return std::runtime_error(text); }
std::string systemError() { return std::strerror(errno); }

// A regular file: hidden name, then rename.
class FileTarget : public OutputTarget {
public:
    FileTarget(const std::string& name, const std::string& path) : OutputTarget(name), file_(path, name) {}
    AtomicFile* file() override { return &file_; }
    void write(const void* data, size_t n) override {
        if (n && std::fwrite(data, 1, n, file_.stream()) != n)
            throw failure("cannot write " + name() + ": " + systemError());
    }
    void finish() override {
        file_.stream();  // an empty output still gives an (empty) file
        file_.commit();
    }

private:
    AtomicFile file_;
};

// Written in place through a descriptor: what a frame brings is sent at its end.
class StreamTarget : public OutputTarget {
public:
    StreamTarget(const std::string& name, int fd, bool owned) : OutputTarget(name), fd_(fd), owned_(owned) {}
    ~StreamTarget() override {
        if (owned_ && fd_ >= 0) ::close(fd_);
    }
    void write(const void* data, size_t n) override { pending_.append(static_cast<const char*>(data), n); }
    void endFrame() override {
        size_t done = 0;
        while (done < pending_.size()) {
            ssize_t r = ::write(fd_, pending_.data() + done, pending_.size() - done);
            if (r >= 0) {
                done += size_t(r);
            } else if (errno != EINTR) {
                pending_.clear();
                throw failure("cannot write " + name() + ": " +
                              (errno == EPIPE ? std::string("its reader went away") : systemError()));
            }
        }
        pending_.clear();
    }
    void finish() override {
        endFrame();
        if (owned_ && ::close(fd_) != 0) {
            fd_ = -1;
            throw failure("cannot write " + name() + ": " + systemError());
        }
        fd_ = -1;
    }

private:
    int fd_;
    bool owned_;
    std::string pending_;
};

// Lines to every TCP client that connected, each with its own bounded queue.
class TcpTarget : public OutputTarget {
public:
    TcpTarget(const std::string& name, const std::string& host, const std::string& port)
        : OutputTarget(name) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE;
        addrinfo* found = nullptr;
        int err = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
        if (err != 0) throw failure("cannot listen on " + name + ": " + gai_strerror(err));
        std::string why = "no address";
        for (addrinfo* a = found; a && listen_ < 0; a = a->ai_next) {
            int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) continue;
            int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
            if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 16) == 0) {
                listen_ = fd;
            } else {
                why = systemError();
                ::close(fd);
            }
        }
        freeaddrinfo(found);
        if (listen_ < 0) throw failure("cannot listen on " + name + ": " + why);
    }
    ~TcpTarget() override { closeAll(); }

    void write(const void* data, size_t n) override {
        accept();
        for (Client& c : clients_) {
            if (c.fd < 0) continue;
            if (c.queue.size() - c.sent + n > kTcpQueueBytes) {
                drop(c);  // stopped reading: never let it hold up the audio
                continue;
            }
            c.queue.append(static_cast<const char*>(data), n);
        }
    }
    void endFrame() override {
        accept();
        send();
    }
    void finish() override {
        // The last lines get a moment to leave, then the port is released.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        send();
        while (waiting() && std::chrono::steady_clock::now() < until) {
            std::vector<pollfd> fds;
            for (Client& c : clients_)
                if (c.fd >= 0 && c.sent < c.queue.size()) fds.push_back({c.fd, POLLOUT, 0});
            poll(fds.data(), fds.size(), 50);
            send();
        }
        closeAll();
    }

private:
    struct Client {
        int fd;
        std::string queue;
        size_t sent = 0;
    };

    void accept() {
        for (;;) {
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            // A fixed kernel buffer: with the queue, all a client that stops reading may hold.
            int bytes = 64 << 10;
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
            clients_.push_back({fd, std::string(), 0});
        }
    }
    void send() {
        for (Client& c : clients_) {
            while (c.fd >= 0 && c.sent < c.queue.size()) {
                ssize_t r = ::send(c.fd, c.queue.data() + c.sent, c.queue.size() - c.sent,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
                if (r > 0) {
                    c.sent += size_t(r);
                } else if (r < 0 && errno == EINTR) {
                    continue;
                } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    break;
                } else {
                    drop(c);  // went away
                }
            }
            if (c.sent == c.queue.size()) {
                c.queue.clear();
                c.sent = 0;
            } else if (c.sent > kTcpQueueBytes / 2) {
                c.queue.erase(0, c.sent);
                c.sent = 0;
            }
        }
        std::vector<Client> open;
        for (Client& c : clients_)
            if (c.fd >= 0) open.push_back(std::move(c));
        clients_.swap(open);
    }
    bool waiting() const {
        for (const Client& c : clients_)
            if (c.fd >= 0 && c.sent < c.queue.size()) return true;
        return false;
    }
    void drop(Client& c) {
        ::close(c.fd);
        c.fd = -1;
        c.queue.clear();
        c.sent = 0;
    }
    void closeAll() {
        for (Client& c : clients_)
            if (c.fd >= 0) drop(c);
        clients_.clear();
        if (listen_ >= 0) ::close(listen_);
        listen_ = -1;
    }

    int listen_ = -1;
    std::vector<Client> clients_;
};

// The path a chain of symbolic links ends at (which may not exist yet).
std::string followLinks(const std::string& path) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::vector<char> buf(PATH_MAX + 1);
        ssize_t n = readlink(p.c_str(), buf.data(), PATH_MAX);
        if (n < 0) throw failure("cannot follow the link " + path + ": " + systemError());
        std::string target(buf.data(), size_t(n));
        size_t slash = p.rfind('/');
        if (target[0] != '/' && slash != std::string::npos) target = p.substr(0, slash + 1) + target;
        p = target;
    }
    throw failure("cannot follow the link " + path + ": too many levels of links");
}

int connectUnixSocket(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path))
        throw failure("cannot connect to " + path + ": the path is too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        std::string why = systemError();
        if (fd >= 0) ::close(fd);
        throw failure("cannot connect to the socket " + path + ": " + why);
    }
    return fd;
}

}  // namespace

int claimStandardOutput() {
    static int kept = -1;
    if (kept < 0) {
        std::fflush(stdout);
        std::cout.flush();
        kept = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (kept < 0) throw failure("cannot write standard output: " + systemError());
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    return kept;
}

std::unique_ptr<OutputTarget> OutputTarget::open(const std::string& name, bool tcpAllowed) {
    if (name == "-") return std::make_unique<StreamTarget>("standard output", claimStandardOutput(), false);
    if (name.compare(0, 6, "tcp://") == 0) {
        if (!tcpAllowed) throw failure("cannot write " + name + ": only line outputs go to tcp://");
        std::string where = name.substr(6);
        size_t colon = where.rfind(':');
        if (colon == std::string::npos || colon + 1 == where.size())
            throw failure("cannot listen on " + name + ": give tcp://HOST:PORT, like tcp://127.0.0.1:5000");
        std::string host = where.substr(0, colon);
        if (host.size() > 1 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        return std::make_unique<TcpTarget>(name, host, where.substr(colon + 1));
    }
    if (name.empty()) throw failure("no file name given");
    struct stat st;
    if (stat(name.c_str(), &st) != 0)  // nothing there yet, or a link to nothing yet
        return std::make_unique<FileTarget>(name, followLinks(name));
    if (S_ISREG(st.st_mode)) {  // renamed over where the links lead, the links kept
        char* real = realpath(name.c_str(), nullptr);
        if (!real) throw failure("cannot write " + name + ": " + systemError());
        std::string path = real;
        std::free(real);
        return std::make_unique<FileTarget>(name, path);
    }
    struct stat out;
    if (fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino)
        return std::make_unique<StreamTarget>(name, claimStandardOutput(), false);  // /dev/stdout: as "-"
    if (S_ISSOCK(st.st_mode)) return std::make_unique<StreamTarget>(name, connectUnixSocket(name), true);
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);  // a FIFO waits here for its reader
        if (fd < 0) throw failure("cannot write " + name + ": " + systemError());
        return std::make_unique<StreamTarget>(name, fd, true);
    }
    if (S_ISDIR(st.st_mode)) throw failure("cannot write " + name + ": it is a directory");
    throw failure("cannot write " + name + ": it is neither a file, a device, a FIFO nor a socket");
}

}  // namespace nodes
}  // namespace FD
