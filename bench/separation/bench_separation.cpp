// Speed of source separation: 2 channels, 2 sources, 16 kHz, 512-point frames (257 bins),
// hop 160, blocks of 3 s (300 frames).
//
//   bench_separation [MIXTURE.wav]
//
// The blocks are a synthetic two-source mixture, or the 3-s blocks of MIXTURE.wav (for
// instance the 9-s two-talker mixture scripts/eval_separation.py --keep DIR leaves in DIR).
// Prints, for each update rule, with LAPACK and with the closed-form 2 x 2 arithmetic:
//   1. the CPU time per block of the block kernel (stopping rule on) against the vectorised
//      numpy version of the same rule (scripts/numpy_separation.py) on the same blocks with
//      the same iteration counts, both on one BLAS thread, and how far the results differ;
//   2. where the kernel's time goes, exactly 100 iterations per block;
//   3. the time per block and real-time factor through the node.
// OpenBLAS is held to one thread. numpy runs with OPENBLAS_NUM_THREADS=1 and without
// OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE. BENCH_KEEP=1 keeps the block files numpy read.
#include <dlfcn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <armadillo>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "flow/Network.h"
#include "flow/nodes/AudioIO.h"
#include "flow/nodes/Stft.h"
#include "separation/SourceSeparation.h"
#include "separation/block_separation.h"

namespace {

using Spectrum = FD::Matrix<std::complex<float>>;
using Clock = std::chrono::steady_clock;
using separation::UpdateRule;

const int kRate = 16000, kHop = 160, kLength = 512, kBins = 257, kChannels = 2, kSources = 2;
const float kBlockSeconds = 3.0f;
const int kBlockFrames = 300, kSyntheticBlocks = 4;
const int kPasses = 3;  // the machine may be shared: best and median of the passes are shown

struct Rule {
    const char* label;
    const char* method;
    const char* numpyName;
    UpdateRule rule;
    int iterations;
};
const Rule kRules[] = {
    {"natural gradient", "[IVA]NATURAL_GRADIENT_DESCENT_METHOD", "natural", UpdateRule::NaturalGradient, 100},
    {"fixed point", "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION", "fixed", UpdateRule::FixedPoint, 100},
    {"auxiliary function", "[AuxIVA]ITERATIVE_PROJECTION", "auxiva", UpdateRule::AuxIva, 20},
};

using Block = arma::cx_fcube;  // M x T x K, as the kernel's input block

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

void singleThreadedBlas() {
    using SetThreads = void (*)(int);
    if (auto f = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"))) f(1);
}

// Two speech-like sources (their own log-normal envelopes over frames, shared by all
// bins) at -30 and +40 degrees, free field, microphones 18 cm apart.
std::vector<FD::ObjectRef> syntheticFrames(int frames) {
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

// Spectrum frames of a two-channel recording, framed as ShortTimeSpectrum frames them.
std::vector<FD::ObjectRef> recordingFrames(const std::string& path) {
    FD::nodes::AudioReader reader(path, kRate);
    if (reader.channels() != kChannels) throw std::runtime_error(path + " does not have 2 channels");
    FD::nodes::SpectrumAnalyzer analyzer(kLength, kHop);
    const long long frames = (reader.sampleCount() + kHop - 1) / kHop;
    std::vector<std::vector<float>> history(kChannels, std::vector<float>(kLength, 0.0f));
    std::vector<float> fresh(size_t(kHop) * kChannels);
    std::vector<FD::ObjectRef> out;
    for (long long f = 0; f < frames; ++f) {
        reader.read(fresh.data(), kHop);
        auto* m = new Spectrum(kChannels, kBins);
        for (int c = 0; c < kChannels; ++c) {
            std::vector<float>& h = history[size_t(c)];
            std::copy(h.begin() + kHop, h.end(), h.begin());
            for (int i = 0; i < kHop; ++i) h[size_t(kLength - kHop + i)] = fresh[size_t(i * kChannels + c)];
            analyzer.forward(h.data(), m->row(c));
        }
        out.push_back(FD::ObjectRef(m));
    }
    return out;
}

std::vector<Block> blocksOf(const std::vector<FD::ObjectRef>& frames) {
    std::vector<Block> blocks;
    for (size_t first = 0; first + kBlockFrames <= frames.size(); first += kBlockFrames) {
        Block X(kChannels, kBlockFrames, kBins - 1);
        for (int t = 0; t < kBlockFrames; ++t) {
            const Spectrum& m = dynamic_cast<const Spectrum&>(*frames[first + size_t(t)]);
            for (int c = 0; c < kChannels; ++c)
                for (int k = 0; k < kBins - 1; ++k) X(c, t, k) = m(c, k);
        }
        blocks.push_back(X);
    }
    return blocks;
}

// Layout of numpy_separation.py: int32 count, K, rows, T, then (block, bin, frame, row).
void writeBlocks(const std::string& path, const std::vector<Block>& blocks) {
    std::ofstream out(path, std::ios::binary);
    const int32_t header[4] = {int32_t(blocks.size()), int32_t(blocks[0].n_slices), int32_t(blocks[0].n_rows),
                               int32_t(blocks[0].n_cols)};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    for (const Block& b : blocks)
        out.write(reinterpret_cast<const char*>(b.memptr()), std::streamsize(b.n_elem * sizeof(b[0])));
}

struct KernelRun {
    std::vector<double> seconds;   // per block, best of the passes
    std::vector<int> iterations;   // per block
    std::vector<Block> separated;  // per block
};

KernelRun runKernel(const Rule& rule, bool closedForms, const std::vector<Block>& blocks) {
    KernelRun run;
    run.seconds.assign(blocks.size(), 1e9);
    separation::BlockSeparator sep;
    sep.useClosedForms(closedForms);
    for (int pass = 0; pass < kPasses; ++pass)
        for (size_t b = 0; b < blocks.size(); ++b) {
            sep.startBlock(kChannels, kSources, kBlockFrames, kBins - 1);
            sep.inputBlock = blocks[b];
            const double start = cpuSeconds();
            const int done = sep.separateBlock(rule.rule, rule.iterations, nullptr);
            run.seconds[b] = std::min(run.seconds[b], cpuSeconds() - start);
            if (pass == 0) {
                run.iterations.push_back(done);
                run.separated.push_back(sep.separatedBlock);
            }
        }
    return run;
}

std::string joined(const std::vector<int>& v) {
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s;
}

// The numpy rule on the same blocks: CPU seconds per block and the largest relative
// difference from the C++ results, or empty when numpy cannot run.
struct NumpyRun {
    std::vector<double> seconds;
    double difference = 0.0;
};

NumpyRun runNumpy(const Rule& rule, const std::string& blocksPath, const std::string& comparePath,
                  const std::vector<int>& iterations) {
    const std::string command = "env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OPENBLAS_NUM_THREADS=1 "
                                "/usr/bin/python3 " ZELKBP_SOURCE_DIR "/scripts/numpy_separation.py " +
                                blocksPath + " " + rule.numpyName + " " + joined(iterations) +
                                " --compare " + comparePath + " 2>&1";
    NumpyRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        int block = 0;
        double ms = 0.0, difference = 0.0;
        if (std::sscanf(line, "block %d: %lf ms, differs from C++ by %lf", &block, &ms, &difference) == 3) {
            run.seconds.push_back(ms * 1e-3);
            run.difference = std::max(run.difference, difference);
        } else {
            std::fprintf(stderr, "numpy: %s", line);
        }
    }
    if (pclose(pipe) != 0) run.seconds.clear();
    return run;
}

double sum(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

void compareWithNumpy(const std::vector<Block>& blocks) {
    char folder[] = "/tmp/bench_separation.XXXXXX";
    if (!mkdtemp(folder)) {
        std::printf("numpy comparison skipped: no temporary folder\n");
        return;
    }
    const std::string blocksPath = std::string(folder) + "/blocks.bin", comparePath = std::string(folder) + "/out.bin";
    writeBlocks(blocksPath, blocks);

    std::printf("block kernel against numpy, CPU ms per block (C++: best of %d passes), same blocks and "
                "iteration counts\n",
                kPasses);
    std::printf("%-20s %-12s %11s %11s %8s %12s   %s\n", "rule", "2x2 algebra", "C++ median", "numpy median",
                "speed-up", "difference", "iterations per block");
    for (const Rule& rule : kRules) {
        NumpyRun numpy;
        for (bool closedForms : {false, true}) {
            if (rule.rule == UpdateRule::AuxIva && !closedForms) continue;  // always closed forms
            const KernelRun cpp = runKernel(rule, closedForms, blocks);
            if (numpy.seconds.empty()) {
                writeBlocks(comparePath, cpp.separated);
                numpy = runNumpy(rule, blocksPath, comparePath, cpp.iterations);
            }
            const bool haveNumpy = numpy.seconds.size() == blocks.size();
            std::printf("%-20s %-12s %11.2f %11.2f %7.1fx %12.1e   %s\n", rule.label,
                        closedForms ? "closed form" : "LAPACK", median(cpp.seconds) * 1e3,
                        haveNumpy ? median(numpy.seconds) * 1e3 : NAN,
                        haveNumpy ? sum(numpy.seconds) / sum(cpp.seconds) : NAN, haveNumpy ? numpy.difference : NAN,
                        joined(cpp.iterations).c_str());
        }
    }
    std::printf("(speed-up: numpy CPU time over C++ CPU time, all blocks; difference: largest |numpy - C++| "
                "over the largest |C++| output, LAPACK run)\n\n");
    if (std::getenv("BENCH_KEEP")) {  // to rerun numpy_separation.py by hand
        std::printf("blocks kept in %s (the C++ results of the last rule in out.bin)\n\n", folder);
        return;
    }
    std::remove(blocksPath.c_str());
    std::remove(comparePath.c_str());
    rmdir(folder);
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

FD::ParameterSet nodeParams(const Rule& rule, bool closedForms) {
    FD::ParameterSet p;
    p.add("ITERATION_METHOD", FD::ObjectRef(new FD::String(rule.method)));
    p.add("NUMBER_OF_SOURCES_TO_BE_SEPARATED", FD::ObjectRef(new FD::Int(kSources)));
    p.add("MAX_ITERATION", FD::ObjectRef(new FD::Int(rule.iterations)));
    p.add("SEPARATION_TIME_LENGTH", FD::ObjectRef(new FD::Float(kBlockSeconds)));
    p.add("ADVANCE", FD::ObjectRef(new FD::Int(kHop)));
    p.add("SAMPLING_RATE", FD::ObjectRef(new FD::Int(kRate)));
    p.add("CLOSED_FORM_2X2", FD::ObjectRef(new FD::Bool(closedForms)));
    return p;
}

// CPU seconds of each block through the node, kPasses passes over the blocks.
std::vector<double> nodeSecondsPerBlock(const Rule& rule, bool closedForms, const std::vector<FD::ObjectRef>& frames) {
    const int blocks = int(frames.size()) / kBlockFrames;
    std::vector<double> perBlock;
    for (int pass = 0; pass < kPasses; ++pass) {
        FD::Network net;
        net.addNode(new FrameSource(frames));
        auto* sep = new SourceSeparation("sep", nodeParams(rule, closedForms));
        net.addNode(sep);
        net.connect("frames", "OUTPUT", "sep", "INPUT_AUDIO_SPECTRUM");
        net.initialize();
        // The spectra only: SOURCE_DIRECTIONS would need MICS_DISTANCE.
        const int spectra = sep->translateOutput("OUTPUT_AUDIO_SPECTRUM");
        for (int b = 0; b < blocks; ++b) {
            const double start = cpuSeconds();
            for (int t = 0; t < kBlockFrames; ++t) sep->getOutput(spectra, b * kBlockFrames + t);
            perBlock.push_back(cpuSeconds() - start);
        }
    }
    std::sort(perBlock.begin(), perBlock.end());
    return perBlock;
}

// Seconds spent in each stage of the kernel for one block, exactly 100 iterations (the
// stopping rule left out); the first two rules through their per-bin steps.
struct Stages {
    double whitening = 0, contrast = 0, update = 0, projection = 0;
    double total() const { return whitening + contrast + update + projection; }
};

Stages kernelStages(const Rule& rule, bool closedForms, const std::vector<Block>& blocks) {
    const int iterations = 100;
    std::vector<Stages> all;
    separation::BlockSeparator sep;
    auto timed = [](double& into, auto&& work) {
        const double start = cpuSeconds();
        work();
        into += cpuSeconds() - start;
    };
    for (int pass = 0; pass < kPasses; ++pass) {
        for (const Block& X : blocks) {
            Stages s;
            sep.startBlock(kChannels, kSources, kBlockFrames, kBins - 1);
            sep.inputBlock = X;
            timed(s.whitening, [&] {
                closedForms ? sep.whitenClosedForm() : sep.whiten();
                sep.initialiseDemixing();
                if (closedForms) sep.loadTwoSourceKernel();
            });
            for (int i = 0; i < iterations; ++i) {
                if (closedForms) {  // contrast and update in one batched call, counted as update
                    timed(s.update, [&] { sep.twoSourceIteration(rule.rule); });
                    continue;
                }
                timed(s.contrast, [&] { sep.computeContrast(); });
                timed(s.update, [&] {
                    for (int k = 0; k < kBins - 1; ++k) {
                        if (rule.rule == UpdateRule::NaturalGradient)
                            sep.naturalGradientStep(k);
                        else
                            sep.fixedPointStep(k);
                    }
                });
            }
            timed(s.projection, [&] { closedForms ? sep.projectBackClosedForm() : sep.projectBack(); });
            all.push_back(s);
        }
    }
    std::sort(all.begin(), all.end(), [](const Stages& a, const Stages& b) { return a.total() < b.total(); });
    return all.front();
}

}  // namespace

int main(int argc, char** argv) {
    singleThreadedBlas();
    std::vector<FD::ObjectRef> frames;
    try {
        frames = argc > 1 ? recordingFrames(argv[1]) : syntheticFrames(kSyntheticBlocks * kBlockFrames);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_separation: %s\n", e.what());
        return 1;
    }
    const std::vector<Block> blocks = blocksOf(frames);
    if (blocks.empty()) {
        std::fprintf(stderr, "bench_separation: %s is shorter than one block\n", argv[1]);
        return 1;
    }
    std::printf(
        "separation of %s: %d channels, %d sources, %d Hz, 512-point frames (%d bins), hop %d,\n"
        "%zu blocks of %.0f s (%d frames), at most 100 iterations (auxiliary function: 20), one BLAS thread\n\n",
        argc > 1 ? argv[1] : "a synthetic mixture", kChannels, kSources, kRate, kBins, kHop, blocks.size(),
        kBlockSeconds, kBlockFrames);

    compareWithNumpy(blocks);

    std::printf("kernel, exactly 100 iterations per block: CPU ms in the best block (closed forms: the\n"
                "contrast is computed inside the batched update)\n");
    std::printf("%-20s %-12s %10s %10s %10s %10s %10s\n", "rule", "2x2 algebra", "whitening", "Y,r,A,B", "update",
                "projection", "total");
    for (const Rule& rule : kRules) {
        for (bool closedForms : {false, true}) {
            if (rule.rule == UpdateRule::AuxIva && !closedForms) continue;
            const Stages s = kernelStages(rule, closedForms, blocks);
            std::printf("%-20s %-12s %10.2f %10.2f %10.2f %10.2f %10.2f\n", rule.label,
                        closedForms ? "closed form" : "LAPACK", s.whitening * 1e3, s.contrast * 1e3,
                        s.update * 1e3, s.projection * 1e3, s.total() * 1e3);
        }
    }

    std::printf("\nthrough the node, stopping when converged: CPU ms per block, best (median) of %zu blocks\n",
                kPasses * blocks.size());
    std::printf("%-20s %-12s %20s %20s\n", "rule", "2x2 algebra", "per block", "real time");
    for (const Rule& rule : kRules)
        for (bool closedForms : {false, true}) {
            if (rule.rule == UpdateRule::AuxIva && !closedForms) continue;
            // The node prints its progress lines: keep them out of the figures.
            std::ostringstream sink;
            std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
            const std::vector<double> seconds = nodeSecondsPerBlock(rule, closedForms, frames);
            std::cout.rdbuf(saved);
            const double best = seconds.front(), mid = seconds[seconds.size() / 2];
            std::printf("%-20s %-12s %8.1f (%6.1f) ms %10.1fx (%6.1fx)\n", rule.label,
                        closedForms ? "closed form" : "LAPACK", best * 1e3, mid * 1e3, kBlockSeconds / best,
                        kBlockSeconds / mid);
        }
    return 0;
}
