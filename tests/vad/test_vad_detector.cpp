// The detector kernel on tiny spectra with answers worked out by hand.
//
// Most cases use a 6800 Hz stream with 18 bins: 200 Hz per bin, band bins 1 to 16
// (16 bins, so dividing by K is exact), bins 0 and 17 outside the band. Learning low
// then high noise (band powers 2 and 10) gives mean 6 and deviation 4 in every bin.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "vad/vad_detector.h"

using vad::Detector;
using cf = std::complex<float>;

namespace {

constexpr int kColumns = 18;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Every band bin holds c0 in channel 0 and c1 in channel 1; the bins outside the band
// hold values that would spoil any score that read them.
struct Frame {
    std::vector<cf> ch0, ch1;
    Frame(cf c0, cf c1, cf outside = cf(1e30f, kNaN)) : ch0(kColumns, c0), ch1(kColumns, c1) {
        ch0[0] = ch1[0] = ch0[kColumns - 1] = ch1[kColumns - 1] = outside;
    }
};

Frame lowNoise() { return Frame(cf(2, 0), cf(0, 0)); }              // channel 0 only: 4 / 2
Frame highNoise() { return Frame(cf(0, 0), cf(4, 2)); }             // channel 1 only: 20 / 2
Frame withAmplitude(float a) { return Frame(cf(a, 0), cf(0, a)); }  // power a^2
const Frame kSilence(cf(0, 0), cf(0, 0), cf(0, 0));

bool feed(Detector& d, const Frame& f) { return d.process(f.ch0.data(), f.ch1.data()); }

Detector started(int noiseFrames, float threshold) {
    Detector d(noiseFrames, threshold);
    d.start(vad::bandOf(6800, kColumns));
    return d;
}

// Learned mean 6 and deviation 4; the next frame is the first one scored.
Detector learned(float threshold) {
    Detector d = started(2, threshold);
    feed(d, lowNoise());
    feed(d, highNoise());
    feed(d, withAmplitude(1000.0f));  // ends learning, not examined
    return d;
}

}  // namespace

TEST(VadGeometry, LearningLengthAndBandInSinglePrecisionAndWholeHertz) {
    EXPECT_EQ(vad::noiseFrameCount(1.0f, 160, 16000), 100);
    EXPECT_EQ(vad::noiseFrameCount(0.03f, 160, 16000), 3);  // 2.9999999 in double precision
    EXPECT_EQ(vad::noiseFrameCount(0.01f, 160, 48000), 2);  // 3 if the product came first
    for (float tooShort : {0.005f, 0.0f, -3.0f}) EXPECT_EQ(vad::noiseFrameCount(tooShort, 160, 16000), 1);
    EXPECT_EQ(vad::noiseFrameCount(2147483520.0f, 1, 1), 2147483520);  // largest float below 2^31
    for (float tooLong : {2147483648.0f, 1e30f, kNaN}) EXPECT_FALSE(vad::noiseFrameCount(tooLong, 1, 1));

    vad::Band b = vad::bandOf(16000, 257);  // 8000 / 256 = 31.25 Hz, taken as 31
    EXPECT_EQ(b.binSpacing, 31);
    EXPECT_EQ(b.low, 9);
    EXPECT_EQ(b.high, 109);
}

TEST(VadGeometry, UnusableSpectrumShapesAreNamedWithTheirSizes) {
    EXPECT_EQ(vad::spectrumShapeProblem(4, 257, 16000), "");  // extra rows are ignored
    EXPECT_EQ(vad::spectrumShapeProblem(2, 341, 6800), "");   // band ends at the last bin
    EXPECT_EQ(vad::spectrumShapeProblem(1, 257, 16000),
              "needs 2 rows (one per channel), got a 1 x 257 spectrum");
    EXPECT_NE(vad::spectrumShapeProblem(2, 1, 16000).find("columns"), std::string::npos);
    EXPECT_NE(vad::spectrumShapeProblem(2, 0, 16000).find("got a 2 x 0 spectrum"), std::string::npos);
    EXPECT_EQ(vad::spectrumShapeProblem(2, 1025, 1000),
              "needs a bin spacing of at least 1 Hz, but 1025 columns at SAMPLING_RATE 1000 give (1000 / 2) "
              "/ 1024 = 0 Hz");
    EXPECT_EQ(
        vad::spectrumShapeProblem(2, 340, 6800),
        "needs the 300-3400 Hz band below the last bin, but at 10 Hz per bin it ends at bin 340 and the "
        "spectrum has 340 columns");
}

TEST(VadDetector, LearnsOverNFramesAndDecidesFrameNOnAZeroScore) {
    Detector d = started(2, -1.0f);  // a negative threshold still gives no speech while learning
    EXPECT_FALSE(feed(d, lowNoise()));
    EXPECT_FALSE(feed(d, highNoise()));
    EXPECT_EQ(d.phase(), Detector::Phase::Ending);
    EXPECT_TRUE(feed(d, withAmplitude(1000.0f)));  // not examined: score 0 > -1
    EXPECT_EQ(d.lastScore(), 0.0f);
    for (int k = 1; k <= 16; ++k) {
        EXPECT_EQ(d.noiseMean(k), 6.0f) << k;
        EXPECT_EQ(d.noiseDeviation(k), 4.0f) << k;  // |2 - 6| / 2 + |10 - 6| / 2
    }
    Detector zero = started(2, 0.0f);
    feed(zero, lowNoise());
    feed(zero, highNoise());
    EXPECT_FALSE(feed(zero, withAmplitude(1e6f)));  // 0 > 0 is false, however loud the frame

    // Powers 1, 4, ..., 49 over N = 7: both sums run in frame order.
    Detector seven = started(7, 0.0f);
    float mean = 0.0f, dev = 0.0f;
    for (int i = 1; i <= 7; ++i) {
        feed(seven, withAmplitude(float(i)));
        mean = mean + float(i * i) / 7.0f;
    }
    for (int i = 1; i <= 7; ++i) dev = dev + std::fabs(float(i * i) - mean) / 7.0f;
    feed(seven, kSilence);
    EXPECT_EQ(seven.noiseMean(8), mean);
    EXPECT_EQ(seven.noiseDeviation(8), dev);
}

TEST(VadDetector, ScoresAgainstTheDeviationWithAStrictThreshold) {
    // Power 4 over deviation 4: every term is 1 - ln 1 - 1 = 0. Over the mean (6) the
    // score would be 0.072 and beat 0.05.
    Detector d = learned(0.0f);
    EXPECT_FALSE(feed(d, withAmplitude(2.0f)));
    EXPECT_EQ(d.lastScore(), 0.0f);
    Detector below = learned(-1e-30f), overMean = learned(0.05f);
    EXPECT_TRUE(feed(below, withAmplitude(2.0f)));
    EXPECT_FALSE(feed(overMean, withAmplitude(2.0f)));

    // Power 16: g = 4 in all 16 bins; the sum adds each term divided by 16.
    const float term = (4.0f - std::log(4.0f) - 1.0f) / 16.0f;
    float expected = 0.0f;
    for (int k = 0; k < 16; ++k) expected = expected + term;
    EXPECT_TRUE(feed(d, withAmplitude(4.0f)));
    EXPECT_EQ(d.lastScore(), expected);
    EXPECT_NEAR(expected, 1.6137056f, 1e-6f);
    Detector at = learned(expected);
    EXPECT_FALSE(feed(at, withAmplitude(4.0f)));  // equal to the threshold is not speech

    // Both channels count half: either one alone with |x|^2 = 8 is power 4.
    EXPECT_FALSE(feed(d, Frame(cf(0, 0), cf(2, 2))));
    EXPECT_FALSE(feed(d, Frame(cf(2, 2), cf(0, 0))));
    EXPECT_EQ(d.lastScore(), 0.0f);
    EXPECT_EQ(d.noiseDeviation(5), 4.0f);  // never updated after learning
}

TEST(VadDetector, ZeroPowersZeroDeviationsAndAnEmptyBand) {
    Detector d = learned(1e6f);
    Frame f = withAmplitude(2.0f);
    f.ch0[7] = f.ch1[7] = 0.0f;  // -ln 0 = +inf beats any threshold
    EXPECT_TRUE(feed(d, f));
    EXPECT_EQ(d.lastScore(), kInf);
    EXPECT_FALSE(feed(d, kSilence));  // but a whole band of digital silence is no speech
    EXPECT_EQ(d.lastScore(), kInf);

    // One learning frame: every deviation is zero, every later score NaN, no speech.
    Detector one = started(1, -1.0f);
    feed(one, lowNoise());
    EXPECT_TRUE(feed(one, lowNoise()));  // frame N, score 0 > -1
    for (float a : {0.0f, 2.0f, 1e6f}) EXPECT_FALSE(feed(one, withAmplitude(a))) << a;
    EXPECT_TRUE(std::isnan(one.lastScore()));

    // 16000 Hz with 3 bins: 4000 Hz per bin, the band is empty and every score 0.
    Detector empty(1, -0.5f);
    empty.start(vad::bandOf(16000, 3));
    std::vector<cf> x(3, cf(1, 1));
    EXPECT_FALSE(empty.process(x.data(), x.data()));
    EXPECT_TRUE(empty.process(x.data(), x.data()));
    EXPECT_TRUE(empty.process(x.data(), x.data()));
    EXPECT_EQ(empty.lastScore(), 0.0f);
}

TEST(VadDetector, NonFiniteLearningFramesAreLeftOutAndLearningWaits) {
    Detector d = started(2, 0.0f);
    feed(d, lowNoise());
    Frame nan = lowNoise(), inf = highNoise(), overflow = withAmplitude(1.0f);
    nan.ch1[3] = cf(kNaN, 0);
    inf.ch0[16] = cf(0, kInf);
    overflow.ch0[1] = cf(3e19f, 0);  // finite, but its power is beyond single precision
    for (const Frame& bad : {nan, inf, overflow}) EXPECT_FALSE(feed(d, bad));
    EXPECT_EQ(d.skippedFrames(), 3);
    EXPECT_EQ(d.phase(), Detector::Phase::Learning);
    feed(d, highNoise());
    feed(d, nan);  // ends learning, not examined
    EXPECT_EQ(d.noiseMean(3), 6.0f);
    EXPECT_EQ(d.noiseDeviation(16), 4.0f);

    // While detecting, a non-finite frame is no speech and changes nothing.
    EXPECT_FALSE(feed(d, nan));
    EXPECT_FALSE(feed(d, inf));
    EXPECT_TRUE(feed(d, withAmplitude(4.0f)));
    EXPECT_NEAR(d.lastScore(), 1.6137056f, 1e-6f);
}

TEST(VadDetector, DigitalSilenceDuringLearningDoesNotLeaveItDeaf) {
    Detector d = started(2, 1.0f);
    feed(d, kSilence);
    feed(d, kSilence);
    EXPECT_FALSE(feed(d, withAmplitude(1e3f)));  // frame N still decides on a zero score
    EXPECT_EQ(d.restarts(), 1);
    feed(d, lowNoise());  // learning starts over
    feed(d, highNoise());
    feed(d, withAmplitude(2.0f));
    EXPECT_EQ(d.phase(), Detector::Phase::Detecting);
    EXPECT_FALSE(feed(d, withAmplitude(2.0f)));
    EXPECT_TRUE(feed(d, withAmplitude(4.0f)));

    // One band bin that only heard silence is enough to be deaf: it restarts too.
    Detector notch = started(2, 1.0f);
    Frame quietBin = lowNoise();
    quietBin.ch0[9] = 0.0f;
    for (int i = 0; i < 3; ++i) feed(notch, quietBin);
    EXPECT_EQ(notch.restarts(), 1);

    // Silence in part of the period is learned as it is.
    Detector partial = started(2, 1.0f);
    feed(partial, kSilence);
    feed(partial, withAmplitude(4.0f));
    feed(partial, kSilence);
    EXPECT_EQ(partial.restarts(), 0);
    EXPECT_EQ(partial.noiseMean(4), 8.0f);
    EXPECT_EQ(partial.noiseDeviation(4), 8.0f);
}
