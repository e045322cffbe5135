// Speed and memory of a whole run: an hour (or the seconds given) of 16 kHz
// stereo noise through networks/roundtrip.n with flowrun, in a temporary folder.
// Prints the real-time factor and the peak resident memory of the runner.
//
//   bench_roundtrip [SECONDS]
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/NoiseWav.h"

int main(int argc, char** argv) {
    long seconds = argc > 1 ? std::atol(argv[1]) : 3600;
    if (seconds < 1) {
        std::fprintf(stderr, "usage: bench_roundtrip [SECONDS]\n");
        return 2;
    }
    char templ[] = "/tmp/bench_roundtripXXXXXX";
    if (!mkdtemp(templ)) return 1;
    const std::string dir = templ, in = dir + "/in.wav", out = dir + "/out.wav";
    int status = 1;
    if (writeNoiseWav(in, seconds)) {
        auto start = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            std::string input = "INPUT=" + in, output = "OUTPUT=" + out;
            execl(FLOWRUN, FLOWRUN, NETWORKS_DIR "/roundtrip.n", input.c_str(), output.c_str(), "--quiet",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int raw = 0;
        struct rusage usage {};
        wait4(pid, &raw, 0, &usage);
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        bool ok = WIFEXITED(raw) && WEXITSTATUS(raw) == 0 &&
                  std::filesystem::file_size(out) == std::filesystem::file_size(in);
        double factor = double(seconds) / wall;
        double peakMb = double(usage.ru_maxrss) / 1024.0;
        std::printf(
            "roundtrip.n, %ld s of 16 kHz stereo: %.2f s, %.0fx real time (target 300x), "
            "peak memory %.1f MB (target < 200 MB)%s\n",
            seconds, wall, factor, peakMb, ok ? "" : "; THE RUN FAILED");
        status = ok ? 0 : 1;
    } else {
        std::fprintf(stderr, "bench_roundtrip: cannot write %s\n", in.c_str());
    }
    std::filesystem::remove_all(dir);
    return status;
}
