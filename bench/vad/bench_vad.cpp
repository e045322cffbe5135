// Real-time factor of voice activity detection: 2-channel 16 kHz spectra of 257 bins,
// ADVANCE 160 (100 frames per second of audio), 1 s of noise learning, with the statistics
// learned once (NOISE_UPDATE "NONE") and kept learning ("CONTINUOUS").
//
// Measures the node as the host runs it (input fetch, detection, the decision list
// and record it hands over) and the detector kernel alone, on one thread, as CPU time. Frames come
// from a ring of precomputed spectra, so the time is the node's own.
#include <algorithm>
#include <complex>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "flow/Network.h"
#include "vad/VoiceActivityDetection.h"
#include "vad/vad_detector.h"
#include "bench/support/RingSource.h"

namespace {

constexpr int kRate = 16000;
constexpr int kAdvance = 160;
constexpr int kBins = 257;
constexpr int kRing = 512;
constexpr int kFrames = 200000;  // 2000 s of audio per run
constexpr int kRuns = 5;

using Spectrum = FD::Matrix<std::complex<float>>;

// A ring of noise frames with a loud stretch every so often, so both decisions occur.
std::vector<FD::ObjectRef> makeRing() {
    std::mt19937 rng(12345);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<FD::ObjectRef> ring;
    for (int f = 0; f < kRing; ++f) {
        const float amplitude = (f % 64) >= 40 ? 30.0f : 1.0f;
        auto* s = new Spectrum(2, kBins);
        for (size_t i = 0; i < s->size(); ++i) s->data()[i] = {amplitude * g(rng), amplitude * g(rng)};
        ring.push_back(FD::ObjectRef(s));
    }
    return ring;
}

double secondsOfAudio(int frames) { return double(frames) * kAdvance / kRate; }

// CPU time of this thread: the detector's own time on its core, whatever else the machine runs.
double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Best of the runs, as CPU time of the thread (robust when the machine is shared).
template <class F>
double bestSeconds(F&& run) {
    double best = 1e300;
    for (int r = 0; r < kRuns; ++r) {
        const double t0 = threadSeconds();
        run();
        best = std::min(best, threadSeconds() - t0);
    }
    return best;
}

}  // namespace

int main() {
    const std::vector<FD::ObjectRef> ring = makeRing();
    const double audio = secondsOfAudio(kFrames);
    std::printf("VoiceActivityDetection, 2 x %d bins, %d Hz, ADVANCE %d, %d frames (%.0f s)\n", kBins, kRate,
                kAdvance, kFrames, audio);
    for (const char* update : {"NONE", "CONTINUOUS"}) {
        const enhancement::NoiseUpdate kind = *enhancement::parseNoiseUpdate(update);
        long speechFrames = 0;
        const double node = bestSeconds([&] {
            FD::Network net;
            FD::ParameterSet p;
            p.add("ADVANCE", FD::ObjectRef(new FD::Int(kAdvance)));
            p.add("SAMPLING_RATE", FD::ObjectRef(new FD::Int(kRate)));
            p.add("VAD_NOISE_DURATION", FD::ObjectRef(new FD::Float(1.0f)));
            p.add("VAD_THRESHOLD", FD::ObjectRef(new FD::Float(2.0f)));
            p.add("NOISE_UPDATE", FD::ObjectRef(new FD::String(update)));
            net.addNode(new RingSource("spectra", ring, "SPECTRUM"));
            FD::Node* vad = net.addNode(new VoiceActivityDetection("vad", p));
            net.connect("spectra", "SPECTRUM", "vad", "AUDIO_SPECTRUM");
            net.initialize();
            speechFrames = 0;
            for (int c = 0; c < kFrames; ++c) {
                FD::RCPtr<FD::Vector<FD::ObjectRef>> d = vad->getOutput(0, c);
                speechFrames += !d->empty();
            }
        });

        const double kernel = bestSeconds([&] {
            vad::Detector d(100, 2.0f, kind, double(kAdvance) / kRate);
            d.start(vad::bandOf(kRate, kBins));
            long speech = 0;
            for (int c = 0; c < kFrames; ++c) {
                const Spectrum& s = static_cast<const Spectrum&>(*ring[size_t(c % kRing)]);
                speech += d.process(s.row(0), s.row(1));
            }
            if (speech != speechFrames)
                std::printf("kernel and node disagree: %ld vs %ld\n", speech, speechFrames);
        });

        std::printf("  NOISE_UPDATE %-10s (%ld speech frames)\n", update, speechFrames);
        std::printf("    node   %7.1f ns/frame  real-time factor %8.0f  (target 5000)\n", node / kFrames * 1e9,
                    audio / node);
        std::printf("    kernel %7.1f ns/frame  real-time factor %8.0f\n", kernel / kFrames * 1e9, audio / kernel);
    }
    return 0;
}
