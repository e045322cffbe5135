// The detector kernel on tiny spectra with answers worked out by hand: a 6800 Hz stream
// with 18 bins, 200 Hz per bin, band bins 1 to 16. Learning band powers 2 and 10 gives
// mean 6 and deviation 4 in every bin.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "vad/vad_detector.h"

using vad::Detector;
using cf = std::complex<float>;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Every band bin holds c0 in channel 0 and c1 in channel 1; bins 0 and 17, outside the
// band, hold values that would spoil any score that read them.
struct Frame {
    std::vector<cf> ch0, ch1;
    Frame(cf c0, cf c1, cf outside = cf(1e30f, kNaN)) : ch0(18, c0), ch1(18, c1) {
        ch0[0] = ch1[0] = ch0[17] = ch1[17] = outside;
    }
};
const Frame kLow(cf(2, 0), cf(0, 0));   // channel 0 only: power 4 / 2
const Frame kHigh(cf(0, 0), cf(4, 2));  // channel 1 only: power 20 / 2
const Frame kSilence(cf(0, 0), cf(0, 0), cf(0, 0));
Frame withAmplitude(float a) { return Frame(cf(a, 0), cf(0, a)); }  // power a^2

bool feed(Detector& d, const Frame& f) { return d.process(f.ch0.data(), f.ch1.data()); }

Detector started(int noiseFrames, float threshold) {
    Detector d(noiseFrames, threshold);
    d.start(vad::bandOf(6800, 18));
    return d;
}

// Learned mean 6 and deviation 4; the next frame is the first one scored.
Detector learned(float threshold) {
    Detector d = started(2, threshold);
    for (const Frame& f : {kLow, kHigh, withAmplitude(1000.0f)}) feed(d, f);
    return d;
}

}  // namespace

TEST(VadDetector, LearningLengthInSinglePrecision) {
    EXPECT_EQ(vad::noiseFrameCount(0.03f, 160, 16000), 3);  // 2.9999999 in double precision
    EXPECT_EQ(vad::noiseFrameCount(0.01f, 160, 48000), 2);  // 3 if the product came first
    EXPECT_EQ(vad::noiseFrameCount(-3.0f, 160, 16000), 1);
    EXPECT_EQ(vad::noiseFrameCount(2147483520.0f, 1, 1), 2147483520);
    for (float tooLong : {2147483648.0f, kNaN}) EXPECT_FALSE(vad::noiseFrameCount(tooLong, 1, 1));
}

TEST(VadDetector, LearnsOverNFramesAndScoresAgainstTheDeviationWithAStrictThreshold) {
    Detector d = started(2, -1.0f);  // a negative threshold still gives no speech while learning
    EXPECT_FALSE(feed(d, kLow));
    EXPECT_FALSE(feed(d, kHigh));
    EXPECT_TRUE(feed(d, withAmplitude(1000.0f)));  // frame N is not examined: score 0 > -1
    EXPECT_EQ(d.lastScore(), 0.0f);
    for (int k = 1; k <= 16; ++k) EXPECT_TRUE(d.noiseMean(k) == 6.0f && d.noiseDeviation(k) == 4.0f) << k;
    Detector zero = started(2, 0.0f);
    for (const Frame& f : {kLow, kHigh}) feed(zero, f);
    EXPECT_FALSE(feed(zero, withAmplitude(1e6f)));  // 0 > 0 is false, however loud the frame

    // Power 4 over the deviation 4 scores 0 (over the mean 6 it would beat 0.05).
    Detector below = learned(-1e-30f), overMean = learned(0.05f), s = learned(0.0f);
    EXPECT_TRUE(feed(below, withAmplitude(2.0f)));
    EXPECT_FALSE(feed(overMean, withAmplitude(2.0f)));
    EXPECT_FALSE(feed(s, withAmplitude(2.0f)));
    // Power 16: g = 4 in all 16 bins; equal to the threshold is not speech.
    EXPECT_TRUE(feed(s, withAmplitude(4.0f)));
    EXPECT_NEAR(s.lastScore(), 1.6137056f, 1e-6f);
    Detector at = learned(s.lastScore());
    EXPECT_FALSE(feed(at, withAmplitude(4.0f)));
    // Both channels count half: either alone with |x|^2 = 8 is power 4.
    EXPECT_FALSE(feed(s, Frame(cf(0, 0), cf(2, 2))));
    EXPECT_FALSE(feed(s, Frame(cf(2, 2), cf(0, 0))));
    EXPECT_EQ(s.lastScore(), 0.0f);
}

TEST(VadDetector, ZeroPowersZeroDeviationsAndAnEmptyBand) {
    Detector d = learned(1e6f);
    Frame f = withAmplitude(2.0f);
    f.ch0[7] = f.ch1[7] = 0.0f;  // -ln 0 = +inf beats any threshold
    EXPECT_TRUE(feed(d, f));
    EXPECT_FALSE(feed(d, kSilence));  // but a whole band of digital silence is no speech

    Detector one = started(1, -1.0f);  // every deviation zero, every score NaN: no speech
    feed(one, kLow);
    feed(one, kLow);
    for (float a : {0.0f, 2.0f, 1e6f}) EXPECT_FALSE(feed(one, withAmplitude(a))) << a;

    Detector empty(1, -0.5f);  // 4000 Hz per bin: the band is empty, every score 0
    empty.start(vad::bandOf(16000, 3));
    std::vector<cf> x(3, cf(1, 1));
    for (bool speech : {false, true, true}) EXPECT_EQ(empty.process(x.data(), x.data()), speech);
}

TEST(VadDetector, NonFiniteFramesAreLeftOutAndLearningWaits) {
    Detector d = started(2, 0.0f);
    feed(d, kLow);
    Frame nan = kLow, inf = kHigh, overflow = withAmplitude(1.0f);
    nan.ch1[3] = cf(kNaN, 0);
    inf.ch0[16] = cf(0, kInf);
    overflow.ch0[1] = cf(3e19f, 0);  // finite, but its power is beyond single precision
    for (const Frame& bad : {nan, inf, overflow}) EXPECT_FALSE(feed(d, bad));
    EXPECT_EQ(d.skippedFrames(), 3);
    feed(d, kHigh);
    feed(d, nan);  // frame N
    EXPECT_TRUE(d.noiseMean(3) == 6.0f && d.noiseDeviation(16) == 4.0f);
    EXPECT_FALSE(feed(d, nan));  // while detecting: no speech, nothing changes
    EXPECT_FALSE(feed(d, inf));
    EXPECT_TRUE(feed(d, withAmplitude(4.0f)));
    EXPECT_NEAR(d.lastScore(), 1.6137056f, 1e-6f);
}

TEST(VadDetector, DigitalSilenceDuringLearningDoesNotLeaveItDeaf) {
    Detector d = started(2, 1.0f);
    for (const Frame& f : {kSilence, kSilence, withAmplitude(1e3f)}) EXPECT_FALSE(feed(d, f));
    EXPECT_EQ(d.restarts(), 1);
    for (const Frame& f : {kLow, kHigh, withAmplitude(2.0f), withAmplitude(2.0f)}) EXPECT_FALSE(feed(d, f));
    EXPECT_TRUE(feed(d, withAmplitude(4.0f)));

    Detector notch = started(2, 1.0f);  // one band bin that only heard silence is enough
    Frame quietBin = kLow;
    quietBin.ch0[9] = 0.0f;
    for (int i = 0; i < 3; ++i) feed(notch, quietBin);
    EXPECT_EQ(notch.restarts(), 1);

    Detector partial = started(2, 1.0f);  // silence in part of the period is learned as it is
    for (const Frame& f : {kSilence, withAmplitude(4.0f), kSilence}) feed(partial, f);
    EXPECT_EQ(partial.restarts(), 0);
    EXPECT_TRUE(partial.noiseMean(4) == 8.0f && partial.noiseDeviation(4) == 8.0f);
}
