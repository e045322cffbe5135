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

using FD::testing::hostError;
using namespace FD;
using FD::testing::NodeHarness;
using FD::testing::Params;
using Spectrum = Matrix<std::complex<float>>;

namespace {

const std::string kNode = "VoiceActivityDetection \"vad\": ";

Params params(float noiseSeconds = 0.1f, float threshold = 2.0f, int rate = 16000) {
    Params p;
    p.i("ADVANCE", 160)
        .i("SAMPLING_RATE", rate)
        .f("VAD_NOISE_DURATION", noiseSeconds)
        .f("VAD_THRESHOLD", threshold);
    return p;
}

// Gaussian noise in every bin of both channels, seeded by the frame number.
ObjectRef noise(int count, float amplitude, int rows = 2, int cols = 257) {
    std::mt19937 rng(unsigned(count) * 7919u + 1u);
    std::normal_distribution<float> g(0.0f, amplitude);
    auto* s = new Spectrum(rows, cols);
    for (size_t i = 0; i < s->size(); ++i) s->data()[i] = {g(rng), g(rng)};
    return ObjectRef(s);
}

ObjectRef filled(std::complex<float> v, int rows = 2, int cols = 257) {
    auto* s = new Spectrum(rows, cols);
    for (size_t i = 0; i < s->size(); ++i) s->data()[i] = v;
    return ObjectRef(s);
}

bool isSpeech(const ObjectRef& decision) { return !RCPtr<Vector<ObjectRef>>(decision)->empty(); }

std::string constructionError(const Params& p) {
    return hostError([&] { delete new VoiceActivityDetection("vad", p); });
}

// The error of the first frame of a stream whose frames all are `frame`.
std::string firstFrameError(ObjectRef frame, int rate = 16000) {
    NodeHarness h(new VoiceActivityDetection("vad", params(0.1f, 2.0f, rate)));
    h.feed("AUDIO_SPECTRUM", [frame](int) { return frame; });
    h.initialize();
    return hostError([&] { h.pull("VAD_DECISION", 0); });
}

}  // namespace

TEST(VoiceActivityDetectionNode, ParametersAreCheckedAtConstruction) {
    EXPECT_EQ(constructionError(params().i("ADVANCE", 0)),
              kNode + "ADVANCE must be a positive number of samples, got 0");
    EXPECT_EQ(constructionError(params().i("SAMPLING_RATE", -16000)),
              kNode + "SAMPLING_RATE must be a positive number of samples per second, got -16000");
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {std::nanf(""), inf, -inf}) {
        EXPECT_EQ(constructionError(params(bad)).find(kNode + "VAD_NOISE_DURATION must be a finite number"),
                  0u);
        EXPECT_EQ(constructionError(params(0.1f, bad)).find(kNode + "VAD_THRESHOLD must be a finite number"),
                  0u);
    }
    EXPECT_EQ(constructionError(params(1e30f)), kNode +
                                                    "VAD_NOISE_DURATION of 1e+30 s at ADVANCE 160 and "
                                                    "SAMPLING_RATE 16000 is more frames than an int counts");
    EXPECT_EQ(constructionError(params().remove("VAD_THRESHOLD")), "missing parameter VAD_THRESHOLD");
    try {
        VoiceActivityDetection n("vad", params().i("VAD_NOISE_DURATION", 1));
        FAIL() << "an int VAD_NOISE_DURATION was accepted";
    } catch (CastException<float>* e) {
        EXPECT_EQ(e->type(), "int");
        delete e;
    }

    EXPECT_EQ(VoiceActivityDetection("vad", params(1.0f)).noiseFrames(), 100);
    EXPECT_EQ(VoiceActivityDetection("vad", params(0.03f)).noiseFrames(), 3);
    EXPECT_EQ(VoiceActivityDetection("vad", params(-1.0f, -2.0f)).noiseFrames(), 1);
}

TEST(VoiceActivityDetectionNode, LearnsThenEmitsTheSpeechRecordFrameByFrame) {
    // 10 learning frames of noise; frame 10 (loud) ends learning; loud frames 20 to 24.
    NodeHarness h(new VoiceActivityDetection("vad", params()));
    h.feed("AUDIO_SPECTRUM", [](int count) {
        bool loud = count == 10 || (count >= 20 && count < 25);
        return noise(count, loud ? 100.0f : 1.0f);
    });
    h.initialize();
    std::vector<ObjectRef> out = h.run("VAD_DECISION", 30);
    for (int c = 0; c < 30; ++c) EXPECT_EQ(isSpeech(out[size_t(c)]), c >= 20 && c < 25) << "frame " << c;
    EXPECT_EQ(h.input("AUDIO_SPECTRUM").maxRequested(), 29);  // no look-ahead

    RCPtr<Vector<ObjectRef>> a = out[20], b = out[21];
    ASSERT_EQ(a->size(), 1u);
    EXPECT_NE((*a)[0].get(), (*b)[0].get());  // a fresh record per frame
    RCPtr<Source> s = (*a)[0];
    EXPECT_EQ(s->x[0], 1.0f);
    EXPECT_EQ(s->x[1], 0.0f);
    EXPECT_EQ(s->x[2], 0.0f);
    EXPECT_EQ(s->power, 1.0f);
    EXPECT_EQ(s->id, 777);
    EXPECT_EQ(s->reserved, 0.0f);
}

TEST(VoiceActivityDetectionNode, UnusableSpectraAreRefusedWithSizesAndFrame) {
    EXPECT_EQ(firstFrameError(filled(1.0f, 1, 257)),
              kNode + "AUDIO_SPECTRUM needs 2 rows (one per channel), got a 1 x 257 spectrum (frame 0)");
    EXPECT_EQ(
        firstFrameError(filled(1.0f, 2, 1025), 1000),
        kNode +
            "AUDIO_SPECTRUM needs a bin spacing of at least 1 Hz, but 1025 columns at SAMPLING_RATE 1000 "
            "give (1000 / 2) / 1024 = 0 Hz (frame 0)");
    for (std::string m : {firstFrameError(filled(1.0f, 2, 257), 6000), firstFrameError(filled(1.0f, 2, 1))}) {
        EXPECT_EQ(m.find(kNode + "AUDIO_SPECTRUM needs"), 0u) << m;
        EXPECT_NE(m.find("(frame 0)"), std::string::npos) << m;
    }
    EXPECT_EQ(firstFrameError(ObjectRef(new Float(1.0f))),
              kNode + "AUDIO_SPECTRUM expects Matrix<complex<float>>, got float (frame 0)");
    EXPECT_EQ(firstFrameError(ObjectRef()),
              kNode + "AUDIO_SPECTRUM expects Matrix<complex<float>>, got nil (frame 0)");

    // A later frame that changes shape is refused with its frame number.
    for (int rows : {1, 2}) {
        NodeHarness h(new VoiceActivityDetection("vad", params()));
        h.feed("AUDIO_SPECTRUM", [rows](int count) {
            return count < 3 ? noise(count, 1.0f) : noise(count, 1.0f, rows, rows == 1 ? 257 : 513);
        });
        h.initialize();
        h.run("VAD_DECISION", 3);
        EXPECT_EQ(hostError([&] { h.pull("VAD_DECISION", 3); }),
                  kNode +
                      "AUDIO_SPECTRUM must keep 2 rows or more and the 257 columns of the first frame, got " +
                      (rows == 1 ? "1 x 257" : "2 x 513") + " (frame 3)");
    }
}

TEST(VoiceActivityDetectionNode, SurvivesHostileStreamsAndReleasesEverything) {
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    const long before = Object::liveCount();
    {
        // Silence first (learning restarts) and later, NaN and infinite frames while learning and
        // later, sudden loud frames: decisions go on, and loud frames are speech.
        NodeHarness h(new VoiceActivityDetection("vad", params(0.05f)));
        h.feed("AUDIO_SPECTRUM", [=](int count) -> ObjectRef {
            if (count < 5 || count == 45) return filled(0.0f);
            if (count == 7 || count == 30) return filled({nan, 0.0f});
            if (count == 8 || count == 31) return filled({0.0f, inf});
            if (count == 40) return filled(3e19f);  // power beyond single precision
            if (count >= 20 && count < 23) return noise(count, 1e4f);
            if (count == 50) return noise(count, 1e15f);
            return noise(count, 1.0f);
        });
        h.initialize();
        std::vector<ObjectRef> out = h.run("VAD_DECISION", 60);
        for (int c = 0; c < 60; ++c)
            EXPECT_EQ(isSpeech(out[size_t(c)]), (c >= 20 && c < 23) || c == 50) << "frame " << c;
    }
    EXPECT_EQ(Object::liveCount(), before);
}
