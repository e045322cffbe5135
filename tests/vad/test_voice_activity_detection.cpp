// The node through the host: parameters, the decision record, shape errors with their
// frame, hostile streams and released objects.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <string>

#include "plugin/Source.h"
#include "tests/support/NodeHarness.h"
#include "vad/VoiceActivityDetection.h"

using namespace FD;
using FD::testing::hostError;
using FD::testing::NodeHarness;
using FD::testing::Params;
using Spectrum = Matrix<std::complex<float>>;

namespace {

const std::string kNode = "VoiceActivityDetection \"vad\": ";

Params params(float noiseSeconds = 0.1f, float threshold = 2.0f, int rate = 16000) {
    Params p;
    p.i("ADVANCE", 160).i("SAMPLING_RATE", rate).f("VAD_NOISE_DURATION", noiseSeconds).f("VAD_THRESHOLD", threshold);
    return p;
}

// Gaussian noise of standard deviation `sigma` in every bin of both channels, seeded by the
// frame number; sigma 0 gives `fill` everywhere.
ObjectRef frame(int count, float sigma, std::complex<float> fill = 0.0f, int rows = 2, int cols = 257) {
    std::mt19937 rng(unsigned(count) * 7919u + 1u);
    std::normal_distribution<float> g(0.0f, sigma > 0.0f ? sigma : 1.0f);
    auto* s = new Spectrum(rows, cols);
    for (size_t i = 0; i < s->size(); ++i) s->data()[i] = sigma > 0.0f ? std::complex<float>(g(rng), g(rng)) : fill;
    return ObjectRef(s);
}

bool isSpeech(const ObjectRef& decision) { return !RCPtr<Vector<ObjectRef>>(decision)->empty(); }

// The host error of pulling frame `at` of a stream given by `script`.
std::string errorAt(FD::testing::ScriptedSource::Script script, int at = 0, int rate = 16000) {
    NodeHarness h(new VoiceActivityDetection("vad", params(0.1f, 2.0f, rate)));
    h.feed("AUDIO_SPECTRUM", script);
    h.initialize();
    h.run("VAD_DECISION", at);
    return hostError([&] { h.pull("VAD_DECISION", at); });
}

}  // namespace

TEST(VoiceActivityDetectionNode, ParametersAreCheckedAtConstruction) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        Params p;
        std::string expected;
    } cases[] = {
        {params().i("ADVANCE", 0), "ADVANCE must be a positive number of samples, got 0"},
        {params().i("SAMPLING_RATE", -16000), "SAMPLING_RATE must be a positive number of samples per second"},
        {params(std::nanf("")), "VAD_NOISE_DURATION must be a finite number"},
        {params(-inf), "VAD_NOISE_DURATION must be a finite number"},
        {params(0.1f, inf), "VAD_THRESHOLD must be a finite number"},
        {params(1e30f), "VAD_NOISE_DURATION of 1e+30 s at ADVANCE 160 and SAMPLING_RATE 16000 is more frames "
                        "than an int counts"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hostError([&] { delete new VoiceActivityDetection("vad", c.p); }).find(kNode + c.expected), 0u)
            << c.expected;
    EXPECT_EQ(VoiceActivityDetection("vad", params(0.03f)).noiseFrames(), 3);
}

TEST(VoiceActivityDetectionNode, LearnsThenEmitsTheSpeechRecordFrameByFrame) {
    // 10 learning frames of noise; frame 10 (loud) ends learning; loud frames 20 to 24.
    NodeHarness h(new VoiceActivityDetection("vad", params()));
    h.feed("AUDIO_SPECTRUM", [](int c) { return frame(c, c == 10 || (c >= 20 && c < 25) ? 100.0f : 1.0f); });
    h.initialize();
    std::vector<ObjectRef> out = h.run("VAD_DECISION", 30);
    for (int c = 0; c < 30; ++c) EXPECT_EQ(isSpeech(out[size_t(c)]), c >= 20 && c < 25) << "frame " << c;
    EXPECT_EQ(h.input("AUDIO_SPECTRUM").maxRequested(), 29);  // no look-ahead
    RCPtr<Vector<ObjectRef>> a = out[20];
    ASSERT_EQ(a->size(), 1u);
    RCPtr<Source> s = (*a)[0];
    EXPECT_TRUE(s->x[0] == 1.0f && s->x[1] == 0.0f && s->x[2] == 0.0f && s->power == 1.0f && s->id == 777);
}

TEST(VoiceActivityDetectionNode, UnusableSpectraAreRefusedWithSizesAndFrame) {
    const std::string needs = kNode + "AUDIO_SPECTRUM needs ";
    EXPECT_EQ(errorAt([](int c) { return frame(c, 0.0f, 1.0f, 1); }),
              needs + "2 rows (one per channel), got a 1 x 257 spectrum (frame 0)");
    EXPECT_EQ(errorAt([](int c) { return frame(c, 0.0f, 1.0f, 2, 1025); }, 0, 1000),
              needs + "a bin spacing of at least 1 Hz, but 1025 columns at SAMPLING_RATE 1000 give (1000 / 2) / "
                      "1024 = 0 Hz (frame 0)");
    EXPECT_EQ(errorAt([](int c) { return frame(c, 0.0f, 1.0f, 2, 340); }, 0, 6800),
              needs + "the 300-3400 Hz band below the last bin, but at 10 Hz per bin it ends at bin 340 and the "
                      "spectrum has 340 columns (frame 0)");
    EXPECT_EQ(errorAt([](int c) { return frame(c, 0.0f, 1.0f, 2, 1); }).find(needs), 0u);
    EXPECT_EQ(errorAt([](int) { return ObjectRef(new Float(1.0f)); }),
              kNode + "AUDIO_SPECTRUM expects Matrix<complex<float>>, got float (frame 0)");
    EXPECT_EQ(errorAt([](int) { return ObjectRef(); }),
              kNode + "AUDIO_SPECTRUM expects Matrix<complex<float>>, got nil (frame 0)");
    EXPECT_EQ(errorAt([](int c) { return frame(c, 1.0f, 0.0f, c < 3 ? 2 : 1); }, 3),
              kNode + "AUDIO_SPECTRUM must keep 2 rows or more and the 257 columns of the first frame, got 1 x 257 "
                      "(frame 3)");
}

TEST(VoiceActivityDetectionNode, SurvivesHostileStreamsAndReleasesEverything) {
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    const long before = Object::liveCount();
    {
        // Silence first (learning restarts) and later, NaN and infinite frames while learning
        // and later, sudden loud frames: decisions go on, and loud frames are speech.
        NodeHarness h(new VoiceActivityDetection("vad", params(0.05f)));
        h.feed("AUDIO_SPECTRUM", [=](int c) -> ObjectRef {
            if (c < 5 || c == 45) return frame(c, 0.0f);
            if (c == 7 || c == 30) return frame(c, 0.0f, {nan, 0.0f});
            if (c == 8 || c == 31) return frame(c, 0.0f, {0.0f, inf});
            if (c == 40) return frame(c, 0.0f, 3e19f);  // power beyond single precision
            return frame(c, (c >= 20 && c < 23) ? 1e4f : c == 50 ? 1e15f : 1.0f);
        });
        h.initialize();
        std::vector<ObjectRef> out = h.run("VAD_DECISION", 60);
        for (int c = 0; c < 60; ++c)
            EXPECT_EQ(isSpeech(out[size_t(c)]), (c >= 20 && c < 23) || c == 50) << "frame " << c;
    }
    EXPECT_EQ(Object::liveCount(), before);
}
