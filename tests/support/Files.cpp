#include "tests/support/Files.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

extern char** environ;

namespace FD {
namespace testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelkbp-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string slurp(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

std::vector<short> noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> u(-32768, 32767);
    std::vector<short> v(n);
    for (short& x : v) x = short(u(gen));
    return v;
}

namespace {
template <class Sample, class Write>
void write(const std::string& path, int rate, int channels, const std::vector<Sample>& samples, int format,
           Write writeItems) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f || writeItems(f, samples.data(), sf_count_t(samples.size())) != sf_count_t(samples.size()) ||
        sf_close(f) != 0)
        std::abort();
}
}  // namespace

void writeWav(const std::string& path, int rate, int channels, const std::vector<short>& samples,
              int format) {
    write(path, rate, channels, samples, format, sf_write_short);
}

void writeWav(const std::string& path, int rate, int channels, const std::vector<float>& samples) {
    write(path, rate, channels, samples, SF_FORMAT_WAV | SF_FORMAT_PCM_16, sf_write_float);
}

std::vector<float> Wav::normalized() const {
    std::vector<float> v(samples.size());
    for (size_t i = 0; i < v.size(); ++i) v[i] = float(samples[i]) / 32768.0f;
    return v;
}

Wav readWav(const std::string& path) {
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

size_t Outcome::errLines() const { return size_t(std::count(err.begin(), err.end(), '\n')); }

Outcome flowrun(const std::string& args, const std::string& environment, int interruptAfterMs) {
    // exec: the shell becomes flowrun, so a signal reaches it.
    const std::string command = "exec env " + environment + " " + FLOWRUN + " " + args + " </dev/null";
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);

    Outcome run;
    const auto interruptAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(interruptAfterMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* text[2] = {&run.out, &run.err};
    for (int open = 2; open > 0;) {
        if (interruptAfterMs >= 0 && std::chrono::steady_clock::now() >= interruptAt) {
            kill(pid, SIGINT);
            interruptAfterMs = -1;
        }
        if (poll(fds, 2, 10) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                text[i]->append(buf, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return run;
}

std::string network(const std::string& file) { return std::string(NETWORKS_DIR) + "/" + file; }

}  // namespace testing
}  // namespace FD
