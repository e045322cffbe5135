// Time per frame of localization and tracking at 16 kHz, 257 bins, ADVANCE 160
// (100 frames per second of audio), band 500 .. 4000 Hz (113 bins), 181 azimuths.
//
//   Score/<isa>      the direction score kernel alone, per instruction-set variant
//   LocalizationNode the node as the host runs it: input fetch, score, peaks and the
//                    source records it hands over (after its noise period)
//   TrackerNode      the tracker over a 50-frame window of two detections per frame
//   IdentityTracker  the identity tracker's kernel, and the SourceIdentityTracker node,
//   IdentityNode     on three talkers (each detected in 60 % of frames) plus a stray
//                    detection in one frame of five: time per frame (target 2 us)
//
// "x_realtime" is seconds of audio processed per second. Spectra come from a ring of
// precomputed frames, so the time is the node's own.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "flow/Network.h"
#include "localization/BinauralMultisourceLocalization.h"
#include "localization/BinauralMultisourceTracker.h"
#include "localization/SourceIdentityTracker.h"
#include "localization/identity_tracker.h"
#include "localization/gcc_phat.h"
#include "localization/score_kernel.h"
#include "flow/Source.h"
#include "bench/support/RingSource.h"

namespace {

constexpr int kRate = 16000, kAdvance = 160, kBins = 257, kRing = 256;
constexpr double kFrameSeconds = double(kAdvance) / kRate;
constexpr double kPi = 3.141592653589793;

using Spectrum = FD::Matrix<std::complex<float>>;

// Two sources (-30 and +40 degrees, free field, 18 cm) in alternate bins over noise.
std::vector<FD::ObjectRef> spectrumRing() {
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<FD::ObjectRef> ring;
    const double delays[2] = {18.0 * std::sin(-30 * kPi / 180) / 34050.0,
                              18.0 * std::sin(40 * kPi / 180) / 34050.0};
    for (int f = 0; f < kRing; ++f) {
        auto* s = new Spectrum(2, kBins);
        for (int k = 0; k + 1 < kBins; ++k) {
            const std::complex<float> src(100.0f * g(rng), 100.0f * g(rng));
            const double omega = 2.0 * kPi * k * kRate / (2.0 * (kBins - 1));
            const auto shift = std::complex<float>(std::polar(1.0, -omega * delays[(k + f) % 2]));
            (*s)(0, k) = src * shift + std::complex<float>(g(rng), g(rng));
            (*s)(1, k) = src + std::complex<float>(g(rng), g(rng));
        }
        ring.push_back(FD::ObjectRef(s));
    }
    return ring;
}

const std::vector<FD::ObjectRef>& ring() {
    static const std::vector<FD::ObjectRef> r = spectrumRing();
    return r;
}

void realTime(benchmark::State& state) {
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * kFrameSeconds, benchmark::Counter::kIsRate);
}

void Score(benchmark::State& state, localization::detail::Isa isa) {
    if (!localization::detail::isaAvailable(isa)) {
        state.SkipWithError("instruction set not available");
        return;
    }
    using namespace localization;
    Band band;
    bandFits(bandEdges(500.0f, 4000.0f, kRate, kBins), kBins, &band);
    const SteeringTables tables(HeadModel::FreeSpace, 18.0f, kRate, kBins, band);
    const std::vector<float> noise(kBins - 1, 2.0f);
    const auto score = detail::scoreKernelFor(isa);
    alignas(64) float p[kDirectionLanes];
    size_t f = 0;
    for (auto _ : state) {
        const auto& s = static_cast<const Spectrum&>(*ring()[f++ % kRing]);
        score(tables, s.row(0), s.row(1), noise.data(), p);
        benchmark::DoNotOptimize(p);
    }
    realTime(state);
}
BENCHMARK_CAPTURE(Score, generic, localization::detail::Isa::Generic)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Score, avx2, localization::detail::Isa::Avx2)->Unit(benchmark::kMicrosecond);

FD::ParameterSet localizationParams() {
    FD::ParameterSet p;
    p.add("MICS_DISTANCE", FD::ObjectRef(new FD::Float(18.0f)));
    p.add("GCCPHAT_THRESHOLD", FD::ObjectRef(new FD::Float(0.1f)));
    p.add("SOUND_DIFFRACTION_COMPENSATION", FD::ObjectRef(new FD::String("FREE_SPACE")));
    p.add("ADVANCE", FD::ObjectRef(new FD::Int(kAdvance)));
    p.add("SAMPLING_RATE", FD::ObjectRef(new FD::Int(kRate)));
    p.add("FREQUENCY_HIGH", FD::ObjectRef(new FD::Float(4000.0f)));
    p.add("FREQUENCY_LOW", FD::ObjectRef(new FD::Float(500.0f)));
    p.add("NOISE_DURATION", FD::ObjectRef(new FD::Float(0.5f)));
    return p;
}

void LocalizationNode(benchmark::State& state) {
    FD::Network net;
    net.addNode(new RingSource("spectra", ring()));
    FD::Node* node = net.addNode(new BinauralMultisourceLocalization("loc", localizationParams()));
    net.connect("spectra", "OUTPUT", "loc", "AUDIO_SPECTRUM");
    net.initialize();
    int count = 0;
    for (; count <= 51; ++count) node->getOutput(0, count);  // past the noise period
    size_t found = 0;
    for (auto _ : state) found += FD::RCPtr<FD::Vector<FD::ObjectRef>>(node->getOutput(0, count++))->size();
    state.counters["sources_per_frame"] = double(found) / double(state.iterations());
    realTime(state);
}
BENCHMARK(LocalizationNode)->Unit(benchmark::kMicrosecond);

void TrackerNode(benchmark::State& state) {
    std::vector<FD::ObjectRef> lists;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> jitter(-2.0, 2.0);
    for (int f = 0; f < kRing; ++f) {
        auto* v = new FD::Vector<FD::ObjectRef>();
        for (double az : {-30.0, 40.0}) {
            auto* s = new FD::Source();
            const double t = (az + jitter(rng)) * kPi / 180;
            s->x[0] = float(std::cos(t));
            s->x[1] = float(std::sin(t));
            v->push_back(FD::ObjectRef(s));
        }
        lists.push_back(FD::ObjectRef(v));
    }
    FD::ParameterSet p;
    p.add("ADVANCE", FD::ObjectRef(new FD::Int(kAdvance)));
    p.add("SAMPLING_RATE", FD::ObjectRef(new FD::Int(kRate)));
    p.add("CLUSTERING_DURATION", FD::ObjectRef(new FD::Float(0.5f)));
    FD::Network net;
    net.addNode(new RingSource("lists", lists));
    FD::Node* node = net.addNode(new BinauralMultisourceTracker("trk", p));
    net.connect("lists", "OUTPUT", "trk", "ESTIMATED_DOA");
    net.initialize();
    int count = 0;
    for (; count < 50; ++count) node->getOutput(0, count);  // a full window
    for (auto _ : state) benchmark::DoNotOptimize(node->getOutput(0, count++));
    realTime(state);
}
BENCHMARK(TrackerNode)->Unit(benchmark::kMicrosecond);

// Detections of three talkers (-40, +5 and +50 degrees, jittered by up to 2 degrees, each
// in 60 % of the frames) and a stray anywhere in one frame of five.
std::vector<std::vector<localization::TrackDetection>> threeTalkers() {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::vector<localization::TrackDetection>> frames(kRing);
    for (int f = 0; f < kRing; ++f) {
        for (double az : {-40.0, 5.0, 50.0})
            if (u(rng) < 0.6) frames[size_t(f)].push_back({az + 4.0 * u(rng) - 2.0, 0.4 + 0.4 * u(rng)});
        if (f % 5 == 0) frames[size_t(f)].push_back({180.0 * u(rng) - 90.0, 0.25});
    }
    return frames;
}

void IdentityTracker(benchmark::State& state) {
    const auto frames = threeTalkers();
    localization::IdentityTracker tracker{localization::IdentityTrackerSettings()};
    size_t f = 0, reported = 0;
    for (auto _ : state) {
        const auto& d = frames[f++ % kRing];
        reported += tracker.step(d.data(), int(d.size())).size();
    }
    state.counters["tracks_per_frame"] = double(reported) / double(state.iterations());
    realTime(state);
}
BENCHMARK(IdentityTracker)->Unit(benchmark::kMicrosecond);

void IdentityNode(benchmark::State& state) {
    std::vector<FD::ObjectRef> lists;
    for (const auto& frame : threeTalkers()) {
        auto* v = new FD::Vector<FD::ObjectRef>();
        for (const localization::TrackDetection& d : frame) {
            auto* s = new FD::Source();
            s->x[0] = float(std::cos(d.azimuth * kPi / 180));
            s->x[1] = float(std::sin(d.azimuth * kPi / 180));
            s->power = float(d.score);
            v->push_back(FD::ObjectRef(s));
        }
        lists.push_back(FD::ObjectRef(v));
    }
    FD::ParameterSet p;
    p.add("ADVANCE", FD::ObjectRef(new FD::Int(kAdvance)));
    p.add("SAMPLING_RATE", FD::ObjectRef(new FD::Int(kRate)));
    FD::Network net;
    net.addNode(new RingSource("lists", lists));
    FD::Node* node = net.addNode(new SourceIdentityTracker("ids", p));
    net.connect("lists", "OUTPUT", "ids", "ESTIMATED_DOA");
    net.initialize();
    int count = 0;
    size_t reported = 0;
    for (; count < 100; ++count) node->getOutput(0, count);  // tracks confirmed
    for (auto _ : state) reported += FD::RCPtr<FD::Vector<FD::ObjectRef>>(node->getOutput(0, count++))->size();
    state.counters["tracks_per_frame"] = double(reported) / double(state.iterations());
    realTime(state);
}
BENCHMARK(IdentityNode)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
