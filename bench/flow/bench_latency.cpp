// Latency of a live run: the demo recording (repeated to SECONDS) is fed through a
// pipe into networks/localize.n at its own pace, one hop of 160 samples every 10 ms,
// as a capture program would write it, with LOCALIZED=- read from flowrun's standard
// output. For every frame, the time from writing its last sample to reading its
// line; prints the median, the 99th percentile and the maximum. The hops start a
// second after the header, when flowrun is ready.
//
//   bench_latency [SECONDS]      (default 20)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Spawn.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kHop = 160, kRate = 16000, kChannels = 2;

std::string slurp(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string demo = slurp(DEMO_WAV);
    const size_t data = demo.find("data");
    if (data == std::string::npos) {
        std::fprintf(stderr, "bench_latency: cannot read %s\n", DEMO_WAV);
        return 1;
    }
    // An open-ended header, then the recording over and over.
    std::string header = demo.substr(0, data + 8);
    std::memset(&header[4], 0xff, 4);
    std::memset(&header[data + 4], 0xff, 4);
    const std::string pcm = demo.substr(data + 8);
    const size_t hopBytes = size_t(kHop) * kChannels * 2;
    const size_t hops = size_t(seconds) * kRate / kHop;

    char tracked[] = "/tmp/bench_latency_XXXXXX";
    int fd = mkstemp(tracked);
    if (fd >= 0) close(fd);
    FD::testing::Child run(
        {FLOWRUN, std::string(NETWORKS_DIR) + "/localize.n", "--quiet", "INPUT=-", "LOCALIZED=-",
         std::string("TRACKED=") + tracked, std::string("TRACKS=") + tracked + ".tracks"},
        true, true);

    std::vector<std::atomic<long long>> written(hops);  // ns since start when hop k was written
    // The header goes first; the hops start a second later, once flowrun has loaded
    // and waits for the first one (start-up is not latency).
    run.write(header.data(), header.size());
    const Clock::time_point start = Clock::now() + std::chrono::seconds(1);
    auto since = [start] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    };
    std::thread producer([&] {
        for (size_t k = 0; k < hops; ++k) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(10000 * (k + 1)));
            size_t at = (k * hopBytes) % pcm.size();
            std::string hop = pcm.substr(at, hopBytes);
            if (hop.size() < hopBytes) hop += pcm.substr(0, hopBytes - hop.size());
            written[k] = since();  // just before: the reader may see the line before write() returns here
            if (!run.write(hop.data(), hop.size())) break;
        }
        run.closeIn();
    });

    // Frame k ends with the samples of hop k; its line is "{"frame":k,...".
    std::vector<double> latency;
    std::string pending;
    char buf[65536];
    ssize_t n;
    while ((n = read(run.out(), buf, sizeof(buf))) > 0) {
        const long long now = since();
        pending.append(buf, size_t(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            long frame = std::strtol(pending.c_str() + 9, nullptr, 10);
            if (frame >= 0 && size_t(frame) < hops && written[size_t(frame)] > 0)
                latency.push_back(double(now - written[size_t(frame)]) / 1e6);
            pending.erase(0, end + 1);
        }
    }
    producer.join();
    int status = run.wait();
    std::remove(tracked);
    std::remove((std::string(tracked) + ".tracks").c_str());
    if (status != 0 || latency.empty()) {
        std::fprintf(stderr, "bench_latency: flowrun ended with status %d after %zu lines\n", status,
                     latency.size());
        return 1;
    }
    std::sort(latency.begin(), latency.end());
    auto at = [&](double q) {
        return latency[std::min(latency.size() - 1, size_t(q * double(latency.size())))];
    };
    std::printf("localize.n fed at its own pace through a pipe, LOCALIZED=-: %zu frames\n", latency.size());
    std::printf(
        "  last sample written -> line read: p50 %.2f ms, p99 %.2f ms, max %.2f ms (target p99 <= 10 ms)\n",
        at(0.5), at(0.99), latency.back());
    return 0;
}
