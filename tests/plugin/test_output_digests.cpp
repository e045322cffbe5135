// Output digests: every processing node of the plug-in, driven on fixed synthetic input,
// must give exactly the output bits recorded here. A change that means to alter a
// node's numbers records new values; any other change must leave them alone.
//
// To regenerate after an intended change:
//   ZELKBP_PRINT_DIGESTS=1 build/bin/test_output_digests
// prints one table row per case, to paste over kRecorded below.
//
// The input is made with integer and basic float arithmetic only (no transcendental
// calls), so it is the same on every machine. SourceSeparation goes through LAPACK
// and BLAS, whose last bits depend on the kernels OpenBLAS picks for the processor:
// its digests are recorded per kernel family (OPENBLAS_CORETYPE, which the test
// reads but never sets), and a family with no recorded value is reported, not failed.
// OpenBLAS is pinned to one thread.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "flow/Module.h"
#include "flow/Node.h"
#include "tests/support/NodeHarness.h"
#include "flow/Source.h"

using namespace FD;
using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

using Spectrum = Matrix<std::complex<float>>;
using SourceList = Vector<ObjectRef>;

constexpr int kBins = 257;  // a 512-point transform at 16 kHz, hop 160
constexpr int kAdvance = 160, kRate = 16000;

// FNV-1a, 64 bits, over the four bytes (lowest first) of each int or float fed to it.
struct Digest {
    template <class T>
    void add(T v) {
        static_assert(sizeof(T) == 4, "ints and floats only");
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int i = 0; i < 4; ++i) value = (value ^ ((bits >> (8 * i)) & 0xffu)) * 0x100000001b3ull;
    }
    uint64_t value = 0xcbf29ce484222325ull;
};

// Shape and element bits of a spectrum, or count and id / direction / power of
// each record of a source list.
void addFrame(Digest& d, const ObjectRef& frame) {
    if (auto* m = dynamic_cast<const Spectrum*>(frame.get())) {
        d.add(m->nrows());
        d.add(m->ncols());
        for (int r = 0; r < m->nrows(); ++r)
            for (int k = 0; k < m->ncols(); ++k) {
                d.add((*m)(r, k).real());
                d.add((*m)(r, k).imag());
            }
    } else if (auto* list = dynamic_cast<const SourceList*>(frame.get())) {
        d.add(int(list->size()));
        for (const ObjectRef& item : *list) {
            auto* s = dynamic_cast<const Source*>(item.get());
            ASSERT_NE(s, nullptr) << "a source list holds something else than a source";
            d.add(s->id);
            for (float c : s->x) d.add(c);
            d.add(s->power);
        }
    } else {
        FAIL() << "unexpected output type " << describeType(frame.get());
    }
}

// 64-bit linear congruential generator; values are multiples of 2^-23 in [-1, 1).
struct Noise {
    uint64_t state;
    float next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return float(int32_t(state >> 40) - (1 << 23)) / float(1 << 23);
    }
};

// The unit complex number ((1 - t^2) + 2ti) / (1 + t^2): a rotation without sin or cos.
std::complex<float> rotation(float t) {
    const float n = 1.0f + t * t;
    return {(1.0f - t * t) / n, 2.0f * t / n};
}

// Two microphones: sensor noise throughout; source A (rotation per bin `a`) in
// frames 60-219, source B (`b`, louder on every 8th bin, a harmonic comb) in frames
// 140-299; the last bin is zero. Frame f is a function of f alone.
ObjectRef sceneFrame(int f) {
    struct Talker {
        float step;
        int from, to;
        float level;
        bool comb;
    };
    static const Talker talkers[] = {{0.030f, 60, 220, 1500.0f, false}, {-0.045f, 140, 300, 2500.0f, true}};
    Noise noise{0x9e3779b97f4a7c15ull * uint64_t(f + 1)};
    auto frame = new Spectrum(2, kBins);
    for (int k = 0; k + 1 < kBins; ++k)
        for (int ch = 0; ch < 2; ++ch) (*frame)(ch, k) = {40.0f * noise.next(), 40.0f * noise.next()};
    for (const Talker& t : talkers) {
        if (f < t.from || f >= t.to) continue;
        const std::complex<float> step = rotation(t.step);
        std::complex<float> delay = 1.0f;  // step^k
        for (int k = 0; k + 1 < kBins; ++k, delay *= step) {
            const float level = t.comb && k % 8 == 0 ? 4.0f * t.level : t.level;
            const std::complex<float> s(level * noise.next(), level * noise.next());
            (*frame)(0, k) += s;
            (*frame)(1, k) += s * delay;
        }
    }
    return ObjectRef(frame);
}

// Localized directions as the tracker sees them: two slowly moving directions and
// a stray one, each present in most frames.
ObjectRef directionsFrame(int f) {
    Noise noise{0x2545f4914f6cdd1dull * uint64_t(f + 1)};
    auto list = new SourceList;
    const float tracks[] = {0.25f + 0.0005f * float(f), -0.5f, 0.8f * noise.next()};
    for (int i = 0; i < 3; ++i) {
        if (noise.next() < (i == 2 ? 0.2f : -0.6f)) continue;
        auto s = new Source;
        const std::complex<float> u = rotation(tracks[i] + 0.01f * noise.next());
        s->x[0] = u.real();
        s->x[1] = u.imag();
        s->power = 0.5f + 0.25f * noise.next();
        s->id = int32_t(list->size());
        list->push_back(ObjectRef(s));
    }
    return ObjectRef(list);
}

struct Case {
    const char* type;
    std::function<Params()> params;
    const char* input;
    ObjectRef (*frame)(int);
    const char* output;
    int frames;
};

Params localization(const char* headModel) {
    Params p;
    p.f("MICS_DISTANCE", 18.0f).f("GCCPHAT_THRESHOLD", 0.2f).s("SOUND_DIFFRACTION_COMPENSATION", headModel);
    p.i("ADVANCE", kAdvance).i("SAMPLING_RATE", kRate).f("FREQUENCY_HIGH", 4000.0f).f("FREQUENCY_LOW", 500.0f);
    return p.f("NOISE_DURATION", 0.5f);
}

Params enhancement(const char* method, const char* regeneration) {
    Params p;
    p.s("NOISE_REDUCTION_METHOD", method).s("HARMONIC_REGENERATION", regeneration).f("NOISE_PERIOD", 0.5f);
    return p.i("ADVANCE", kAdvance).i("SAMPLING_RATE", kRate);
}

Params separation(const char* method) {
    Params p;
    p.s("ITERATION_METHOD", method).i("NUMBER_OF_SOURCES_TO_BE_SEPARATED", 2).i("MAX_ITERATION", 10);
    return p.f("SEPARATION_TIME_LENGTH", 1.0f).i("ADVANCE", kAdvance).i("SAMPLING_RATE", kRate);
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = [] {
        std::vector<Case> c;
        for (const char* head : {"FREE_SPACE", "SPHERICAL_HEAD"})
            c.push_back({"BinauralMultisourceLocalization", [=] { return localization(head); },
                         "AUDIO_SPECTRUM", sceneFrame, "ESTIMATED_DOA", 300});
        c.push_back({"BinauralMultisourceTracker",
                     [] {
                         return Params()
                             .i("ADVANCE", kAdvance)
                             .i("SAMPLING_RATE", kRate)
                             .f("CLUSTERING_DURATION", 0.5f);
                     },
                     "ESTIMATED_DOA", directionsFrame, "TRACKED_DOA", 300});
        for (const char* method : {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                                   "MINIMUM_MEAN_SQUARE_ERROR"})
            for (const char* regeneration : {"NO", "USE"})
                c.push_back({"SpeechEnhancement", [=] { return enhancement(method, regeneration); },
                             "NOISY_SPEECH_SPECTRUM", sceneFrame, "SPEECH_EHANCED_SPECTRUM", 300});
        for (const char* method :
             {"[IVA]NATURAL_GRADIENT_DESCENT_METHOD", "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION"})
            c.push_back({"SourceSeparation", [=] { return separation(method); }, "INPUT_AUDIO_SPECTRUM",
                         sceneFrame, "OUTPUT_AUDIO_SPECTRUM", 300});
        c.push_back({"VoiceActivityDetection",
                     [] {
                         return Params()
                             .i("ADVANCE", kAdvance)
                             .i("SAMPLING_RATE", kRate)
                             .f("VAD_NOISE_DURATION", 0.5f)
                             .f("VAD_THRESHOLD", 1.0f);
                     },
                     "AUDIO_SPECTRUM", sceneFrame, "VAD_DECISION", 300});
        return c;
    }();
    return all;
}

// The name of a case: node type and its distinguishing parameter values.
std::string caseName(const Case& c) {
    std::string name = c.type;
    const Params params = c.params();
    const ParameterSet& p = params.set();
    for (const char* key : {"SOUND_DIFFRACTION_COMPENSATION", "NOISE_REDUCTION_METHOD", "HARMONIC_REGENERATION",
                            "ITERATION_METHOD"})
        if (p.exist(key)) name += " " + object_cast<String>(p.get(key));
    if (std::string(c.type) == "SourceSeparation") {
        const char* core = std::getenv("OPENBLAS_CORETYPE");
        name += std::string(" @") + (core && *core ? core : "auto");
    }
    return name;
}

// Recorded digests, by case name.
const std::vector<std::pair<std::string, uint64_t>> kRecorded = {
    {"BinauralMultisourceLocalization FREE_SPACE", 0xa5e7de6208accafbull},
    {"BinauralMultisourceLocalization SPHERICAL_HEAD", 0xbe10f9bcf4b4e29full},
    {"BinauralMultisourceTracker", 0x1caff5405d5564a5ull},
    {"SpeechEnhancement SPECTRAL_SUBTRACTION NO", 0x0950ee85f244417aull},
    {"SpeechEnhancement SPECTRAL_SUBTRACTION USE", 0x88f0f689286f93edull},
    {"SpeechEnhancement WIENER_FILTERING NO", 0x9e0577cea402cbb2ull},
    {"SpeechEnhancement WIENER_FILTERING USE", 0x37fe9eb4cffff09bull},
    {"SpeechEnhancement TWO_STEP_WIENER_FILTERING NO", 0xdecb8b18757ffc0cull},
    {"SpeechEnhancement TWO_STEP_WIENER_FILTERING USE", 0xe5d5c7fb0658b9cfull},
    {"SpeechEnhancement MINIMUM_MEAN_SQUARE_ERROR NO", 0x90729f5a55736bc1ull},
    {"SpeechEnhancement MINIMUM_MEAN_SQUARE_ERROR USE", 0x32c41741af119d45ull},
    {"SourceSeparation [IVA]NATURAL_GRADIENT_DESCENT_METHOD @Haswell", 0xf3314cc5e67849afull},
    {"SourceSeparation [FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION @Haswell", 0x0b6bb76bb8063a3full},
    {"SourceSeparation [IVA]NATURAL_GRADIENT_DESCENT_METHOD @Prescott", 0x5e312844ac7205a1ull},
    {"SourceSeparation [FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION @Prescott", 0x9f444207006cb5a8ull},
    {"VoiceActivityDetection", 0xee43d7b6b37b5bdcull},
};

uint64_t recorded(const std::string& name) {
    for (const auto& r : kRecorded)
        if (r.first == name) return r.second;
    return 0;
}

// Runs one case and returns the digest of its output frames (and, for the record,
// how many frames carried something: sources, or a non-zero spectrum).
uint64_t runCase(const Case& c, int& busyFrames) {
    std::unique_ptr<NodeHarness> h(NodeHarness::fromFactory(c.type, c.params()));
    h->feed(c.input, [&c](int count) { return c.frame(count); });
    h->initialize();
    std::srand(20261206);  // the tracker's k-means draws from rand()
    Digest d;
    busyFrames = 0;
    for (const ObjectRef& frame : h->run(c.output, c.frames)) {
        addFrame(d, frame);
        if (auto* list = dynamic_cast<const SourceList*>(frame.get())) busyFrames += !list->empty();
        if (auto* m = dynamic_cast<const Spectrum*>(frame.get())) busyFrames += std::abs((*m)(0, 40)) > 0.0f;
    }
    return d.value;
}

}  // namespace

TEST(OutputDigests, EveryProcessingNodeGivesTheRecordedBits) {
    setenv("OPENBLAS_NUM_THREADS", "1", 1);
    loadModule(ZELKBP_MODULE_FILE);
    const bool print = std::getenv("ZELKBP_PRINT_DIGESTS") != nullptr;
    for (const Case& c : cases()) {
        const std::string name = caseName(c);
        SCOPED_TRACE(name);
        int busy = 0;
        uint64_t digest = 0;
        ASSERT_EQ(FD::testing::hostError([&] { digest = runCase(c, busy); }), "");
        EXPECT_GT(busy, 0) << "the input leaves the output empty: the digest would pin nothing";
        if (print)
            std::printf("    {\"%s\", 0x%016llxull},  // %d of %d frames busy\n", name.c_str(),
                        static_cast<unsigned long long>(digest), busy, c.frames);
        else if (recorded(name) == 0)
            std::printf("no digest recorded for %s: not compared\n", name.c_str());
        else
            EXPECT_EQ(digest, recorded(name)) << "output bits changed (see the top of this file)";
    }
}
