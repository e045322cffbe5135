// Start-up cost of a run: flowrun on networks/localize.n with a 1-s recording,
// repeated; prints the median and 90th percentile of the wall time, the CPU time
// (a busy helper thread shows as CPU above wall time) and the number of shared
// libraries the run loads. Other runner builds can be given to compare.
//
//   bench_startup [RUNS] [FLOWRUN ...]
//
// On a machine busy with other work the runs queue behind it and the wall times say
// little; `chrt -f 10 bench_startup` (as root) keeps them in front.
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/support/NoiseWav.h"

namespace {

struct Run {
    double wallMs = 0, cpuMs = 0;
    bool ok = false;
};

// One run of `flowrun` on the recording; with `loaderLog`, the dynamic loader's
// list of the files it loads goes to loaderLog.<pid>.
Run runOnce(const std::string& flowrun, const std::string& dir, const std::string& loaderLog = "") {
    const std::string input = "INPUT=" + dir + "/in.wav", localized = "LOCALIZED=" + dir + "/localized.jsonl",
                      tracked = "TRACKED=" + dir + "/tracked.jsonl";
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (!loaderLog.empty()) {
            setenv("LD_DEBUG", "files", 1);
            setenv("LD_DEBUG_OUTPUT", loaderLog.c_str(), 1);
        }
        execl(flowrun.c_str(), flowrun.c_str(), NETWORKS_DIR "/localize.n", input.c_str(), localized.c_str(),
              tracked.c_str(), "--quiet", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    Run r;
    r.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    r.cpuMs = 1e3 * (double(usage.ru_utime.tv_sec) + double(usage.ru_stime.tv_sec)) +
              1e-3 * (double(usage.ru_utime.tv_usec) + double(usage.ru_stime.tv_usec));
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// The shared objects a run loads (the program itself not counted).
int loadedLibraries(const std::string& flowrun, const std::string& dir) {
    const std::string prefix = dir + "/loader";
    runOnce(flowrun, dir, prefix);
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("loader.", 0) != 0) continue;
        std::ifstream log(entry.path());
        for (std::string line; std::getline(log, line);)
            count += line.find("generating link map") != std::string::npos;
        std::filesystem::remove(entry.path());
    }
    return count;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 40;
    std::vector<std::string> runners;
    for (int i = 2; i < argc; ++i) runners.push_back(argv[i]);
    if (runners.empty()) runners.push_back(FLOWRUN);
    if (runs < 1) {
        std::fprintf(stderr, "usage: bench_startup [RUNS] [FLOWRUN ...]\n");
        return 2;
    }
    char templ[] = "/tmp/bench_startupXXXXXX";
    if (!mkdtemp(templ)) return 1;
    const std::string dir = templ;
    int status = 0;
    if (!writeNoiseWav(dir + "/in.wav", 1)) {
        std::fprintf(stderr, "bench_startup: cannot write %s/in.wav\n", dir.c_str());
        status = 1;
    }
    for (const std::string& flowrun : runners) {
        if (status) break;
        for (int i = 0; i < 3; ++i) runOnce(flowrun, dir);  // files into the page cache
        std::vector<double> wall, cpu;
        bool ok = true;
        for (int i = 0; i < runs; ++i) {
            Run r = runOnce(flowrun, dir);
            ok = ok && r.ok;
            wall.push_back(r.wallMs);
            cpu.push_back(r.cpuMs);
        }
        std::printf(
            "%s networks/localize.n, 1 s of 16 kHz stereo, %d runs: wall median %.1f ms, p90 %.1f ms "
            "(target <= 10 ms); CPU median %.1f ms; %d shared libraries loaded%s\n",
            flowrun.c_str(), runs, percentile(wall, 0.5), percentile(wall, 0.9), percentile(cpu, 0.5),
            loadedLibraries(flowrun, dir), ok ? "" : "; A RUN FAILED");
        status = ok ? 0 : 1;
    }
    std::filesystem::remove_all(dir);
    return status;
}
