// Real-time factor of the whole localization network (networks/localize.n: audio file,
// short-time spectrum, localization, tracker, two JSON Lines writers) as flowrun runs
// it, start-up included, on a generated 16 kHz stereo recording of 120 s: two white
// noise sources from -30 and +40 degrees (18 cm, free field, whole-sample delays)
// taking turns and overlapping, over sensor noise.
//
//   bench_localization_network [SECONDS]
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 16000;

void put16(std::FILE* f, uint16_t v) { std::fputc(v & 0xff, f), std::fputc(v >> 8, f); }
void put32(std::FILE* f, uint32_t v) { put16(f, uint16_t(v & 0xffff)), put16(f, uint16_t(v >> 16)); }

bool writeWav(const std::string& path, const std::vector<int16_t>& interleaved) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const uint32_t bytes = uint32_t(interleaved.size() * 2);
    std::fwrite("RIFF", 1, 4, f), put32(f, 36 + bytes), std::fwrite("WAVEfmt ", 1, 8, f);
    put32(f, 16), put16(f, 1), put16(f, 2), put32(f, kRate), put32(f, kRate * 4), put16(f, 4), put16(f, 16);
    std::fwrite("data", 1, 4, f), put32(f, bytes);
    for (int16_t s : interleaved) put16(f, uint16_t(s));
    return std::fclose(f) == 0;
}

std::vector<int16_t> render(int seconds) {
    const size_t n = size_t(seconds) * kRate;
    std::mt19937 rng(2024);
    std::normal_distribution<double> g(0.0, 1.0);
    const double pi = 3.141592653589793;
    const int delays[2] = {int(std::lround(18.0 * std::sin(-30 * pi / 180) / 34050.0 * kRate)),
                           int(std::lround(18.0 * std::sin(40 * pi / 180) / 34050.0 * kRate))};
    std::vector<double> src[2] = {std::vector<double>(n), std::vector<double>(n)};
    for (int s = 0; s < 2; ++s)
        for (size_t i = 0; i < n; ++i) {
            const double t = double(i) / kRate;
            const bool on = t > 0.6 && std::fmod(t + s * 1.5, 4.0) < 2.5;  // each talks 2.5 s of 4
            src[s][i] = on ? 2000.0 * g(rng) : 0.0;
        }
    std::vector<int16_t> out(2 * n);
    auto clip = [](double v) { return int16_t(std::max(-32768.0, std::min(32767.0, std::round(v)))); };
    for (size_t i = 0; i < n; ++i) {
        double l = 100.0 * g(rng), r = 100.0 * g(rng);
        for (int s = 0; s < 2; ++s) {
            // The left microphone hears a source on the right (positive azimuth) later.
            const long li = long(i) - std::max(0, delays[s]), ri = long(i) + std::min(0, delays[s]);
            if (li >= 0) l += src[s][size_t(li)];
            if (ri >= 0) r += src[s][size_t(ri)];
        }
        out[2 * i] = clip(l);
        out[2 * i + 1] = clip(r);
    }
    return out;
}

std::string programDirectory() {
    char buf[4096];
    const ssize_t len = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (len <= 0) return ".";
    std::string path(buf, size_t(len));
    return path.substr(0, path.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench_localization_network [SECONDS]\n");
        return 2;
    }
    char dir[] = "/tmp/bench_localization.XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("bench_localization_network: mkdtemp");
        return 1;
    }
    const std::string wav = std::string(dir) + "/two_sources.wav";
    if (!writeWav(wav, render(seconds))) {
        std::fprintf(stderr, "bench_localization_network: cannot write %s\n", wav.c_str());
        return 1;
    }
    const std::string command = programDirectory() + "/flowrun " + ZELKBP_SOURCE_DIR +
                                "/networks/localize.n --quiet INPUT=" + wav + " LOCALIZED=" + dir +
                                "/localized.jsonl TRACKED=" + dir + "/tracked.jsonl TRACKS=" + dir + "/tracks.jsonl 2>" + dir +
                                "/stderr";
    double best = 1e300;
    int status = 0;
    for (int run = 0; run < 3 && status == 0; ++run) {
        const auto start = std::chrono::steady_clock::now();
        status = std::system(command.c_str());
        best =
            std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    if (status != 0) {
        std::fprintf(stderr, "bench_localization_network: flowrun failed: %s\n", command.c_str());
        if (std::FILE* err = std::fopen((std::string(dir) + "/stderr").c_str(), "r")) {
            for (int c; (c = std::fgetc(err)) != EOF;) std::fputc(c, stderr);
            std::fclose(err);
        }
    }
    std::remove(wav.c_str());
    std::remove((std::string(dir) + "/stderr").c_str());
    std::remove((std::string(dir) + "/localized.jsonl").c_str());
    std::remove((std::string(dir) + "/tracked.jsonl").c_str());
    std::remove((std::string(dir) + "/tracks.jsonl").c_str());
    rmdir(dir);
    if (status != 0) return 1;
    std::printf(
        "localize.n on %d s of 16 kHz stereo: %.3f s, %.0fx real time (best of 3, start-up included)\n",
        seconds, best, seconds / best);
    return 0;
}
