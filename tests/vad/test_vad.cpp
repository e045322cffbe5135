#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "tests/support/NodeHarness.h"
#include "vad/VoiceActivityDetection.h"

using namespace FD;
using namespace FD::testing;
using cf = std::complex<float>;
using vad::Detector;

namespace {
// 18 bins at 6800 Hz, band bins 1 to 16, bins 0 and 17 unreadable. Powers 2, 10: mean 6, deviation 4.
struct Frame {
    std::vector<cf> ch0, ch1;
    Frame(cf c0, cf c1, cf outside = cf(1e30f, NAN)) : ch0(18, c0), ch1(18, c1) {
        ch0[0] = ch1[0] = ch0[17] = ch1[17] = outside;
    }
};
const Frame kLow(cf(2, 0), 0), kHigh(0, cf(4, 2)), kSilence(0, 0, 0);
Frame amp(float a) { return Frame(cf(a, 0), cf(0, a)); }  // power a^2
bool feed(Detector& d, const Frame& f) { return d.process(f.ch0.data(), f.ch1.data()); }
Detector started(float threshold, std::initializer_list<Frame> frames = {}) {
    Detector d(2, threshold);
    d.start(vad::bandOf(6800, 18));
    for (const Frame& f : frames) feed(d, f);
    return d;
}
Detector learned(float threshold) { return started(threshold, {kLow, kHigh, amp(1000)}); }

Params params(float noise = 0.1f, float limit = 2.0f, int rate = 16000, const char* update = nullptr) {
    Params p;
    p.i("ADVANCE", 160).i("SAMPLING_RATE", rate);
    if (update) p.s("NOISE_UPDATE", update);
    return p.f("VAD_NOISE_DURATION", noise).f("VAD_THRESHOLD", limit);
}

// Gaussian noise of deviation sigma seeded by the frame; sigma 0 gives `fill`.
ObjectRef frame(int count, float sigma, cf fill = 0.0f, int rows = 2, int cols = 257) {
    std::mt19937 rng(unsigned(count) * 7919u + 1u);
    std::normal_distribution<float> g;
    auto* s = new Matrix<cf>(rows, cols);
    for (size_t i = 0; i < s->size(); ++i) s->data()[i] = sigma == 0.0f ? fill : sigma * cf(g(rng), g(rng));
    return ObjectRef(s);
}
}  // namespace

TEST(VadDetector, LearnsOverNFramesSkipsFrameNAndUsesAStrictThreshold) {
    Detector d = started(-1.0f);
    for (const Frame& f : {kLow, kHigh}) EXPECT_FALSE(feed(d, f));
    EXPECT_TRUE(feed(d, amp(1000)));  // frame N is not examined: score 0 > -1
    EXPECT_EQ(d.lastScore(), 0.0f);
    for (int k = 1; k <= 16; ++k) EXPECT_TRUE(d.noiseMean(k) == 6.0f && d.noiseDeviation(k) == 4.0f) << k;
    Detector s = learned(0.0f);
    EXPECT_FALSE(feed(s, amp(2)));  // power 4 over the deviation 4 scores 0, and 0 > 0 is false
    EXPECT_TRUE(feed(s, amp(4)));
    EXPECT_NEAR(s.lastScore(), 1.6137056f, 1e-6f);
    Detector at = learned(s.lastScore());
    EXPECT_FALSE(feed(at, amp(4)));
    EXPECT_FALSE(feed(s, Frame(cf(2, 2), 0)));  // one channel counts half: power 4
}

TEST(VadDetector, NonFiniteFramesAndDigitalSilenceDoNotSpoilLearning) {
    Frame nan = kLow, inf = kHigh, overflow = amp(1);
    nan.ch1[3] = cf(NAN, 0);
    inf.ch0[16] = cf(0, INFINITY);
    overflow.ch0[1] = cf(3e19f, 0);  // power beyond single precision
    Detector d = started(0.0f, {kLow});
    for (const Frame& bad : {nan, inf, overflow}) EXPECT_FALSE(feed(d, bad));
    for (const Frame& f : {kHigh, nan /* frame N */}) feed(d, f);
    EXPECT_TRUE(d.noiseMean(3) == 6.0f && d.noiseDeviation(16) == 4.0f);
    EXPECT_FALSE(feed(d, nan) || feed(d, inf));
    EXPECT_TRUE(feed(d, amp(4)));
    EXPECT_NEAR(d.lastScore(), 1.6137056f, 1e-6f);

    d = started(1.0f);  // digital silence during learning does not leave it deaf
    for (const Frame& f : {kSilence, kSilence, amp(1e3f), kLow, kHigh, amp(2), amp(2)})
        EXPECT_FALSE(feed(d, f));
    EXPECT_TRUE(feed(d, amp(4)));
    Frame quietBin = kLow;  // one band bin that only heard silence is enough
    quietBin.ch0[9] = 0.0f;
    EXPECT_EQ(started(1.0f, {quietBin, quietBin, quietBin}).restarts(), 1);
}

TEST(VoiceActivityDetectionNode, RefusesBadParametersAndUnusableSpectra) {
    const std::string node = "VoiceActivityDetection \"vad\": ",
                      needs = node + "frame 0: AUDIO_SPECTRUM needs ";
    const std::pair<Params, std::string> parameters[] = {
        {params().i("ADVANCE", 0), "ADVANCE must be a positive number of samples, got 0"},
        {params().i("SAMPLING_RATE", -16000), "SAMPLING_RATE must be a positive number"},
        {params(NAN), "VAD_NOISE_DURATION must be a finite number"},
        {params(0.1f, INFINITY), "VAD_THRESHOLD must be a finite number"},
        {params(1e30f), "VAD_NOISE_DURATION of 1e+30 s at ADVANCE 160 and SAMPLING_RATE 16000"},
        {params(0.1f, 2.0f, 16000, "Continuous"), "NOISE_UPDATE must be \"NONE\" or \"CONTINUOUS\", got \"Continuous\""},
    };
    for (const auto& [p, expected] : parameters)
        EXPECT_EQ(hostError([&] { delete new VoiceActivityDetection("vad", p); }).find(node + expected), 0u);

    const std::tuple<int, int, int, int, std::string> spectra[] = {
        {1, 257, 16000, 0, needs + "2 rows (one per channel), got a 1 x 257"},  // rows, columns, rate, frame
        {2, 340, 6800, 0, needs + "the 300-3400 Hz band below the last bin"},
        {2, 1025, 1000, 0, needs + "a bin spacing of at least 1 Hz"},
        {2, 1, 16000, 0, needs},
        {0, 0, 16000, 0, node + "frame 0: AUDIO_SPECTRUM expects Matrix<complex<float>>, got nil"},
        {1, 257, 16000, 3, node + "frame 3: AUDIO_SPECTRUM must keep 2 rows"},  // after three good frames
    };
    for (const auto& [rows, cols, rate, at, expected] : spectra) {
        NodeHarness h(new VoiceActivityDetection("vad", params(0.1f, 2.0f, rate)));
        h.feed("AUDIO_SPECTRUM", [r = rows, c = cols, a = at](int t) {
            return r == 0 ? ObjectRef() : frame(t, 1, 0, t < a ? 2 : r, c);
        });
        h.initialize();
        const std::string e = hostError([&] { h.run("VAD_DECISION", at + 1); });
        EXPECT_EQ(e.find(expected), 0u) << e;
    }
}

TEST(VoiceActivityDetectionNode, DecidesFrameByFrameThroughSilenceAndNaN) {
    NodeHarness h(new VoiceActivityDetection("vad", params(0.05f)));
    h.feed("AUDIO_SPECTRUM", [](int c) {  // silence, noise with a NaN frame, loud frames 20 to 22
        float sigma = c >= 20 && c < 23 ? 1e4f : 1.0f;
        if (c < 5 || c == 7) sigma = 0.0f;
        return frame(c, sigma, c == 7 ? cf(NAN, INFINITY) : cf(0));
    });
    h.initialize();
    std::vector<ObjectRef> out = h.run("VAD_DECISION", 30);
    for (int c = 0; c < 30; ++c)
        EXPECT_EQ(RCPtr<Vector<ObjectRef>>(out[size_t(c)])->empty(), c < 20 || c >= 23) << c;
}

TEST(VadDetector, ContinuousUpdateFollowsANoiseStepButNotASustainedVowel) {
    // 257 bins at 16 kHz, 10 ms frames, 1 s of learning. Noise of power 1 per channel; from 3 s
    // to 5 s a vowel (harmonics of 125 Hz, 20 dB over the noise); 15 dB more noise from 8 s,
    // digital silence from 14 s to 15 s, NaN at 15.5 s, back to the first noise from 16 s.
    auto level = [](int c) { return c < 800 ? 1.0f : c < 1600 ? 31.6f : 1.0f; };
    std::mt19937 rng(3);
    std::normal_distribution<float> g(0.0f, std::sqrt(0.5f));
    std::vector<cf> ch0(257), ch1(257);
    std::vector<bool> kept, once;
    for (auto update : {enhancement::NoiseUpdate::Continuous, enhancement::NoiseUpdate::None}) {
        Detector d(100, 1.0f, update, 0.01);
        d.start(vad::bandOf(16000, 257));
        for (int c = 0; c < 2000; ++c) {
            const float gain = c >= 1400 && c < 1500 ? 0.0f : c == 1550 ? NAN : std::sqrt(level(c));
            for (int k = 0; k < 257; ++k) {
                const float vowel = c >= 300 && c < 500 && k % 4 == 0 ? 10.0f : 0.0f;
                ch0[size_t(k)] = gain * cf(g(rng), g(rng)) + vowel;
                ch1[size_t(k)] = gain * cf(g(rng), g(rng)) + vowel;
            }
            (update == enhancement::NoiseUpdate::None ? once : kept).push_back(d.process(ch0.data(), ch1.data()));
        }
    }
    auto share = [](const std::vector<bool>& v, int from, int to) {
        return double(std::count(v.begin() + from, v.begin() + to, true)) / (to - from);
    };
    EXPECT_EQ(share(kept, 300, 500), 1.0);  // the whole vowel
    EXPECT_EQ(share(once, 300, 500), 1.0);
    EXPECT_LT(share(kept, 101, 300) + share(kept, 500, 800), 0.1);
    EXPECT_EQ(share(kept, 800, 1000), share(once, 800, 1000));  // the step is news for a while
    EXPECT_EQ(share(once, 1100, 1400), 1.0);
    EXPECT_LT(share(kept, 1100, 1400), 0.1);  // learned within 3 s
    EXPECT_EQ(share(kept, 1400, 1500), 0.0);  // silence
    EXPECT_LT(share(kept, 1900, 2000), 0.1);  // after the silence, the NaN frame and the step down
}
