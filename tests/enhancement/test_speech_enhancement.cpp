// The node through the host: parameters, learning frames, row order through the shared
// enhanced power, regeneration switch and limits, and input that must not break it.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "enhancement/SpeechEnhancement.h"
#include "tests/enhancement/enhancement_test_util.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using namespace enhancement_test;
using FD::testing::hostError;
using FD::testing::NodeHarness;
using FD::testing::Params;
using cfloat = std::complex<float>;
using Spectrum = Matrix<cfloat>;

namespace {

Params params(const std::string& method, const std::string& regen = "NO", float noisePeriod = 0.03f,
              int advance = 160, int rate = 16000) {
    Params p;
    p.s("NOISE_REDUCTION_METHOD", method).s("HARMONIC_REGENERATION", regen).f("NOISE_PERIOD", noisePeriod);
    p.i("ADVANCE", advance).i("SAMPLING_RATE", rate);
    return p;
}

// Complex Gaussian noise of power `noise` per bin, plus a tone of power `tone` at bin 5
// from frame `toneFrom` on; deterministic per frame.
ObjectRef noisyFrame(int count, int rows, int cols, float noise = 100.0f, float tone = 1e4f, int toneFrom = 3) {
    std::mt19937 gen(unsigned(1234 + count));
    std::normal_distribution<float> dist(0.0f, std::sqrt(noise / 2.0f));
    auto* m = new Spectrum(rows, cols);
    for (int r = 0; r < rows; ++r)
        for (int k = 0; k < cols; ++k) (*m)(r, k) = cfloat(dist(gen), dist(gen));
    if (count >= toneFrom)
        for (int r = 0; r < rows; ++r) (*m)(r, 5 % cols) += cfloat(std::sqrt(tone), 0.0f);
    return ObjectRef(m);
}

const Spectrum& output(NodeHarness& h, int count) {
    return object_cast<Spectrum>(h.pull("SPEECH_EHANCED_SPECTRUM", count));
}

bool allFinite(const Spectrum& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (!std::isfinite(s.data()[i].real()) || !std::isfinite(s.data()[i].imag())) return false;
    return true;
}

// Runs `check` on a node of every rule, with and without regeneration, fed by `script`.
template <class Check>
void forEveryRule(FD::testing::ScriptedSource::Script script, Check check) {
    for (const char* method : kRuleNames)
        for (const char* regen : {"NO", "USE"}) {
            SCOPED_TRACE(std::string(method) + " " + regen);
            NodeHarness h(new SpeechEnhancement("enh", params(method, regen)));
            h.feed("NOISY_SPEECH_SPECTRUM", script);
            h.initialize();
            check(h);
        }
}

}  // namespace

TEST(SpeechEnhancementNode, RefusesUnusableParametersAndCountsFramesInSinglePrecision) {
    const struct {
        Params p;
        const char* expected;
    } cases[] = {
        {params("X", "NO", 0.5f, 0), "ADVANCE must be a positive number of samples, got 0"},
        {params("X", "NO", 0.5f, 160, -16000), "SAMPLING_RATE must be a positive"},
        {params("X", "NO", kNaN), "NOISE_PERIOD must be a finite number of seconds, got nan"},
        {params("X", "NO", kInf), "NOISE_PERIOD must be a finite number of seconds, got inf"},
        {params("X", "NO", 1e30f), "is more frames than an int counts"},
    };
    for (const auto& c : cases) {
        const std::string m = hostError([&] { SpeechEnhancement node("enh", c.p.set()); });
        EXPECT_EQ(m.find("SpeechEnhancement \"enh\": "), 0u) << m;
        EXPECT_NE(m.find(c.expected), std::string::npos) << m;
    }
    EXPECT_EQ(SpeechEnhancement("e", params("X", "NO", 0.08f).set()).noiseFrames(), 7);  // 7.9999995
    EXPECT_EQ(SpeechEnhancement("e", params("X", "NO", -2.0f).set()).noiseFrames(), 1);
    EXPECT_EQ(SpeechEnhancement("e", params("X", "NO", 2.008f, 128).set()).noiseFrames(), 250);
}

TEST(SpeechEnhancementNode, LearningFramesAreZeroAndTheLastColumnAlwaysIs) {
    forEveryRule([](int c) { return noisyFrame(c, 2, 33); }, [](NodeHarness& h) {  // N = 3
        for (int c = 0; c < 8; ++c) {
            const Spectrum& y = output(h, c);
            ASSERT_EQ(y.nrows(), 2);
            ASSERT_EQ(y.ncols(), 33);
            ASSERT_TRUE(allFinite(y));
            double energy = 0.0;
            for (int r = 0; r < 2; ++r) {
                EXPECT_EQ(y(r, 32), cfloat(0.0f, 0.0f)) << "frame " << c;
                for (int k = 0; k < 33; ++k) energy += std::norm(y(r, k));
            }
            EXPECT_EQ(energy > 0.0, c >= 3) << "frame " << c;
        }
        // The tone at bin 5 comes through; the noise bins lose most of their power.
        const Spectrum& y = output(h, 8);
        RCPtr<Spectrum> x = noisyFrame(8, 2, 33);
        EXPECT_GT(std::abs(y(0, 5)), 50.0f);
        double in = 0.0, out = 0.0;
        for (int k = 8; k < 32; ++k)
            if (k % 5) {  // not a harmonic of the tone, which regeneration restores
                in += std::norm((*x)(0, k));
                out += std::norm(y(0, k));
            }
        EXPECT_LT(out, 0.6 * in);
    });
}

TEST(SpeechEnhancementNode, RowsShareTheEnhancedPowerInRowOrder) {
    // N = 2. Row 1 reads what row 0 of the same frame left in prevPower, row 0 what row 1
    // of the previous frame left.
    const int cols = 9, m = 8;
    auto frame = [](int c) { return noisyFrame(c, 2, cols, 100.0f, 1e4f, 0); };
    NodeHarness h(new SpeechEnhancement("enh", params("WIENER_FILTERING", "NO", 0.025f)));
    h.feed("NOISY_SPEECH_SPECTRUM", frame);
    h.initialize();
    auto power = [](cfloat v) { return v.real() * v.real() + v.imag() * v.imag(); };
    std::vector<float> noise[2] = {std::vector<float>(m), std::vector<float>(m)}, prev(m, 0.0f);
    for (int c = 0; c < 2; ++c) {
        RCPtr<Spectrum> x = frame(c);
        for (int r = 0; r < 2; ++r)
            for (int k = 0; k < m; ++k) noise[r][k] += power((*x)(r, k)) / 2.0f;
    }
    for (int c = 0; c < 5; ++c) {
        const Spectrum& y = output(h, c);
        if (c < 2) continue;
        RCPtr<Spectrum> x = frame(c);
        for (int r = 0; r < 2; ++r)
            for (int k = 0; k < m; ++k) {
                const cfloat in = (*x)(r, k);
                const float a = enhancement::wienerFiltering(power(in), noise[r][k], prev[k]).amplitude;
                const float phase = std::atan2(in.imag(), in.real());
                EXPECT_EQ(y(r, k), cfloat(a * std::cos(phase), a * std::sin(phase)))
                    << "frame " << c << " row " << r << " bin " << k;
            }
    }
}

TEST(SpeechEnhancementNode, RegenerationSwitchSpectrumShapeAndUnknownMethod) {
    auto run = [](const std::string& regen, int cols, const std::string& method = "WIENER_FILTERING") {
        NodeHarness h(new SpeechEnhancement("enh", params(method, regen)));
        h.feed("NOISY_SPEECH_SPECTRUM", [cols](int c) { return noisyFrame(c, 2, cols); });
        h.initialize();
        return RCPtr<Spectrum>(h.pull("SPEECH_EHANCED_SPECTRUM", 5));
    };
    const RCPtr<Spectrum> off = run("NO", 17), lower = run("use", 17), on = run("USE", 17);
    const RCPtr<Spectrum> unknown = run("NO", 17, "wiener_filtering");
    bool differs = false;
    for (size_t i = 0; i < off->size(); ++i) {
        EXPECT_EQ(off->data()[i], lower->data()[i]) << i;
        EXPECT_EQ(std::abs(unknown->data()[i]), 0.0f) << i;
        differs |= off->data()[i] != on->data()[i];
    }
    EXPECT_TRUE(differs);
    // 2^k+1 columns, k >= 1: three is the smallest; 300, 2 and 1 are refused on frame 0.
    EXPECT_TRUE(allFinite(*run("USE", 3)));
    for (int cols : {300, 2, 1})
        EXPECT_NE(hostError([&] { run("USE", cols); })
                      .find("SpeechEnhancement \"enh\": HARMONIC_REGENERATION needs a spectrum of 2^k+1 columns "
                            "(k >= 1), got " + std::to_string(cols) + " (frame 0)"),
                  std::string::npos)
            << cols;
    EXPECT_TRUE(allFinite(*run("NO", 300)));  // without regeneration any width works
    EXPECT_EQ((*run("NO", 1))(0, 0), cfloat(0.0f, 0.0f));
}

TEST(SpeechEnhancementNode, RefusesWrongInputTypeAndShapeChanges) {
    NodeHarness h(new SpeechEnhancement("enh", params("WIENER_FILTERING")));
    h.feed("NOISY_SPEECH_SPECTRUM", [](int c) { return noisyFrame(c, 2, c < 4 ? 17 : 9); });
    h.initialize();
    h.pull("SPEECH_EHANCED_SPECTRUM", 3);
    std::string m = hostError([&] { h.pull("SPEECH_EHANCED_SPECTRUM", 4); });
    for (const char* part : {"2 x 17", "2 x 9", "frame 4"}) EXPECT_NE(m.find(part), std::string::npos) << m;

    NodeHarness g(new SpeechEnhancement("enh", params("WIENER_FILTERING")));
    g.feed("NOISY_SPEECH_SPECTRUM", [](int) { return ObjectRef(new Matrix<float>(2, 17)); });
    g.initialize();
    m = hostError([&] { g.pull("SPEECH_EHANCED_SPECTRUM", 0); });
    for (const char* part : {"NOISY_SPEECH_SPECTRUM", "Matrix<float>"}) EXPECT_NE(m.find(part), std::string::npos) << m;
}

TEST(SpeechEnhancementNode, DigitalSilenceWhileLearningPassesTheSignalThrough) {
    auto script = [](int c) { return c < 3 ? ObjectRef(new Spectrum(2, 17)) : noisyFrame(c, 2, 17); };
    forEveryRule(script, [](NodeHarness& h) {
        for (int c = 3; c < 7; ++c) {
            const Spectrum& y = output(h, c);
            RCPtr<Spectrum> x = noisyFrame(c, 2, 17);
            ASSERT_TRUE(allFinite(y)) << "frame " << c;
            for (int r = 0; r < 2; ++r)
                for (int k = 0; k < 16; ++k)
                    EXPECT_NEAR(std::abs(y(r, k) - (*x)(r, k)), 0.0f, 1e-4f * std::abs((*x)(r, k)))
                        << "frame " << c << " row " << r << " bin " << k;
        }
    });
}

TEST(SpeechEnhancementNode, HostileInputNeverLeaksNonFiniteValuesNorFrames) {
    // Learning sees NaN and infinite bins; later frames mix garbage, silence and sudden loud frames.
    auto script = [](int c) -> ObjectRef {
        if (c == 1 || c == 7) {
            auto* m = new Spectrum(2, 17);
            for (int k = 0; k < 17; ++k) {
                (*m)(0, k) = cfloat(k % 2 ? kNaN : kInf, 1.0f);
                (*m)(1, k) = cfloat(-kInf, k % 3 ? 3e19f : kNaN);
            }
            return ObjectRef(m);
        }
        if (c == 8) return ObjectRef(new Spectrum(2, 17));
        if (c == 9) return noisyFrame(c, 2, 17, 1e30f, 1e36f, 0);
        if (c == 10) {
            auto* m = new Spectrum(2, 17);
            for (size_t i = 0; i < m->size(); ++i) m->data()[i] = cfloat(1.8e19f, -1.8e19f);
            return ObjectRef(m);
        }
        return noisyFrame(c, 2, 17);
    };
    const long before = Object::liveCount();
    forEveryRule(script, [](NodeHarness& h) {
        for (int c = 0; c < 16; ++c) ASSERT_TRUE(allFinite(output(h, c))) << "frame " << c;
        EXPECT_GT(std::abs(output(h, 16)(1, 5)), 50.0f);  // after the storm the tone still comes through
    });
    EXPECT_EQ(Object::liveCount(), before);
}
