// Speed of the separation node: 2 channels, 2 sources, 16 kHz, 512-point frames (257
// bins), hop 160, blocks of 3 s (300 frames), 100 iterations, for both update rules.
// Prints the time per block and the real-time factor through the node, then where the
// time of the kernel goes. OpenBLAS is held to one thread, as on a shared machine.
#include <dlfcn.h>

#include <algorithm>
#include <armadillo>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <vector>

#include "flow/Network.h"
#include "separation/SourceSeparation.h"
#include "separation/block_separation.h"

namespace {

using Spectrum = FD::Matrix<std::complex<float>>;
using Clock = std::chrono::steady_clock;

const int kRate = 16000, kHop = 160, kBins = 257, kChannels = 2, kSources = 2, kIterations = 100;
const float kBlockSeconds = 3.0f;
const int kBlockFrames = 300, kBlocks = 4;
const int kPasses = 3;  // over all blocks; the machine may be shared, so the best and the median are shown

struct Rule {
    const char* label;
    const char* method;
    separation::UpdateRule rule;
};
const Rule kRules[] = {
    {"natural gradient", "[IVA]NATURAL_GRADIENT_DESCENT_METHOD", separation::UpdateRule::NaturalGradient},
    {"fixed point", "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION", separation::UpdateRule::FixedPoint},
};

void singleThreadedBlas() {
    using SetThreads = void (*)(int);
    if (auto f = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"))) f(1);
}

// Two speech-like sources (their own log-normal envelopes over frames, shared by all
// bins) at -30 and +40 degrees, free field, microphones 18 cm apart.
std::vector<FD::ObjectRef> mixtureFrames(int frames) {
    arma::arma_rng::set_seed(2024);
    const float azimuth[kSources] = {-30.0f, 40.0f};
    const double spacing = 0.18, sound = 343.0, pi = 3.14159265358979;
    arma::fmat envelope = arma::exp(1.5f * arma::randn<arma::fmat>(kSources, frames));
    std::vector<FD::ObjectRef> out;
    for (int t = 0; t < frames; ++t) {
        auto* m = new Spectrum(kChannels, kBins);
        for (int k = 0; k < kBins - 1; ++k) {
            const double f = double(k) * kRate / (2.0 * (kBins - 1));
            for (int n = 0; n < kSources; ++n) {
                const std::complex<float> s(envelope(n, t) * float(arma::randn()),
                                            envelope(n, t) * float(arma::randn()));
                const double delay =
                    spacing / 2 * std::sin(azimuth[n] * pi / 180) / sound;  // row 1 closer when > 0
                for (int c = 0; c < kChannels; ++c) {
                    const double phase = -2 * pi * f * (c == 0 ? delay : -delay);
                    (*m)(c, k) += s * std::complex<float>(float(std::cos(phase)), float(std::sin(phase)));
                }
            }
        }
        out.push_back(FD::ObjectRef(m));
    }
    return out;
}

class FrameSource : public FD::Node {
public:
    explicit FrameSource(const std::vector<FD::ObjectRef>& frames)
        : FD::Node("frames", FD::ParameterSet()), frames_(frames) {
        addOutput("OUTPUT");
    }
    FD::ObjectRef getOutput(int, int count) override { return frames_[size_t(count) % frames_.size()]; }

private:
    const std::vector<FD::ObjectRef>& frames_;
};

FD::ParameterSet nodeParams(const char* method) {
    FD::ParameterSet p;
    p.add("ITERATION_METHOD", FD::ObjectRef(new FD::String(method)));
    p.add("NUMBER_OF_SOURCES_TO_BE_SEPARATED", FD::ObjectRef(new FD::Int(kSources)));
    p.add("MAX_ITERATION", FD::ObjectRef(new FD::Int(kIterations)));
    p.add("SEPARATION_TIME_LENGTH", FD::ObjectRef(new FD::Float(kBlockSeconds)));
    p.add("ADVANCE", FD::ObjectRef(new FD::Int(kHop)));
    p.add("SAMPLING_RATE", FD::ObjectRef(new FD::Int(kRate)));
    return p;
}

// Seconds of each block through the node, kPasses passes over the blocks.
std::vector<double> nodeSecondsPerBlock(const Rule& rule, const std::vector<FD::ObjectRef>& frames) {
    std::vector<double> perBlock;
    for (int pass = 0; pass < kPasses; ++pass) {
        FD::Network net;
        net.addNode(new FrameSource(frames));
        net.addNode(new SourceSeparation("sep", nodeParams(rule.method)));
        net.connect("frames", "OUTPUT", "sep", "INPUT_AUDIO_SPECTRUM");
        net.initialize();
        for (int b = 0; b < kBlocks; ++b) {
            const Clock::time_point start = Clock::now();
            for (int t = 0; t < kBlockFrames; ++t) net.process(b * kBlockFrames + t);
            perBlock.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
    }
    std::sort(perBlock.begin(), perBlock.end());
    return perBlock;
}

void loadBlock(separation::BlockSeparator& sep, const std::vector<FD::ObjectRef>& frames, int block) {
    sep.startBlock(kChannels, kSources, kBlockFrames, kBins - 1);
    for (int t = 0; t < kBlockFrames; ++t) {
        const Spectrum& m = dynamic_cast<const Spectrum&>(*frames[size_t(block * kBlockFrames + t)]);
        for (int c = 0; c < kChannels; ++c)
            for (int k = 0; k < kBins - 1; ++k) sep.inputBlock(c, t, k) = m(c, k);
    }
}

// Iterations the stopping rule lets each block run, as "100,100,...".
std::string iterationsPerBlock(const Rule& rule, const std::vector<FD::ObjectRef>& frames) {
    separation::BlockSeparator sep;
    std::string out;
    for (int b = 0; b < kBlocks; ++b) {
        loadBlock(sep, frames, b);
        out += (b ? "," : "") + std::to_string(sep.separateBlock(rule.rule, kIterations, nullptr));
    }
    return out;
}

// Seconds spent in each stage of the kernel for one block, exactly kIterations
// iterations (the stopping rule left out).
struct Stages {
    double whitening = 0, contrast = 0, update = 0, projection = 0;
    double total() const { return whitening + contrast + update + projection; }
};

// Every block of every pass, sorted by total time.
std::vector<Stages> kernelStages(const Rule& rule, const std::vector<FD::ObjectRef>& frames) {
    std::vector<Stages> all;
    separation::BlockSeparator sep;
    auto timed = [](double& into, auto&& work) {
        const Clock::time_point start = Clock::now();
        work();
        into += std::chrono::duration<double>(Clock::now() - start).count();
    };
    for (int pass = 0; pass < kPasses; ++pass) {
        for (int b = 0; b < kBlocks; ++b) {
            Stages s;
            loadBlock(sep, frames, b);
            timed(s.whitening, [&] {
                sep.whiten();
                sep.initialiseDemixing();
            });
            for (int i = 0; i < kIterations; ++i) {
                timed(s.contrast, [&] { sep.computeContrast(); });
                timed(s.update, [&] {
                    for (int k = 0; k < kBins - 1; ++k) {
                        if (rule.rule == separation::UpdateRule::NaturalGradient)
                            sep.naturalGradientStep(k);
                        else
                            sep.fixedPointStep(k);
                    }
                });
            }
            timed(s.projection, [&] { sep.projectBack(); });
            all.push_back(s);
        }
    }
    std::sort(all.begin(), all.end(), [](const Stages& a, const Stages& b) { return a.total() < b.total(); });
    return all;
}

}  // namespace

int main() {
    singleThreadedBlas();
    const std::vector<FD::ObjectRef> frames = mixtureFrames(kBlocks * kBlockFrames);
    std::printf(
        "separation: %d channels, %d sources, %d Hz, 512-point frames (%d bins), hop %d,\n"
        "blocks of %.0f s (%d frames), at most %d iterations, OpenBLAS on one thread\n\n",
        kChannels, kSources, kRate, kBins, kHop, kBlockSeconds, kBlockFrames, kIterations);

    std::printf("through the node, stopping when converged: best (median) of %d blocks\n", kPasses * kBlocks);
    std::printf("%-18s %20s %18s   %s\n", "rule", "per block", "real time", "iterations per block");
    for (const Rule& rule : kRules) {
        // The node prints its progress lines: keep them out of the figures.
        std::ostringstream sink;
        std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
        const std::vector<double> seconds = nodeSecondsPerBlock(rule, frames);
        std::cout.rdbuf(saved);
        const double best = seconds.front(), median = seconds[seconds.size() / 2];
        std::printf("%-18s %7.1f (%6.1f) ms %7.1fx (%6.1fx)   %s\n", rule.label, best * 1e3, median * 1e3,
                    kBlockSeconds / best, kBlockSeconds / median, iterationsPerBlock(rule, frames).c_str());
    }

    std::printf("\nkernel, exactly %d iterations per block: where the time goes, ms in the best block\n",
                kIterations);
    std::printf("%-18s %10s %10s %10s %10s %10s %20s\n", "rule", "whitening", "Y,r,A,B", "update",
                "projection", "total", "real time (median)");
    for (const Rule& rule : kRules) {
        const std::vector<Stages> all = kernelStages(rule, frames);
        const Stages& s = all.front();
        std::printf("%-18s %10.2f %10.2f %10.2f %10.2f %10.2f %10.1fx (%6.1fx)\n", rule.label,
                    s.whitening * 1e3, s.contrast * 1e3, s.update * 1e3, s.projection * 1e3, s.total() * 1e3,
                    kBlockSeconds / s.total(), kBlockSeconds / all[all.size() / 2].total());
    }
    return 0;
}
