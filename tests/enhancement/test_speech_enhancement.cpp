// The node through the host: parameters, learning frames, row order through the shared
// enhanced power, regeneration switch and limits, and input that must not break it.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "enhancement/SpeechEnhancement.h"
#include "enhancement/gain_rules.h"
#include "tests/support/NodeHarness.h"

using FD::testing::hostError;
using namespace FD;
using FD::testing::NodeHarness;
using FD::testing::Params;
using cfloat = std::complex<float>;
using Spectrum = Matrix<cfloat>;

namespace {

Params params(const std::string& method, const std::string& regen = "NO", float noisePeriod = 0.03f,
              int advance = 160, int rate = 16000) {
    Params p;
    p.s("NOISE_REDUCTION_METHOD", method)
        .s("HARMONIC_REGENERATION", regen)
        .f("NOISE_PERIOD", noisePeriod)
        .i("ADVANCE", advance)
        .i("SAMPLING_RATE", rate);
    return p;
}

// Complex Gaussian noise of power `noise` per bin, plus a tone of power `tone` at bin 5
// from frame `toneFrom` on; deterministic per frame.
ObjectRef noisyFrame(int count, int rows, int cols, float noise = 100.0f, float tone = 1e4f,
                     int toneFrom = 3) {
    std::mt19937 gen(unsigned(1234 + count));
    std::normal_distribution<float> dist(0.0f, std::sqrt(noise / 2.0f));
    auto* m = new Spectrum(rows, cols);
    for (int r = 0; r < rows; ++r)
        for (int k = 0; k < cols; ++k) (*m)(r, k) = cfloat(dist(gen), dist(gen));
    if (count >= toneFrom)
        for (int r = 0; r < rows; ++r) (*m)(r, 5 % cols) += cfloat(std::sqrt(tone), 0.0f);
    return ObjectRef(m);
}

const Spectrum& spectrum(const ObjectRef& ref) { return object_cast<Spectrum>(ref); }

bool allFinite(const Spectrum& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (!std::isfinite(s.data()[i].real()) || !std::isfinite(s.data()[i].imag())) return false;
    return true;
}

}  // namespace

TEST(SpeechEnhancementNode, RefusesUnusableParameters) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const struct {
        Params p;
        const char* expected;
    } cases[] = {
        {params("WIENER_FILTERING", "NO", 0.5f, 0), "ADVANCE must be a positive number of samples, got 0"},
        {params("WIENER_FILTERING", "NO", 0.5f, 160, -16000), "SAMPLING_RATE must be a positive"},
        {params("WIENER_FILTERING", "NO", nan), "NOISE_PERIOD must be a finite number of seconds, got nan"},
        {params("WIENER_FILTERING", "NO", inf), "NOISE_PERIOD must be a finite number of seconds, got inf"},
        {params("WIENER_FILTERING", "NO", 1e30f), "is more frames than an int counts"},
    };
    for (const auto& c : cases) {
        const std::string m = hostError([&] { SpeechEnhancement node("enh", c.p.set()); });
        EXPECT_EQ(m.find("SpeechEnhancement \"enh\": "), 0u) << m;
        EXPECT_NE(m.find(c.expected), std::string::npos) << m;
    }
    // A wrongly typed parameter is the host's cast error; a missing one the host's error.
    Params p = params("WIENER_FILTERING");
    p.i("NOISE_PERIOD", 1);
    try {
        SpeechEnhancement node("enh", p.set());
        ADD_FAILURE() << "an int NOISE_PERIOD was accepted";
    } catch (CastException<float>* e) {
        delete e;
    }
    EXPECT_FALSE(
        hostError([] { SpeechEnhancement node("enh", params("X").remove("SAMPLING_RATE").set()); }).empty());
}

TEST(SpeechEnhancementNode, NoisePeriodInFramesTruncatesInSinglePrecision) {
    EXPECT_EQ(SpeechEnhancement("e", params("X", "NO", 0.5f).set()).noiseFrames(), 50);
    EXPECT_EQ(SpeechEnhancement("e", params("X", "NO", 0.08f).set()).noiseFrames(), 7);  // 7.9999995
    EXPECT_EQ(SpeechEnhancement("e", params("X", "NO", 0.001f).set()).noiseFrames(), 1);
    EXPECT_EQ(SpeechEnhancement("e", params("X", "NO", -2.0f).set()).noiseFrames(), 1);
    EXPECT_EQ(SpeechEnhancement("e", params("X", "NO", 2.008f, 128).set()).noiseFrames(), 250);
}

TEST(SpeechEnhancementNode, LearningFramesAreZeroAndTheLastColumnAlwaysIs) {
    for (const char* method : {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                               "MINIMUM_MEAN_SQUARE_ERROR"}) {
        for (const char* regen : {"NO", "USE"}) {
            SCOPED_TRACE(std::string(method) + " " + regen);
            NodeHarness h(new SpeechEnhancement("enh", params(method, regen, 0.03f)));  // N = 3
            h.feed("NOISY_SPEECH_SPECTRUM", [](int c) { return noisyFrame(c, 2, 33); });
            h.initialize();
            for (int c = 0; c < 8; ++c) {
                const Spectrum& y = spectrum(h.pull("SPEECH_EHANCED_SPECTRUM", c));
                ASSERT_EQ(y.nrows(), 2);
                ASSERT_EQ(y.ncols(), 33);
                ASSERT_TRUE(allFinite(y));
                double energy = 0.0;
                for (int r = 0; r < 2; ++r) {
                    EXPECT_EQ(y(r, 32), cfloat(0.0f, 0.0f)) << "frame " << c;
                    for (int k = 0; k < 33; ++k) energy += std::norm(y(r, k));
                }
                if (c < 3)
                    EXPECT_EQ(energy, 0.0) << "frame " << c;
                else
                    EXPECT_GT(energy, 0.0) << "frame " << c;
            }
            // The tone at bin 5 comes through; the noise bins lose most of their power.
            const Spectrum& y = spectrum(h.pull("SPEECH_EHANCED_SPECTRUM", 8));
            RCPtr<Spectrum> x = noisyFrame(8, 2, 33);
            EXPECT_GT(std::abs(y(0, 5)), 50.0f);
            double in = 0.0, out = 0.0;
            for (int k = 8; k < 32; ++k) {
                if (k % 5 == 0) continue;  // harmonics of the tone, which regeneration restores
                in += std::norm((*x)(0, k));
                out += std::norm(y(0, k));
            }
            EXPECT_LT(out, 0.6 * in);
        }
    }
}

TEST(SpeechEnhancementNode, RowsShareTheEnhancedPowerInRowOrder) {
    // Frames 0 and 1 learn (N = 2); from frame 2 on row 1 must read what row 0 of the same
    // frame left in prevPower, and row 0 what row 1 of the previous frame left.
    const int cols = 9, m = 8;
    NodeHarness h(new SpeechEnhancement("enh", params("WIENER_FILTERING", "NO", 0.025f)));
    h.feed("NOISY_SPEECH_SPECTRUM", [](int c) { return noisyFrame(c, 2, cols, 100.0f, 1e4f, 0); });
    h.initialize();
    std::vector<float> noise0(m, 0.0f), noise1(m, 0.0f), prev(m, 0.0f);
    for (int c = 0; c < 2; ++c) {
        RCPtr<Spectrum> x = noisyFrame(c, 2, cols, 100.0f, 1e4f, 0);
        for (int k = 0; k < m; ++k) {
            const cfloat a = (*x)(0, k), b = (*x)(1, k);
            noise0[k] += (a.real() * a.real() + a.imag() * a.imag()) / 2.0f;
            noise1[k] += (b.real() * b.real() + b.imag() * b.imag()) / 2.0f;
        }
    }
    for (int c = 0; c < 5; ++c) {
        const Spectrum& y = spectrum(h.pull("SPEECH_EHANCED_SPECTRUM", c));
        if (c < 2) continue;
        RCPtr<Spectrum> x = noisyFrame(c, 2, cols, 100.0f, 1e4f, 0);
        for (int r = 0; r < 2; ++r)
            for (int k = 0; k < m; ++k) {
                const cfloat in = (*x)(r, k);
                const float p = in.real() * in.real() + in.imag() * in.imag();
                const enhancement::BinGain b =
                    enhancement::wienerFiltering(p, r ? noise1[k] : noise0[k], prev[k]);
                const float phase = std::atan2(in.imag(), in.real());
                EXPECT_EQ(y(r, k), cfloat(b.amplitude * std::cos(phase), b.amplitude * std::sin(phase)))
                    << "frame " << c << " row " << r << " bin " << k;
            }
    }
}

TEST(SpeechEnhancementNode, RegenerationSwitchAndSpectrumShape) {
    auto run = [](const std::string& regen, int cols) {
        NodeHarness h(new SpeechEnhancement("enh", params("WIENER_FILTERING", regen)));
        h.feed("NOISY_SPEECH_SPECTRUM", [cols](int c) { return noisyFrame(c, 2, cols); });
        h.initialize();
        return RCPtr<Spectrum>(h.pull("SPEECH_EHANCED_SPECTRUM", 5));
    };
    const RCPtr<Spectrum> off = run("NO", 17), lower = run("use", 17), on = run("USE", 17);
    for (size_t i = 0; i < off->size(); ++i) EXPECT_EQ(off->data()[i], lower->data()[i]) << i;
    bool differs = false;
    for (size_t i = 0; i < off->size(); ++i) differs |= off->data()[i] != on->data()[i];
    EXPECT_TRUE(differs);

    // Three columns (M = 2) is the smallest regenerable spectrum; 300, 2 and 1 are refused on frame 0.
    EXPECT_TRUE(allFinite(*run("USE", 3)));
    for (int cols : {300, 2, 1}) {
        const std::string m = hostError([&] { run("USE", cols); });
        EXPECT_NE(m.find("SpeechEnhancement \"enh\""), std::string::npos) << m;
        EXPECT_NE(m.find("HARMONIC_REGENERATION"), std::string::npos) << m;
        EXPECT_NE(m.find("got " + std::to_string(cols)), std::string::npos) << m;
        EXPECT_NE(m.find("frame 0"), std::string::npos) << m;
    }
    // Without regeneration any width works, down to a lone column.
    EXPECT_TRUE(allFinite(*run("NO", 300)));
    const RCPtr<Spectrum> one = run("NO", 1);
    EXPECT_EQ((*one)(0, 0), cfloat(0.0f, 0.0f));
}

TEST(SpeechEnhancementNode, RefusesWrongInputTypeAndShapeChanges) {
    NodeHarness h(new SpeechEnhancement("enh", params("WIENER_FILTERING")));
    h.feed("NOISY_SPEECH_SPECTRUM", [](int c) { return c < 4 ? noisyFrame(c, 2, 17) : noisyFrame(c, 2, 9); });
    h.initialize();
    h.pull("SPEECH_EHANCED_SPECTRUM", 3);
    std::string m = hostError([&] { h.pull("SPEECH_EHANCED_SPECTRUM", 4); });
    EXPECT_NE(m.find("2 x 17"), std::string::npos) << m;
    EXPECT_NE(m.find("2 x 9"), std::string::npos) << m;
    EXPECT_NE(m.find("frame 4"), std::string::npos) << m;

    NodeHarness g(new SpeechEnhancement("enh", params("WIENER_FILTERING")));
    g.feed("NOISY_SPEECH_SPECTRUM", [](int) { return ObjectRef(new Matrix<float>(2, 17)); });
    g.initialize();
    m = hostError([&] { g.pull("SPEECH_EHANCED_SPECTRUM", 0); });
    EXPECT_NE(m.find("NOISY_SPEECH_SPECTRUM"), std::string::npos) << m;
    EXPECT_NE(m.find("Matrix<float>"), std::string::npos) << m;
}

TEST(SpeechEnhancementNode, UnknownMethodGivesZeroAfterLearning) {
    NodeHarness h(new SpeechEnhancement("enh", params("wiener_filtering")));
    h.feed("NOISY_SPEECH_SPECTRUM", [](int c) { return noisyFrame(c, 2, 17); });
    h.initialize();
    for (int c = 0; c < 6; ++c) {
        const Spectrum& y = spectrum(h.pull("SPEECH_EHANCED_SPECTRUM", c));
        for (size_t i = 0; i < y.size(); ++i) EXPECT_EQ(std::abs(y.data()[i]), 0.0f);
    }
}

TEST(SpeechEnhancementNode, DigitalSilenceWhileLearningPassesTheSignalThrough) {
    for (const char* method : {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                               "MINIMUM_MEAN_SQUARE_ERROR"}) {
        for (const char* regen : {"NO", "USE"}) {
            SCOPED_TRACE(std::string(method) + " " + regen);
            NodeHarness h(new SpeechEnhancement("enh", params(method, regen)));
            h.feed("NOISY_SPEECH_SPECTRUM",
                   [](int c) { return c < 3 ? ObjectRef(new Spectrum(2, 17)) : noisyFrame(c, 2, 17); });
            h.initialize();
            for (int c = 3; c < 7; ++c) {
                const Spectrum& y = spectrum(h.pull("SPEECH_EHANCED_SPECTRUM", c));
                RCPtr<Spectrum> x = noisyFrame(c, 2, 17);
                ASSERT_TRUE(allFinite(y)) << "frame " << c;
                for (int r = 0; r < 2; ++r)
                    for (int k = 0; k < 16; ++k)
                        EXPECT_NEAR(std::abs(y(r, k) - (*x)(r, k)), 0.0f, 1e-4f * std::abs((*x)(r, k)))
                            << "frame " << c << " row " << r << " bin " << k;
            }
        }
    }
}

TEST(SpeechEnhancementNode, HostileInputNeverLeaksNonFiniteValues) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    // Learning sees NaN and infinite bins; later frames mix garbage, silence and sudden loud frames.
    auto script = [=](int c) -> ObjectRef {
        if (c == 1 || c == 7) {
            auto* m = new Spectrum(2, 17);
            for (int k = 0; k < 17; ++k) {
                (*m)(0, k) = cfloat(k % 2 ? nan : inf, 1.0f);
                (*m)(1, k) = cfloat(-inf, k % 3 ? 3e19f : nan);
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
    for (const char* method : {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                               "MINIMUM_MEAN_SQUARE_ERROR"}) {
        for (const char* regen : {"NO", "USE"}) {
            SCOPED_TRACE(std::string(method) + " " + regen);
            NodeHarness h(new SpeechEnhancement("enh", params(method, regen)));
            h.feed("NOISY_SPEECH_SPECTRUM", script);
            h.initialize();
            for (int c = 0; c < 16; ++c) {
                const Spectrum& y = spectrum(h.pull("SPEECH_EHANCED_SPECTRUM", c));
                ASSERT_TRUE(allFinite(y)) << "frame " << c;
            }
            // After the storm the tone still comes through.
            const Spectrum& y = spectrum(h.pull("SPEECH_EHANCED_SPECTRUM", 16));
            EXPECT_GT(std::abs(y(1, 5)), 50.0f);
        }
    }
}

TEST(SpeechEnhancementNode, FramesAreReleased) {
    const long before = Object::liveCount();
    {
        NodeHarness h(new SpeechEnhancement("enh", params("MINIMUM_MEAN_SQUARE_ERROR", "USE")));
        h.feed("NOISY_SPEECH_SPECTRUM", [](int c) { return noisyFrame(c, 2, 65); });
        h.initialize();
        h.run("SPEECH_EHANCED_SPECTRUM", 40);
    }
    EXPECT_EQ(Object::liveCount(), before);
}
