// Real-time factors of speech enhancement: 2-channel 16 kHz spectra of 257 bins (LENGTH
// 512), ADVANCE 160 (100 frames per second of audio), 0.5 s of noise learning, with the noise
// learned once (NOISE_UPDATE "NONE") and kept learning ("CONTINUOUS").
//
// The input is a synthetic voiced signal (harmonic bursts with a gliding pitch) in white
// noise at 5 dB SNR, turned into spectra once with a Hann window. The node runs as the host
// runs it (input fetch, a new output matrix per frame) on one thread; frames come from a ring
// of precomputed spectra, so the time is the node's own. Each figure is the best of 5 runs,
// as CPU time of the thread (robust when the machine is shared) and as wall-clock time.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "enhancement/SpeechEnhancement.h"
#include "enhancement/rfft.h"
#include "flow/Network.h"
#include "bench/support/RingSource.h"

namespace {

constexpr int kRate = 16000;
constexpr int kAdvance = 160;
constexpr int kLength = 512;
constexpr int kBins = kLength / 2 + 1;
constexpr int kRing = 1000;     // 10 s of audio
constexpr int kFrames = 20000;  // 200 s of audio per run
constexpr int kRuns = 5;

using Spectrum = FD::Matrix<std::complex<float>>;

// Two channels of voiced bursts in white noise at 5 dB SNR, on the 16-bit scale.
std::vector<std::vector<float>> makeSignal(int samples) {
    std::mt19937 rng(2024);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> voice(size_t(samples), 0.0f);
    double phase = 0.0;
    for (int n = 0; n < samples; ++n) {
        const double t = double(n) / kRate;
        const bool voiced = std::fmod(t, 0.7) > 0.25;
        const double f0 = 120.0 + 60.0 * std::sin(2.0 * M_PI * 0.8 * t);
        phase += 2.0 * M_PI * f0 / kRate;
        if (!voiced) continue;
        double v = 0.0;
        for (int h = 1; h <= 25 && h * f0 < kRate / 2; ++h) v += std::sin(h * phase) / h;
        voice[size_t(n)] = float(3000.0 * v);
    }
    double power = 0.0;
    for (float v : voice) power += double(v) * v;
    power /= samples;
    const float noiseRms = float(std::sqrt(power / std::pow(10.0, 0.5)));
    std::vector<std::vector<float>> channels(2, voice);
    for (auto& ch : channels)
        for (float& v : ch) v += noiseRms * g(rng);
    return channels;
}

std::vector<FD::ObjectRef> makeRing() {
    const std::vector<std::vector<float>> signal = makeSignal(kRing * kAdvance + kLength);
    rfft<float> fft;
    fft.setup(kLength / 2, kBins);
    std::vector<FD::ObjectRef> ring;
    for (int f = 0; f < kRing; ++f) {
        auto* s = new Spectrum(2, kBins);
        for (int ch = 0; ch < 2; ++ch) {
            for (int n = 0; n < kLength; ++n) {
                const float w = float(0.5 - 0.5 * std::cos(2.0 * M_PI * n / kLength));
                fft.samples[size_t(n)] = w * signal[size_t(ch)][size_t(f * kAdvance + n)];
            }
            fft.analyze();
            for (int k = 0; k < kBins - 1; ++k) (*s)(ch, k) = fft.spectrum[size_t(k)];
        }
        ring.push_back(FD::ObjectRef(s));
    }
    return ring;
}

// CPU time of this thread: the node's own time on its core, whatever else the machine runs.
double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

struct Timing {
    double wall = 1e300, cpu = 1e300;  // best of the runs, seconds
};

Timing nodeSeconds(const std::vector<FD::ObjectRef>& ring, const std::string& method, bool regen,
                   const std::string& update) {
    Timing best;
    for (int r = 0; r < kRuns; ++r) {
        FD::Network net;
        FD::ParameterSet p;
        p.add("NOISE_REDUCTION_METHOD", FD::ObjectRef(new FD::String(method)));
        p.add("HARMONIC_REGENERATION", FD::ObjectRef(new FD::String(regen ? "USE" : "NO")));
        p.add("NOISE_PERIOD", FD::ObjectRef(new FD::Float(0.5f)));
        p.add("ADVANCE", FD::ObjectRef(new FD::Int(kAdvance)));
        p.add("SAMPLING_RATE", FD::ObjectRef(new FD::Int(kRate)));
        p.add("NOISE_UPDATE", FD::ObjectRef(new FD::String(update)));
        FD::Node* source = net.addNode(new RingSource("spectra", ring, "SPECTRUM"));
        FD::Node* node = net.addNode(new SpeechEnhancement("enh", p));
        node->connectToNode("NOISY_SPEECH_SPECTRUM", source, "SPECTRUM");
        net.initialize();
        const double c0 = threadSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        for (int c = 0; c < kFrames; ++c) node->getOutput(0, c);
        const auto t1 = std::chrono::steady_clock::now();
        const double c1 = threadSeconds();
        best.wall = std::min(best.wall, std::chrono::duration<double>(t1 - t0).count());
        best.cpu = std::min(best.cpu, c1 - c0);
    }
    return best;
}

}  // namespace

// Arguments, all optional: a method name to run alone, "USE" or "off" for regeneration, and
// "NONE" or "CONTINUOUS" for the noise update.
int main(int argc, char** argv) {
    const std::string onlyMethod = argc > 1 ? argv[1] : "";
    const std::string onlyRegen = argc > 2 ? argv[2] : "";
    const std::string onlyUpdate = argc > 3 ? argv[3] : "";
    const std::vector<FD::ObjectRef> ring = makeRing();
    const double audio = double(kFrames) * kAdvance / kRate;
    std::printf(
        "SpeechEnhancement, 2 channels x %d bins, ADVANCE %d at %d Hz (%d frames = %.0f s of audio)\n", kBins,
        kAdvance, kRate, kFrames, audio);
    std::printf("%-28s %-6s %-11s %12s %12s %12s %12s\n", "method", "regen", "update", "cpu us/frame",
                "x real time", "wall us/fr", "x real time");
    for (const char* method : {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                               "MINIMUM_MEAN_SQUARE_ERROR"}) {
        if (!onlyMethod.empty() && onlyMethod != method) continue;
        for (bool regen : {false, true}) {
            if (!onlyRegen.empty() && onlyRegen != (regen ? "USE" : "off")) continue;
            for (const char* update : {"NONE", "CONTINUOUS"}) {
                if (!onlyUpdate.empty() && onlyUpdate != update) continue;
                const Timing t = nodeSeconds(ring, method, regen, update);
                std::printf("%-28s %-6s %-11s %12.2f %12.0f %12.2f %12.0f\n", method, regen ? "USE" : "off",
                            update, 1e6 * t.cpu / kFrames, audio / t.cpu, 1e6 * t.wall / kFrames, audio / t.wall);
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
