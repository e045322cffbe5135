// Plot geometry worked out by hand: time window, scrolling, columns, envelope rows,
// spectrogram rows, levels and colours, direction rows and label texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "flow/Exception.h"
#include "visualization/PlotGeometry.h"

using namespace vis;

namespace {

std::string refusal(float seconds, int advance, int rate) {
    try {
        timeBase("WaveVisualization \"wave\"", seconds, advance, rate);
    } catch (FD::BaseException* e) {
        std::string m = e->message();
        delete e;
        return m;
    }
    return "";
}

}  // namespace

TEST(PlotGeometry, TimeWindowFromParametersAndItsLimits) {
    TimeBase t = timeBase("n", 3.0f, 160, 16000);
    EXPECT_FLOAT_EQ(t.secondsPerFrame, 0.01f);
    EXPECT_EQ(t.windowFrames, 300);
    EXPECT_EQ(timeBase("n", 0.4f, 160, 16000).windowFrames, 40);
    EXPECT_EQ(timeBase("n", 1.0f, 512, 44100).windowFrames, 86);  // 86.13 frames, rounded

    // Fewer than 40 frames would scroll behind the stream; 0 would divide by zero.
    std::string m = refusal(0.39f, 160, 16000);
    EXPECT_NE(m.find("WaveVisualization \"wave\""), std::string::npos) << m;
    EXPECT_NE(m.find("VISUALIZATION_TIME_LENGTH"), std::string::npos) << m;
    EXPECT_NE(m.find("39 frames"), std::string::npos) << m;
    EXPECT_NE(m.find("40"), std::string::npos) << m;
    EXPECT_NE(refusal(0.0f, 160, 16000), "");
    EXPECT_NE(refusal(-3.0f, 160, 16000), "");
    EXPECT_NE(refusal(std::nanf(""), 160, 16000), "");
    EXPECT_NE(refusal(std::numeric_limits<float>::infinity(), 160, 16000), "");
    EXPECT_NE(refusal(1.0e9f, 160, 16000), "");  // more frames than the column arithmetic allows
    EXPECT_NE(refusal(3.0f, 0, 16000).find("ADVANCE"), std::string::npos);
    EXPECT_NE(refusal(3.0f, -160, 16000).find("ADVANCE"), std::string::npos);
    EXPECT_NE(refusal(3.0f, 160, 0).find("SAMPLING_RATE"), std::string::npos);
}

TEST(PlotGeometry, ScrollingByHalfWindowsKeepsRefetchesWithinTheLookBack) {
    int start = 0;
    std::map<int, int> seen;
    for (int count = 0; count <= 620; count += kRefreshInterval) {
        start = scrolledWindowStart(count, start, 300);
        seen[count] = start;
    }
    EXPECT_EQ(seen[300], 0);
    EXPECT_EQ(seen[320], 150);
    EXPECT_EQ(seen[440], 150);
    EXPECT_EQ(seen[460], 300);
    EXPECT_EQ(seen[620], 450);

    // From 40 frames up, count - windowStart never exceeds the window at a refresh;
    // below 40 the window falls further and further behind.
    for (int frames : {39, 40, 41, 57, 300, 1001}) {
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

TEST(PlotGeometry, FrameColumnsAndBands) {
    // 300 frames over 545 pixels from x = 30.
    EXPECT_EQ(frameColumn(0, 0, 30, 545, 300), 30);
    EXPECT_EQ(frameColumn(300, 0, 30, 545, 300), 575);
    EXPECT_EQ(frameColumn(320, 150, 30, 545, 300), 30 + 308);
    EXPECT_EQ(frameColumnEnd(0, 0, 30, 545, 300), 31);
    EXPECT_EQ(frameColumnEnd(1, 0, 30, 545, 300), 33);
    // Bands tile the plot without gaps or overlaps.
    for (int f = 0; f < 300; ++f)
        EXPECT_EQ(frameColumnEnd(f, 0, 30, 545, 300), frameColumn(f + 1, 0, 30, 545, 300));
    // With more frames than columns some bands are empty.
    EXPECT_EQ(frameColumn(0, 0, 30, 545, 1000), frameColumnEnd(0, 0, 30, 545, 1000));
    EXPECT_LT(frameColumn(1, 0, 30, 545, 1000), frameColumnEnd(1, 0, 30, 545, 1000));
    // A wide plot times a long window stays exact.
    EXPECT_EQ(frameColumn(kMaxWindowFrames, 0, 0, 4000, kMaxWindowFrames), 4000);
}

TEST(PlotGeometry, EnvelopeRowsShiftByNineBitsTowardMinusInfinity) {
    EXPECT_EQ(envelopeY(60.0f, 0.0f), 60);
    EXPECT_EQ(envelopeY(60.0f, 511.0f), 60);
    EXPECT_EQ(envelopeY(60.0f, 512.0f), 61);  // larger values lie lower
    EXPECT_EQ(envelopeY(60.0f, -1.0f), 59);
    EXPECT_EQ(envelopeY(60.0f, -512.0f), 59);
    EXPECT_EQ(envelopeY(60.0f, -513.0f), 58);
    EXPECT_EQ(envelopeY(60.0f, -0.9f), 60);  // truncated to 0 before the shift
    EXPECT_EQ(envelopeY(60.0f, 32767.0f), 123);
    EXPECT_EQ(envelopeY(60.0f, -32768.0f), -4);
    EXPECT_EQ(envelopeY(481.6f, 0.0f), 481);  // float centre lines truncate
    // Out-of-range samples are held, never undefined.
    EXPECT_EQ(envelopeY(60.0f, std::nanf("")), 60);
    EXPECT_EQ(envelopeY(60.0f, 1.0e30f), 16000);
    EXPECT_EQ(envelopeY(60.0f, -std::numeric_limits<float>::infinity()), -16000);

    float one[1] = {-5120.0f};
    int lo = 0, hi = 0;
    ASSERT_TRUE(envelopeRows(one, 1, 60.0f, lo, hi));
    EXPECT_EQ(lo, 50);
    EXPECT_EQ(hi, 50);
    float some[4] = {3.0f, -5120.0f, 5120.0f, 7.0f};
    ASSERT_TRUE(envelopeRows(some, 4, 180.0f, lo, hi));
    EXPECT_EQ(lo, 170);
    EXPECT_EQ(hi, 190);
    EXPECT_FALSE(envelopeRows(some, 0, 60.0f, lo, hi));
}

TEST(PlotGeometry, SpectrogramRowsLevelsAndColours) {
    EXPECT_EQ(spectrumBinsPerRow(257), 1);
    EXPECT_EQ(spectrumBinsPerRow(513), 2);
    EXPECT_EQ(spectrumBinsPerRow(1025), 4);
    EXPECT_EQ(spectrumBinsPerRow(129), 1);
    EXPECT_EQ(spectrumBinsPerRow(385), 2);  // 1.5 rounds half up
    EXPECT_EQ(spectrumBinsPerRow(128), 1);  // would be 0: one bin per row instead
    EXPECT_EQ(spectrumBinsPerRow(2), 1);

    EXPECT_EQ(spectrumRowCount(257, 1), 256);  // rows 266 .. 11: the last bin is not drawn
    EXPECT_EQ(spectrumRowCount(129, 1), 128);
    EXPECT_EQ(spectrumRowCount(513, 2), 256);
    EXPECT_EQ(spectrumRowCount(2, 1), 1);
    EXPECT_EQ(spectrumRowCount(1, 1), 0);
    EXPECT_EQ(spectrumRowCount(0, 1), 0);
    EXPECT_EQ(spectrumRowY(0, 0, 1), 266);
    EXPECT_EQ(spectrumRowY(0, 255, 1), 11);
    EXPECT_EQ(spectrumRowY(1, 0, 2), 542);
    EXPECT_EQ(spectrumRowY(1, 7, 2), 539);

    // Mean of P magnitudes, truncated after each addition.
    std::complex<float> two[2] = {{60.0f, 80.0f}, {301.0f, 0.0f}};  // |.| = 100, 301
    EXPECT_EQ(spectrumLevel(two, 2, 2), 200u);                      // 50, then trunc(50 + 150.5)
    std::complex<float> ones[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    EXPECT_EQ(spectrumLevel(ones, 4, 4), 0u);  // 0.25 truncates to 0 every time
    EXPECT_EQ(spectrumLevel(two, 2, 1), 50u);  // only the bins there are
    std::complex<float> wild[2] = {{std::numeric_limits<float>::infinity(), 0.0f}, {std::nanf(""), 0.0f}};
    EXPECT_GE(spectrumLevel(wild, 1, 1), 196605u);
    EXPECT_GE(spectrumLevel(wild + 1, 1, 1), 196605u);
    std::complex<float> huge[1] = {{3.0e38f, 3.0e38f}};  // re^2 overflows to infinity
    EXPECT_GE(spectrumLevel(huge, 1, 1), 196605u);

    auto colour = [](uint64_t m) {
        Colour16 c = spectrumColour(m);
        return std::vector<unsigned>{c.red, c.green, c.blue};
    };
    EXPECT_EQ(colour(0), (std::vector<unsigned>{0, 0, 0}));
    EXPECT_EQ(colour(65535), (std::vector<unsigned>{65535, 0, 0}));
    EXPECT_EQ(colour(100000), (std::vector<unsigned>{65535, 34465, 0}));
    EXPECT_EQ(colour(131070), (std::vector<unsigned>{65535, 65535, 0}));
    EXPECT_EQ(colour(150000), (std::vector<unsigned>{65535, 65535, 18930}));
    EXPECT_EQ(colour(200000), (std::vector<unsigned>{65535, 65535, 65535}));
}

TEST(PlotGeometry, DirectionRows) {
    // The direction window's plot rectangle (30, 10, 545, 640): D = 390.4.
    const float d = directionBoxHeight(640);
    EXPECT_FLOAT_EQ(d, 390.4f);
    EXPECT_FLOAT_EQ(signalBoxHeight(640), 102.4f);
    EXPECT_EQ(azimuthDegrees(1.0f, 0.0f), 0);
    EXPECT_EQ(azimuthDegrees(0.0f, 1.0f), 90);
    EXPECT_EQ(azimuthDegrees(0.0f, -1.0f), -90);
    EXPECT_EQ(azimuthDegrees(-1.0f, 0.0f), 180);
    EXPECT_EQ(azimuthDegrees(0.0f, 0.0f), 0);
    const double r = 44.9 * M_PI / 180.0;
    EXPECT_EQ(azimuthDegrees(float(std::cos(r)), float(std::sin(r))), 44);
    EXPECT_EQ(azimuthDegrees(float(std::cos(r)), float(-std::sin(r))), -44);
    EXPECT_EQ(azimuthRowY(10, d, 0), 205);
    EXPECT_EQ(azimuthRowY(10, d, 90), 107);
    EXPECT_EQ(azimuthRowY(10, d, -90), 302);
    EXPECT_EQ(azimuthRowY(10, d, 180), 10);
    EXPECT_EQ(azimuthRowY(10, d, -180), 400);
    EXPECT_EQ(azimuthRowY(10, d, 44), 157);
}

TEST(PlotGeometry, LabelTextsAndPlaces) {
    auto texts = [](const std::vector<Label>& labels) {
        std::vector<std::string> t;
        for (const Label& l : labels) t.push_back(l.text);
        return t;
    };
    auto xs = [](const std::vector<Label>& labels) {
        std::vector<int> v;
        for (const Label& l : labels) v.push_back(l.x);
        return v;
    };
    auto ys = [](const std::vector<Label>& labels) {
        std::vector<int> v;
        for (const Label& l : labels) v.push_back(l.y);
        return v;
    };

    std::vector<Label> time = timeLabels(30, 545, 250, 150, 300, 0.01f);
    EXPECT_EQ(texts(time), (std::vector<std::string>{"1.50s", "2.25s", "3.00s", "3.75s", "4.50s"}));
    EXPECT_EQ(xs(time), (std::vector<int>{25, 161, 297, 433, 570}));
    EXPECT_EQ(ys(time), (std::vector<int>{250, 250, 250, 250, 250}));
    // 86 frames: steps of 21 frames, the last label short of the right edge.
    EXPECT_EQ(texts(timeLabels(30, 545, 250, 0, 86, 512.0f / 44100.0f)),
              (std::vector<std::string>{"0.00s", "0.24s", "0.49s", "0.73s", "0.98s"}));

    std::vector<Label> khz = frequencyLabels(50, 266, 16000);
    EXPECT_EQ(texts(khz), (std::vector<std::string>{"0.0kHz", "2.0kHz", "4.0kHz", "6.0kHz", "8.0kHz"}));
    EXPECT_EQ(ys(khz), (std::vector<int>{271, 207, 143, 79, 15}));
    EXPECT_EQ(xs(khz)[0], 7);
    EXPECT_EQ(texts(frequencyLabels(50, 266, 44100)),
              (std::vector<std::string>{"0.0kHz", "5.5kHz", "11.0kHz", "16.5kHz", "22.0kHz"}));
    EXPECT_TRUE(frequencyLabels(50, 266, 1999).empty());

    std::vector<Label> dir = directionLabels(30, 10, directionBoxHeight(640));
    ASSERT_EQ(dir.size(), 13u);
    EXPECT_EQ(dir[0].text, "-180");
    EXPECT_EQ(dir[3].text, " -90");
    EXPECT_EQ(dir[6].text, "   0");
    EXPECT_EQ(dir[9].text, "  90");
    EXPECT_EQ(dir[12].text, " 180");
    EXPECT_EQ(dir[0].y, 405);
    EXPECT_EQ(dir[3].y, 307);
    EXPECT_EQ(dir[6].y, 210);
    EXPECT_EQ(dir[9].y, 112);
    EXPECT_EQ(dir[12].y, 15);
    EXPECT_EQ(dir[0].x, 2);

    std::vector<Label> values = valueLabels(30, 10.0f, 100.0f);
    EXPECT_EQ(texts(values), (std::vector<std::string>{"-1", " 0", " 1"}));
    EXPECT_EQ(ys(values), (std::vector<int>{115, 65, 15}));
    EXPECT_EQ(xs(values), (std::vector<int>{10, 10, 10}));
    // Direction window, left signal box from 430.4, 102.4 high.
    EXPECT_EQ(ys(valueLabels(30, 430.4f, 102.4f)), (std::vector<int>{537, 486, 435}));
}
