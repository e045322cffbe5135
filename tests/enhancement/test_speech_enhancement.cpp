// The node through the host: learning frames, row order through the shared enhanced power,
// refused spectra, and input that must not break it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "enhancement/SpeechEnhancement.h"
#include "enhancement/gain_rules.h"
#include "tests/enhancement/enhancement_test_util.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using namespace enhancement_test;
using FD::testing::hostError;
using FD::testing::NodeHarness;
using cfloat = std::complex<float>;
using Spectrum = Matrix<cfloat>;

namespace {

using Script = FD::testing::ScriptedSource::Script;

// Learning for `noisePeriod` s, 160 samples per frame at 16 kHz.
std::unique_ptr<NodeHarness> node(const char* method, const char* regen, Script script,
                                  float noisePeriod = 0.03f, const char* noiseUpdate = nullptr) {
    FD::testing::Params p;
    p.s("NOISE_REDUCTION_METHOD", method).s("HARMONIC_REGENERATION", regen).f("NOISE_PERIOD", noisePeriod);
    if (noiseUpdate) p.s("NOISE_UPDATE", noiseUpdate);
    auto h = std::make_unique<NodeHarness>(
        new SpeechEnhancement("enh", p.i("ADVANCE", 160).i("SAMPLING_RATE", 16000)));
    h->feed("NOISY_SPEECH_SPECTRUM", script);
    h->initialize();
    return h;
}

// Two rows of complex Gaussian noise, power `noise`, plus from frame 3 a tone of power `tone` at bin 5.
ObjectRef noisyFrame(int count, int cols, float noise = 100.0f, float tone = 1e4f) {
    std::mt19937 gen(unsigned(1234 + count));
    std::normal_distribution<float> dist(0.0f, std::sqrt(noise / 2.0f));
    auto* m = new Spectrum(2, cols);
    for (int r = 0; r < 2; ++r)
        for (int k = 0; k < cols; ++k) (*m)(r, k) = cfloat(dist(gen), dist(gen));
    for (int r = 0; count >= 3 && r < 2; ++r) (*m)(r, 5 % cols) += cfloat(std::sqrt(tone), 0.0f);
    return ObjectRef(m);
}

const Spectrum& output(NodeHarness& h, int count) {
    return object_cast<Spectrum>(h.pull("SPEECH_EHANCED_SPECTRUM", count));
}

bool allFinite(const Spectrum& s) {
    return std::all_of(s.data(), s.data() + s.size(),
                       [](cfloat v) { return std::isfinite(v.real()) && std::isfinite(v.imag()); });
}

template <class Check>
void forEveryRule(Script script, Check check) {
    for (const char* method : {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                               "MINIMUM_MEAN_SQUARE_ERROR"})
        for (const char* regen : {"NO", "USE"})
            for (const char* update : {"NONE", "CONTINUOUS"}) {
                SCOPED_TRACE(std::string(method) + " " + regen + " " + update);
                check(*node(method, regen, script, 0.03f, update));
            }
}

}  // namespace

TEST(SpeechEnhancementNode, LearningFramesAreZeroAndTheLastColumnAlwaysIs) {
    forEveryRule([](int c) { return noisyFrame(c, 33); }, [](NodeHarness& h) {  // 3 learning frames
        for (int c = 0; c < 8; ++c) {
            const Spectrum& y = output(h, c);
            ASSERT_TRUE(y.nrows() == 2 && y.ncols() == 33 && allFinite(y));
            double energy = 0.0;
            for (int r = 0; r < 2; ++r) {
                EXPECT_EQ(y(r, 32), cfloat(0.0f, 0.0f)) << "frame " << c;
                for (int k = 0; k < 33; ++k) energy += std::norm(y(r, k));
            }
            EXPECT_EQ(energy > 0.0, c >= 3) << "frame " << c;
        }
    });
}

TEST(SpeechEnhancementNode, RowsShareTheEnhancedPowerInRowOrder) {
    // 2 learning frames; row 1 reads what row 0 of its frame left, row 0 what row 1 of the last frame left.
    const int m = 8;
    auto frame = [](int c) { return noisyFrame(c, m + 1); };
    auto h = node("WIENER_FILTERING", "NO", frame, 0.025f);
    auto power = [](cfloat v) { return v.real() * v.real() + v.imag() * v.imag(); };
    float noise[2][m] = {}, prev[m] = {};
    for (int c = 0; c < 2; ++c)
        for (int r = 0; r < 2; ++r)
            for (int k = 0; k < m; ++k) noise[r][k] += power(object_cast<Spectrum>(frame(c))(r, k)) / 2.0f;
    for (int c = 0; c < 5; ++c) {
        const Spectrum& y = output(*h, c);
        RCPtr<Spectrum> x = frame(c);
        for (int r = 0; c >= 2 && r < 2; ++r)
            for (int k = 0; k < m; ++k) {
                const cfloat in = (*x)(r, k);
                const float a = enhancement::wienerFiltering(power(in), noise[r][k], prev[k]).amplitude,
                            phase = std::atan2(in.imag(), in.real());
                EXPECT_EQ(y(r, k), std::polar(a, phase)) << c << " " << r << " " << k;
            }
    }
}

TEST(SpeechEnhancementNode, NoiseUpdateNoneIsTheDefaultAndOtherNamesAreRefused) {
    auto frame = [](int c) { return noisyFrame(c, 33, c < 20 ? 100.0f : 3000.0f); };
    for (const char* method : {"WIENER_FILTERING", "MINIMUM_MEAN_SQUARE_ERROR"}) {
        auto absent = node(method, "USE", frame), none = node(method, "USE", frame, 0.03f, "NONE");
        for (int c = 0; c < 40; ++c) {
            const Spectrum &a = output(*absent, c), &b = output(*none, c);
            for (size_t i = 0; i < a.size(); ++i)
                ASSERT_EQ(bits(a.data()[i].real()), bits(b.data()[i].real())) << method << " frame " << c;
        }
    }
    for (const char* name : {"continuous", "", "ON"}) {
        const std::string m = hostError([&] { node("WIENER_FILTERING", "NO", frame, 0.03f, name); });
        EXPECT_NE(m.find("NOISE_UPDATE must be \"NONE\" or \"CONTINUOUS\", got \"" + std::string(name) + "\""),
                  std::string::npos)
            << m;
    }
}

TEST(SpeechEnhancementNode, RefusesSpectraItCannotTake) {
    for (int cols : {300, 2, 1, 3}) {  // regeneration needs 2^k+1 columns, k >= 1
        auto h = node("WIENER_FILTERING", "USE", [cols](int c) { return noisyFrame(c, cols); });
        const std::string m = hostError([&] { EXPECT_TRUE(allFinite(output(*h, cols == 3 ? 5 : 0))); });
        const std::string want =
            "frame 0: HARMONIC_REGENERATION needs a spectrum of 2^k+1 columns (k >= 1), got " +
            std::to_string(cols);
        EXPECT_EQ(m.find(want) != std::string::npos, cols != 3) << m;
    }
    auto h = node("WIENER_FILTERING", "NO", [](int c) { return noisyFrame(c, c < 4 ? 17 : 9); });
    output(*h, 3);
    const std::string m = hostError([&] { output(*h, 4); });
    for (const char* part : {"2 x 17", "2 x 9", "frame 4"}) EXPECT_NE(m.find(part), std::string::npos) << m;
}

TEST(SpeechEnhancementNode, HostileInputNeverLeaksNonFiniteValuesNorFrames) {
    // Learning sees NaN and infinite bins; later frames mix garbage, silence and sudden loud frames.
    auto script = [](int c) -> ObjectRef {
        if (c == 9) return noisyFrame(c, 17, 1e30f, 1e36f);
        if (c != 1 && c != 7 && c != 8 && c != 10) return noisyFrame(c, 17);
        auto* m = new Spectrum(2, 17);
        for (int k = 0; c != 8 && k < 17; ++k) {
            (*m)(0, k) = c == 10 ? cfloat(1.8e19f, -1.8e19f) : cfloat(k % 2 ? kNaN : kInf, 1.0f);
            (*m)(1, k) = c == 10 ? cfloat(1.8e19f, -1.8e19f) : cfloat(-kInf, k % 3 ? 3e19f : kNaN);
        }
        return ObjectRef(m);
    };
    const long before = Object::liveCount();
    forEveryRule(script, [](NodeHarness& h) {
        for (int c = 0; c < 16; ++c) ASSERT_TRUE(allFinite(output(h, c))) << "frame " << c;
        EXPECT_GT(std::abs(output(h, 16)(1, 5)), 50.0f);  // afterwards the tone still comes through
    });
    EXPECT_EQ(Object::liveCount(), before);
}
