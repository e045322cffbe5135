// The node through the host: parameters, the decision record, frame N, shape errors
// with their frame, hostile input and released objects.
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
using FD::testing::NodeHarness;
using FD::testing::Params;
using Spectrum = Matrix<std::complex<float>>;
using SourceList = Vector<ObjectRef>;

namespace {

Params params(float noiseSeconds = 0.1f, float threshold = 1.0f, int rate = 16000) {
    Params p;
    p.i("ADVANCE", 160)
        .i("SAMPLING_RATE", rate)
        .f("VAD_NOISE_DURATION", noiseSeconds)
        .f("VAD_THRESHOLD", threshold);
    return p;
}

// Gaussian noise of the given amplitude in every bin of both channels; `count` seeds it,
// so a frame asked twice is the same frame.
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

bool isSpeech(const ObjectRef& decision) { return !RCPtr<SourceList>(decision)->empty(); }

template <class F>
std::string hostError(F&& f) {
    try {
        f();
    } catch (BaseException* e) {
        std::string m = e->message();
        delete e;
        return m;
    }
    return "";
}

std::string constructionError(const Params& p) {
    return hostError([&] { delete new VoiceActivityDetection("vad", p); });
}

}  // namespace

TEST(VoiceActivityDetectionNode, RefusesUnusableParametersNamingThem) {
    EXPECT_EQ(constructionError(params().i("ADVANCE", 0)),
              "VoiceActivityDetection \"vad\": ADVANCE must be a positive number of samples, got 0");
    EXPECT_NE(constructionError(params().i("ADVANCE", -160)).find("ADVANCE"), std::string::npos);
    EXPECT_EQ(constructionError(params().i("SAMPLING_RATE", 0)),
              "VoiceActivityDetection \"vad\": SAMPLING_RATE must be a positive number of samples per "
              "second, got 0");
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {std::nanf(""), inf, -inf}) {
        EXPECT_NE(
            constructionError(params(bad)).find("VAD_NOISE_DURATION must be a finite number of seconds"),
            std::string::npos);
        EXPECT_NE(constructionError(params(0.1f, bad)).find("VAD_THRESHOLD must be a finite number"),
                  std::string::npos);
    }
    EXPECT_EQ(
        constructionError(params(1e30f)),
        "VoiceActivityDetection \"vad\": VAD_NOISE_DURATION of 1e+30 s at ADVANCE 160 and SAMPLING_RATE "
        "16000 is more frames than an int counts");
    EXPECT_EQ(constructionError(params().remove("VAD_THRESHOLD")), "missing parameter VAD_THRESHOLD");

    // Types are the host's business: an int where a float is expected is a cast error.
    try {
        VoiceActivityDetection n("vad", params().i("VAD_NOISE_DURATION", 1));
        FAIL() << "an int VAD_NOISE_DURATION was accepted";
    } catch (CastException<float>* e) {
        EXPECT_EQ(e->type(), "int");
        delete e;
    }

    EXPECT_EQ(constructionError(params(1.0f, -2.0f)), "");  // negative thresholds are fine
}

TEST(VoiceActivityDetectionNode, LearningLengthFromTheDuration) {
    EXPECT_EQ(VoiceActivityDetection("vad", params(1.0f)).noiseFrames(), 100);
    EXPECT_EQ(VoiceActivityDetection("vad", params(0.03f)).noiseFrames(), 3);
    EXPECT_EQ(VoiceActivityDetection("vad", params(0.0f)).noiseFrames(), 1);
    EXPECT_EQ(VoiceActivityDetection("vad", params(-1.0f)).noiseFrames(), 1);
}

TEST(VoiceActivityDetectionNode, LearnsThenDecidesFrameByFrame) {
    // 10 learning frames of noise; frame 10 ends learning; then noise, loud frames, noise.
    NodeHarness h(new VoiceActivityDetection("vad", params(0.1f, 2.0f)));
    h.feed("AUDIO_SPECTRUM", [](int count) {
        bool loud = count == 10 || (count >= 20 && count < 25);
        return noise(count, loud ? 100.0f : 1.0f);
    });
    h.initialize();
    std::vector<ObjectRef> out = h.run("VAD_DECISION", 30);
    for (int c = 0; c < 30; ++c) EXPECT_EQ(isSpeech(out[size_t(c)]), c >= 20 && c < 25) << "frame " << c;

    // The speech record, one fresh list and record per frame.
    RCPtr<SourceList> a = out[20], b = out[21];
    ASSERT_EQ(a->size(), 1u);
    EXPECT_NE(a.get(), b.get());
    EXPECT_NE((*a)[0].get(), (*b)[0].get());
    RCPtr<Source> s = (*a)[0];
    EXPECT_EQ(s->x[0], 1.0f);
    EXPECT_EQ(s->x[1], 0.0f);
    EXPECT_EQ(s->x[2], 0.0f);
    EXPECT_EQ(s->power, 1.0f);
    EXPECT_EQ(s->id, 777);
    EXPECT_EQ(s->reserved, 0.0f);
    EXPECT_EQ(h.input("AUDIO_SPECTRUM").maxRequested(), 29);  // no look-ahead
}

TEST(VoiceActivityDetectionNode, FrameNIsSpeechExactlyForANegativeThreshold) {
    for (float threshold : {-0.001f, 0.0f}) {
        NodeHarness h(new VoiceActivityDetection("vad", params(0.05f, threshold)));
        h.feed("AUDIO_SPECTRUM", [](int count) { return noise(count, 1.0f); });
        h.initialize();
        std::vector<ObjectRef> out = h.run("VAD_DECISION", 7);
        for (int c = 0; c < 5; ++c) EXPECT_FALSE(isSpeech(out[size_t(c)])) << c;
        EXPECT_EQ(isSpeech(out[5]), threshold < 0.0f);
        // Scores are never negative: from then on a negative threshold always says speech.
        if (threshold < 0.0f) {
            EXPECT_TRUE(isSpeech(out[6]));
        }
    }
}

TEST(VoiceActivityDetectionNode, UnusableSpectraAreRefusedWithSizesAndFrame) {
    struct Case {
        ObjectRef frame;
        int rate;
        std::string message;
    };
    const std::string node = "VoiceActivityDetection \"vad\": ";
    std::vector<Case> cases = {
        {filled(1.0f, 1, 257), 16000,
         node + "AUDIO_SPECTRUM needs 2 rows (one per channel), got a 1 x 257 spectrum (frame 0)"},
        {filled(1.0f, 2, 1), 16000, ""},
        {filled(1.0f, 2, 1025), 1000,
         node + "AUDIO_SPECTRUM needs a bin spacing of at least 1 Hz, but 1025 "
                "columns at SAMPLING_RATE 1000 give (1000 / 2) / 1024 = 0 Hz (frame 0)"},
        {filled(1.0f, 2, 257), 6000, ""},
        {ObjectRef(new Float(1.0f)), 16000,
         node + "AUDIO_SPECTRUM expects Matrix<complex<float>>, got float (frame 0)"},
        {ObjectRef(), 16000, node + "AUDIO_SPECTRUM expects Matrix<complex<float>>, got nil (frame 0)"},
    };
    for (const Case& c : cases) {
        NodeHarness h(new VoiceActivityDetection("vad", params(0.1f, 1.0f, c.rate)));
        ObjectRef frame = c.frame;
        h.feed("AUDIO_SPECTRUM", [frame](int) { return frame; });
        h.initialize();
        std::string m = hostError([&] { h.pull("VAD_DECISION", 0); });
        if (c.message.empty()) {
            EXPECT_NE(m.find(node + "AUDIO_SPECTRUM needs"), std::string::npos) << m;
            EXPECT_NE(m.find("(frame 0)"), std::string::npos) << m;
        } else {
            EXPECT_EQ(m, c.message);
        }
    }

    // A later frame that changes shape is refused too, with its frame number.
    for (int rows : {1, 2}) {
        NodeHarness h(new VoiceActivityDetection("vad", params()));
        h.feed("AUDIO_SPECTRUM", [rows](int count) {
            return count < 3 ? noise(count, 1.0f) : noise(count, 1.0f, rows, rows == 1 ? 257 : 513);
        });
        h.initialize();
        h.run("VAD_DECISION", 3);
        EXPECT_EQ(hostError([&] { h.pull("VAD_DECISION", 3); }),
                  node +
                      "AUDIO_SPECTRUM must keep 2 rows or more and the 257 columns of the first frame, got " +
                      (rows == 1 ? "1 x 257" : "2 x 513") + " (frame 3)");
    }
}

TEST(VoiceActivityDetectionNode, SurvivesHostileStreams) {
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    // Silence first (learning restarts), NaN and infinite frames in the learning and
    // later, sudden loud frames: the node keeps deciding, and loud frames are speech.
    NodeHarness h(new VoiceActivityDetection("vad", params(0.05f, 2.0f)));
    h.feed("AUDIO_SPECTRUM", [=](int count) -> ObjectRef {
        if (count < 5) return filled(0.0f);  // digital silence: learning restarts at 6
        if (count == 7 || count == 30) return filled({nan, 0.0f});
        if (count == 8 || count == 31) return filled({0.0f, inf});
        if (count == 40) return filled(3e19f);  // power beyond single precision
        if (count >= 20 && count < 23) return noise(count, 1e4f);
        if (count == 50) return noise(count, 1e15f);
        return noise(count, 1.0f);
    });
    h.initialize();
    std::vector<ObjectRef> out = h.run("VAD_DECISION", 60);
    for (int c = 0; c < 60; ++c) {
        bool expected = (c >= 20 && c < 23) || c == 50;
        EXPECT_EQ(isSpeech(out[size_t(c)]), expected) << "frame " << c;
    }
}

TEST(VoiceActivityDetectionNode, ReleasesEveryObject) {
    long before = Object::liveCount();
    {
        NodeHarness h(new VoiceActivityDetection("vad", params(0.05f, -1.0f)));
        h.feed("AUDIO_SPECTRUM", [](int count) { return noise(count, 1.0f); });
        h.initialize();
        h.run("VAD_DECISION", 40);
    }
    EXPECT_EQ(Object::liveCount(), before);
}
