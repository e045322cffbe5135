// The detector kernel on tiny spectra with answers worked out by hand.
//
// Most cases use a 6800 Hz stream with 18 bins: 200 Hz per bin, band bins 1 to 16
// (16 bins, so dividing by K is exact), bins 0 and 17 outside the band.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "vad/vad_detector.h"

using vad::Band;
using vad::Detector;
using cf = std::complex<float>;

namespace {

constexpr int kRate = 6800;
constexpr int kColumns = 18;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// A two-channel frame: every band bin holds c0 in channel 0 and c1 in channel 1; the
// two bins outside the band hold `outside` in both channels.
struct Frame {
    std::vector<cf> ch0, ch1;
    Frame(cf c0, cf c1, cf outside = cf(1e30f, kNaN)) : ch0(kColumns, c0), ch1(kColumns, c1) {
        ch0[0] = ch1[0] = ch0[kColumns - 1] = ch1[kColumns - 1] = outside;
    }
};

// Band power 2: channel 0 only, |2|^2 = 4, halved.
Frame lowNoise() { return Frame(cf(2, 0), cf(0, 0)); }
// Band power 10: channel 1 only, |4 + 2i|^2 = 20, halved.
Frame highNoise() { return Frame(cf(0, 0), cf(4, 2)); }
// Band power a^2: |a|^2 in each channel.
Frame withAmplitude(float a) { return Frame(cf(a, 0), cf(0, a)); }

bool feed(Detector& d, const Frame& f) { return d.process(f.ch0.data(), f.ch1.data()); }

Detector started(int noiseFrames, float threshold) {
    Detector d(noiseFrames, threshold);
    d.start(vad::bandOf(kRate, kColumns));
    return d;
}

// Learns low and high noise (mean 6, deviation 4 in every band bin) and ends the
// learning period; the next frame is the first one scored.
Detector learned(float threshold) {
    Detector d = started(2, threshold);
    feed(d, lowNoise());
    feed(d, highNoise());
    feed(d, withAmplitude(1000.0f));  // ends learning, not examined
    return d;
}

}  // namespace

TEST(VadGeometry, LearningLengthIsTruncatedSinglePrecisionQuotientThenProduct) {
    EXPECT_EQ(vad::noiseFrameCount(1.0f, 160, 16000), 100);
    // 0.03 / 160 * 16000 is exactly 3 in single precision (2.9999999 in double).
    EXPECT_EQ(vad::noiseFrameCount(0.03f, 160, 16000), 3);
    // 0.01 / 160 * 48000 is 2.9999998 in single precision: the division comes first.
    EXPECT_EQ(vad::noiseFrameCount(0.01f, 160, 48000), 2);
    // Too short, zero or negative: one frame.
    EXPECT_EQ(vad::noiseFrameCount(0.005f, 160, 16000), 1);
    EXPECT_EQ(vad::noiseFrameCount(0.0f, 160, 16000), 1);
    EXPECT_EQ(vad::noiseFrameCount(-3.0f, 160, 16000), 1);
    // Beyond an int, or not a number: no count.
    EXPECT_FALSE(vad::noiseFrameCount(1e30f, 160, 16000).has_value());
    EXPECT_FALSE(vad::noiseFrameCount(kNaN, 160, 16000).has_value());
    // The largest float below 2^31 still counts; 2^31 does not.
    EXPECT_EQ(vad::noiseFrameCount(2147483520.0f, 1, 1), 2147483520);
    EXPECT_FALSE(vad::noiseFrameCount(2147483648.0f, 1, 1).has_value());
}

TEST(VadGeometry, TelephoneBandInWholeHertzBins) {
    Band b = vad::bandOf(16000, 257);
    EXPECT_EQ(b.binSpacing, 31);  // 8000 / 256 = 31.25, truncated
    EXPECT_EQ(b.low, 9);
    EXPECT_EQ(b.high, 109);
    EXPECT_EQ(b.size(), 100);

    b = vad::bandOf(kRate, kColumns);
    EXPECT_EQ(b.binSpacing, 200);
    EXPECT_EQ(b.low, 1);
    EXPECT_EQ(b.high, 17);
}

TEST(VadGeometry, UnusableSpectrumShapesAreNamedWithTheirSizes) {
    EXPECT_EQ(vad::spectrumShapeProblem(2, 257, 16000), "");
    EXPECT_EQ(vad::spectrumShapeProblem(4, 257, 16000), "");  // extra rows are ignored
    // The band may end exactly at the last bin: 6800 Hz, 341 bins, 10 Hz per bin.
    EXPECT_EQ(vad::spectrumShapeProblem(2, 341, 6800), "");

    EXPECT_EQ(vad::spectrumShapeProblem(1, 257, 16000),
              "needs 2 rows (one per channel), got a 1 x 257 spectrum");
    EXPECT_NE(vad::spectrumShapeProblem(2, 1, 16000).find("got a 2 x 1 spectrum"), std::string::npos);
    EXPECT_NE(vad::spectrumShapeProblem(2, 0, 16000).find("got a 2 x 0 spectrum"), std::string::npos);
    EXPECT_EQ(vad::spectrumShapeProblem(2, 1025, 1000),
              "needs a bin spacing of at least 1 Hz, but 1025 columns at SAMPLING_RATE 1000 give (1000 / 2) "
              "/ 1024 = 0 Hz");
    EXPECT_EQ(
        vad::spectrumShapeProblem(2, 340, 6800),
        "needs the 300-3400 Hz band below the last bin, but at 10 Hz per bin it ends at bin 340 and the "
        "spectrum has 340 columns");
    EXPECT_NE(vad::spectrumShapeProblem(2, 257, 6000).find("11 Hz per bin it ends at bin 309"),
              std::string::npos);
}

TEST(VadDetector, LearnsMeanAndDeviationOfTheBandOverTheFirstFrames) {
    Detector d = started(2, -1.0f);  // a negative threshold still gives no speech while learning
    EXPECT_FALSE(feed(d, lowNoise()));
    EXPECT_EQ(d.phase(), Detector::Phase::Learning);
    EXPECT_FALSE(feed(d, highNoise()));
    EXPECT_EQ(d.phase(), Detector::Phase::Ending);
    for (int k = 1; k <= 16; ++k) EXPECT_EQ(d.noiseMean(k), 6.0f) << k;

    // Frame N is not examined: its score is 0, which beats a negative threshold.
    EXPECT_TRUE(feed(d, withAmplitude(1000.0f)));
    EXPECT_EQ(d.lastScore(), 0.0f);
    EXPECT_EQ(d.phase(), Detector::Phase::Detecting);
    for (int k = 1; k <= 16; ++k) {
        EXPECT_EQ(d.noiseMean(k), 6.0f) << k;
        EXPECT_EQ(d.noiseDeviation(k), 4.0f) << k;  // |2 - 6| / 2 + |10 - 6| / 2
    }
}

TEST(VadDetector, FrameNDecidesOnAZeroScore) {
    Detector d = started(2, 0.0f);
    feed(d, lowNoise());
    feed(d, highNoise());
    EXPECT_FALSE(feed(d, withAmplitude(1e6f)));  // 0 > 0 is false, however loud the frame
    EXPECT_EQ(d.phase(), Detector::Phase::Detecting);
}

TEST(VadDetector, ScoresAgainstTheDeviationWithAStrictThreshold) {
    // Power 4 over deviation 4: every term is 1 - ln 1 - 1 = 0 exactly. Divided by the
    // mean (6) instead, the score would be 0.072.
    Detector d = learned(0.0f);
    EXPECT_FALSE(feed(d, withAmplitude(2.0f)));
    EXPECT_EQ(d.lastScore(), 0.0f);
    Detector below = learned(-1e-30f);
    EXPECT_TRUE(feed(below, withAmplitude(2.0f)));
    Detector meanUsed = learned(0.05f);
    EXPECT_FALSE(feed(meanUsed, withAmplitude(2.0f)));

    // Power 16: g = 4 in all 16 bins, the score is 4 - ln 4 - 1.
    const float term = (4.0f - std::log(4.0f) - 1.0f) / 16.0f;
    float expected = 0.0f;
    for (int k = 0; k < 16; ++k) expected = expected + term;
    EXPECT_TRUE(feed(d, withAmplitude(4.0f)));
    EXPECT_EQ(d.lastScore(), expected);
    EXPECT_NEAR(d.lastScore(), 1.6137056f, 1e-6f);

    Detector at = learned(expected);
    EXPECT_FALSE(feed(at, withAmplitude(4.0f)));  // equal to the threshold is not speech

    // The statistics never change once learned.
    EXPECT_EQ(d.noiseDeviation(5), 4.0f);
    EXPECT_EQ(d.noiseMean(5), 6.0f);
}

TEST(VadDetector, OnlyTheBandIsReadAndBothChannelsCountHalf) {
    // Bins outside the band hold NaN and overflowing values in every frame above,
    // yet the scores are clean. A quieter frame is also far from the noise.
    Detector d = learned(0.0f);
    EXPECT_TRUE(feed(d, withAmplitude(0.5f)));
    EXPECT_GT(d.lastScore(), 0.0f);
    EXPECT_TRUE(std::isfinite(d.lastScore()));

    // Channel 1 alone with |x|^2 = 8 gives power 4, as does channel 0 alone.
    EXPECT_FALSE(feed(d, Frame(cf(0, 0), cf(2, 2))));
    EXPECT_EQ(d.lastScore(), 0.0f);
    EXPECT_FALSE(feed(d, Frame(cf(2, 2), cf(0, 0))));
    EXPECT_EQ(d.lastScore(), 0.0f);
}

TEST(VadDetector, ZeroPowerAndZeroDeviationBins) {
    // A band bin at exactly zero power, with non-zero deviation, adds -ln 0 = +inf.
    Detector d = learned(1e6f);
    Frame f = withAmplitude(2.0f);
    f.ch0[7] = f.ch1[7] = 0.0f;
    EXPECT_TRUE(feed(d, f));
    EXPECT_EQ(d.lastScore(), kInf);

    // One learning frame: every deviation is zero, every later score NaN, no speech.
    Detector one = started(1, -1.0f);
    feed(one, lowNoise());
    EXPECT_TRUE(feed(one, lowNoise()));  // frame N, score 0 > -1
    for (float a : {0.0f, 2.0f, 1e6f}) {
        EXPECT_FALSE(feed(one, withAmplitude(a))) << a;
        EXPECT_TRUE(std::isnan(one.lastScore()));
    }
    EXPECT_EQ(one.restarts(), 0);
}

TEST(VadDetector, EmptyBandScoresZero) {
    // 16000 Hz with 3 bins: 4000 Hz per bin, the band 0 / 4000 to 3400 / 4000 is empty.
    Detector d(1, -0.5f);
    d.start(vad::bandOf(16000, 3));
    EXPECT_EQ(d.band().size(), 0);
    std::vector<cf> x(3, cf(1, 1));
    EXPECT_FALSE(d.process(x.data(), x.data()));
    EXPECT_TRUE(d.process(x.data(), x.data()));
    EXPECT_TRUE(d.process(x.data(), x.data()));
    EXPECT_EQ(d.lastScore(), 0.0f);
}

TEST(VadDetector, NonFiniteLearningFramesAreLeftOutAndLearningWaits) {
    Detector d = started(2, 0.0f);
    feed(d, lowNoise());
    Frame nan = lowNoise();
    nan.ch1[3] = cf(kNaN, 0);
    Frame inf = highNoise();
    inf.ch0[16] = cf(0, kInf);
    Frame overflow = withAmplitude(1.0f);
    overflow.ch0[1] = cf(3e19f, 0);  // finite, but its power is beyond single precision
    for (const Frame& bad : {nan, inf, overflow}) {
        EXPECT_FALSE(feed(d, bad));
        EXPECT_EQ(d.phase(), Detector::Phase::Learning);
    }
    EXPECT_EQ(d.skippedFrames(), 3);
    feed(d, highNoise());
    EXPECT_EQ(d.phase(), Detector::Phase::Ending);
    feed(d, nan);  // the ending frame is not examined
    for (int k = 1; k <= 16; ++k) {
        EXPECT_EQ(d.noiseMean(k), 6.0f);
        EXPECT_EQ(d.noiseDeviation(k), 4.0f);
    }

    // While detecting, a non-finite frame is no speech and leaves the state alone.
    EXPECT_FALSE(feed(d, nan));
    EXPECT_TRUE(std::isnan(d.lastScore()));
    EXPECT_FALSE(feed(d, inf));
    EXPECT_TRUE(feed(d, withAmplitude(4.0f)));
    EXPECT_NEAR(d.lastScore(), 1.6137056f, 1e-6f);
    EXPECT_EQ(d.skippedFrames(), 3);
}

TEST(VadDetector, DigitalSilenceDuringLearningDoesNotLeaveItDeaf) {
    Detector d = started(2, 1.0f);
    const Frame silence(cf(0, 0), cf(0, 0), cf(0, 0));
    feed(d, silence);
    feed(d, silence);
    EXPECT_FALSE(feed(d, withAmplitude(1e3f)));  // frame N still decides on a zero score
    EXPECT_EQ(d.restarts(), 1);
    EXPECT_EQ(d.phase(), Detector::Phase::Learning);

    // Learning starts over with the next frames and then detects.
    feed(d, lowNoise());
    feed(d, highNoise());
    feed(d, withAmplitude(2.0f));
    EXPECT_EQ(d.phase(), Detector::Phase::Detecting);
    EXPECT_EQ(d.noiseDeviation(1), 4.0f);
    EXPECT_FALSE(feed(d, withAmplitude(2.0f)));
    EXPECT_TRUE(feed(d, withAmplitude(4.0f)));

    // A single silent bin is enough to be deaf, so it restarts too.
    Detector notch = started(2, 1.0f);
    Frame quietBin = lowNoise();
    quietBin.ch0[9] = 0.0f;
    feed(notch, quietBin);
    feed(notch, quietBin);
    feed(notch, quietBin);
    EXPECT_EQ(notch.restarts(), 1);

    // Silence in part of the period is learned as it is: the mean is not zero.
    Detector partial = started(2, 1.0f);
    feed(partial, silence);
    feed(partial, withAmplitude(4.0f));
    feed(partial, silence);
    EXPECT_EQ(partial.restarts(), 0);
    EXPECT_EQ(partial.phase(), Detector::Phase::Detecting);
    EXPECT_EQ(partial.noiseMean(4), 8.0f);
    EXPECT_EQ(partial.noiseDeviation(4), 8.0f);
}

TEST(VadDetector, ManyLearningFramesSumInOrder) {
    // Powers 1, 4, ..., 49 over N = 7: the mean is the running sum of p / 7 in frame
    // order, the deviation the running sum of |p - mean| / 7.
    Detector d = started(7, 0.0f);
    float mean = 0.0f;
    for (int i = 1; i <= 7; ++i) {
        feed(d, withAmplitude(float(i)));
        mean = mean + float(i * i) / 7.0f;
    }
    float dev = 0.0f;
    for (int i = 1; i <= 7; ++i) dev = dev + std::fabs(float(i * i) - mean) / 7.0f;
    feed(d, withAmplitude(1.0f));
    EXPECT_EQ(d.noiseMean(8), mean);
    EXPECT_EQ(d.noiseDeviation(8), dev);
}
