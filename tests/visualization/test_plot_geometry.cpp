// Plot geometry at its edges: refused time windows, scrolling that keeps up,
// overflow, truncation toward minus infinity, wild samples and magnitudes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/support/NodeHarness.h"
#include "visualization/PlotGeometry.h"

using namespace vis;

TEST(PlotGeometry, TimeWindowRoundsAndRefusesUnusableValues) {
    EXPECT_EQ(timeBase("n", 3.0f, 160, 16000).windowFrames, 300);
    EXPECT_EQ(timeBase("n", 1.0f, 512, 44100).windowFrames, 86);  // 86.13 frames
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float seconds;
        int advance, rate;
        const char* names;
    };
    for (const Case& c :
         {Case{0.39f, 160, 16000, "VISUALIZATION_TIME_LENGTH"}, Case{0.0f, 160, 16000, ""},
          Case{-3.0f, 160, 16000, ""}, Case{std::nanf(""), 160, 16000, ""}, Case{inf, 160, 16000, ""},
          Case{1.0e9f, 160, 16000, ""}, Case{3.0f, 0, 16000, "ADVANCE"}, Case{3.0f, -160, 16000, "ADVANCE"},
          Case{3.0f, 160, 0, "SAMPLING_RATE"}}) {
        SCOPED_TRACE(c.seconds);
        std::string m = FD::testing::hostError([&] { timeBase("Wave \"w\"", c.seconds, c.advance, c.rate); });
        EXPECT_EQ(m.rfind("Wave \"w\"", 0), 0u) << m;
        EXPECT_NE(m.find(c.names), std::string::npos) << m;
    }
}

TEST(PlotGeometry, FromFortyFramesUpRefetchesStayWithinTheWindow) {
    for (int frames : {39, 40, 41, 57, 1001}) {
        int ws = 0, worst = 0;
        for (int count = 0; count <= 20000; count += kRefreshInterval) {
            ws = scrolledWindowStart(count, ws, frames);
            worst = std::max(worst, count - ws);
        }
        if (frames >= kMinWindowFrames)
            EXPECT_LE(worst, frames) << frames;
        else
            EXPECT_GT(worst, 10 * frames) << frames;
    }
}

TEST(PlotGeometry, ColumnsTileThePlotWithoutOverflow) {
    for (int f = 0; f < 300; ++f)
        ASSERT_EQ(frameColumnEnd(f, 0, 30, 545, 300), frameColumn(f + 1, 0, 30, 545, 300));
    EXPECT_EQ(frameColumn(kMaxWindowFrames, 0, 0, 4000, kMaxWindowFrames), 4000);
}

TEST(PlotGeometry, EnvelopeRowsShiftTowardMinusInfinityAndHoldWildSamples) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<float, int>> cases = {{511, 60},      {512, 61},     {-1, 59},
                                                      {-512, 59},     {-513, 58},    {-0.9f, 60},
                                                      {32767, 123},   {-32768, -4},  {std::nanf(""), 60},
                                                      {1e30f, 16000}, {-inf, -16000}};
    for (const auto& [sample, row] : cases) EXPECT_EQ(envelopeY(60.0f, sample), row) << sample;
    EXPECT_EQ(envelopeY(481.6f, 0.0f), 481);
    float some[4] = {3.0f, -5120.0f, 5120.0f, 7.0f};
    int lo = 0, hi = 0;
    ASSERT_TRUE(envelopeRows(some, 4, 180.0f, lo, hi));
    EXPECT_EQ(lo, 170);
    EXPECT_EQ(hi, 190);
    EXPECT_FALSE(envelopeRows(some, 0, 60.0f, lo, hi));
}

TEST(PlotGeometry, SpectrogramBinsLevelsAndColours) {
    EXPECT_EQ(spectrumBinsPerRow(385), 2);  // 1.5 rounds half up
    EXPECT_EQ(spectrumBinsPerRow(128), 1);  // not 0
    EXPECT_EQ(spectrumRowCount(1, 1), 0);
    EXPECT_EQ(spectrumRowCount(0, 1), 0);
    std::complex<float> two[2] = {{60.0f, 80.0f}, {301.0f, 0.0f}};  // |.| = 100, 301
    EXPECT_EQ(spectrumLevel(two, 2, 2), 200u);                      // trunc(trunc(50) + 150.5)
    EXPECT_EQ(spectrumLevel(two, 2, 1), 50u);                       // only the bins there are
    const float inf = std::numeric_limits<float>::infinity();
    std::complex<float> wild[3] = {{inf, 0.0f}, {std::nanf(""), 0.0f}, {3.0e38f, 3.0e38f}};
    for (int i = 0; i < 3; ++i) EXPECT_GE(spectrumLevel(wild + i, 1, 1), 196605u) << i;
    const std::vector<std::pair<uint64_t, std::vector<unsigned>>> ramp = {{0, {0, 0, 0}},
                                                                          {65535, {65535, 0, 0}},
                                                                          {100000, {65535, 34465, 0}},
                                                                          {150000, {65535, 65535, 18930}},
                                                                          {200000, {65535, 65535, 65535}}};
    for (const auto& [level, rgb] : ramp) {
        Colour16 c = spectrumColour(level);
        EXPECT_EQ((std::vector<unsigned>{c.red, c.green, c.blue}), rgb) << level;
    }
}

TEST(PlotGeometry, AzimuthsTruncateTowardZeroAndOddRatesGetTheirLabels) {
    const double r = 44.9 * M_PI / 180.0;
    EXPECT_EQ(azimuthDegrees(float(std::cos(r)), float(std::sin(r))), 44);
    EXPECT_EQ(azimuthDegrees(float(std::cos(r)), float(-std::sin(r))), -44);
    EXPECT_EQ(azimuthDegrees(-1.0f, 0.0f), 180);
    EXPECT_EQ(azimuthDegrees(0.0f, 0.0f), 0);
    auto texts = [](const std::vector<Label>& labels) {
        std::string t;
        for (const Label& l : labels) t += l.text + " ";
        return t;
    };
    EXPECT_EQ(texts(frequencyLabels(50, 266, 44100)), "0.0kHz 5.5kHz 11.0kHz 16.5kHz 22.0kHz ");
    EXPECT_EQ(texts(frequencyLabels(50, 266, 1999)), "");
    EXPECT_EQ(texts(timeLabels(30, 545, 250, 0, 86, 512.0f / 44100.0f)), "0.00s 0.24s 0.49s 0.73s 0.98s ");
}
