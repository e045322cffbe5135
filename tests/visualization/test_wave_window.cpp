// The waveform window, and through it the frame every window shares: layout,
// envelope pixels, scrolling, pass-through, closing, resizing and release.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <memory>
#include <thread>

#include "tests/support/NodeHarness.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/WaveVisualization.h"

using namespace vistest;
using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

Params waveParams(float seconds = 3.0f, const std::string& title = "Wave test") {
    Params p;
    p.f("VISUALIZATION_TIME_LENGTH", seconds)
        .s("WINDOW_NAME", title)
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

struct WaveRig {
    explicit WaveRig(FD::testing::ScriptedSource::Script script, float seconds = 3.0f,
                     const std::string& title = "Wave test")
        : node(new WaveVisualization("wave", waveParams(seconds, title))), harness(node) {
        source = &harness.feed("INPUT_AUDIO_SIGNAL", std::move(script));
        harness.initialize();
    }
    const kwWaveGtk& state() const { return node->drawingState(); }
    Picture picture() const { return Picture(state().pixmap); }
    FD::ObjectRef pull(int count) { return harness.pull("OUTPUT_AUDIO_SIGNAL", count); }

    WaveVisualization* node;
    NodeHarness harness;
    FD::testing::ScriptedSource* source;
};

}  // namespace

TEST(WaveWindow, OpensWithTitleSizeAndStaticLayout) {
    int before = toplevelCount();
    WaveRig rig([](int) { return signalFrame(0, 0); });
    EXPECT_EQ(toplevelCount(), before + 1);
    const kwWaveGtk& s = rig.state();
    ASSERT_NE(s.window, nullptr);
    ASSERT_NE(s.pixmap, nullptr);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(s.window)), "Wave test");
    EXPECT_EQ(s.drawingArea->allocation.width, 600);
    EXPECT_EQ(s.drawingArea->allocation.height, 260);
    EXPECT_EQ(s.plotX, 30);
    EXPECT_EQ(s.plotY, 10);
    EXPECT_EQ(s.plotWidth, 545);
    EXPECT_EQ(s.plotHeight, 220);
    EXPECT_EQ(s.windowFrames, 300);
    EXPECT_FLOAT_EQ(s.secondsPerFrame, 0.01f);

    Picture p = rig.picture();
    ASSERT_EQ(p.width(), 600);
    ASSERT_EQ(p.height(), 260);
    // Box outlines (30, 10, 545, 100) and (30, 130, 545, 100), nothing inside.
    for (int top : {10, 130}) {
        EXPECT_EQ(p.count(kBlack, 30, top, 576, top + 1), 546) << top;
        EXPECT_EQ(p.count(kBlack, 30, top + 100, 576, top + 101), 546) << top;
        EXPECT_EQ(p.count(kBlack, 30, top, 31, top + 101), 101) << top;
        EXPECT_EQ(p.count(kBlack, 575, top, 576, top + 101), 101) << top;
        EXPECT_EQ(p.count(kBlack, 200, top + 1, 575, top + 100), 0) << top;
    }
    // Captions, value labels (x = 10) and time labels (row 250), white around them.
    EXPECT_TRUE(showsText(p, 40, 30, "Left signal input"));
    EXPECT_TRUE(showsText(p, 40, 150, "Right signal input"));
    EXPECT_TRUE(showsText(p, 10, 15, " 1"));
    EXPECT_TRUE(showsText(p, 10, 65, " 0"));
    EXPECT_TRUE(showsText(p, 10, 115, "-1"));
    EXPECT_TRUE(showsText(p, 10, 135, " 1"));
    EXPECT_TRUE(showsText(p, 10, 235, "-1"));
    EXPECT_TRUE(showsText(p, 25, 250, "0.00s"));
    EXPECT_TRUE(showsText(p, 161, 250, "0.75s"));
    EXPECT_TRUE(showsText(p, 297, 250, "1.50s"));
    EXPECT_TRUE(showsText(p, 433, 250, "2.25s"));
    EXPECT_TRUE(showsText(p, 570, 250, "3.00s"));

    // The screen shows the picture.
    pumpEvents();
    EXPECT_TRUE(Picture(s.drawingArea->window) == p);

    // A second initialize opens no second window.
    rig.node->initialize();
    EXPECT_EQ(toplevelCount(), before + 1);
}

TEST(WaveWindow, EnvelopePixels) {
    // Frame 0: left from -5120 to 5120 (rows 50 to 70), right silent (row 180).
    // Frame 1..19 are never drawn before the refresh of frame 20.
    std::vector<float> left(160, 0.0f), right(160, 0.0f);
    left[3] = -5120.0f;
    left[90] = 5120.0f;
    WaveRig rig(
        [&](int count) { return count == 0 ? signalFrame(left, right) : signalFrame(-1.0f, 511.0f); });
    rig.pull(0);
    Picture p = rig.picture();
    std::vector<int> rows = p.rowsOf(kBlue, 30, 11, 110);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front(), 50);
    EXPECT_EQ(rows.back(), 70);
    EXPECT_EQ(p.rowsOf(kBlue, 30, 131, 230), std::vector<int>{180});
    EXPECT_EQ(p.count(kBlue, 32, 0, 600, 260), 0);

    // By frame 20: frames 1..20 at -1 lie one row above the left centre line,
    // those at 511 on the right one; columns x(f) = 30 + f * 545 / 300.
    rig.pull(20);
    p = rig.picture();
    EXPECT_EQ(p.at(30 + 10 * 545 / 300, 59), kBlue);
    EXPECT_NE(p.at(30 + 10 * 545 / 300, 60), kBlue);
    EXPECT_EQ(p.at(30 + 10 * 545 / 300, 180), kBlue);
    EXPECT_EQ(p.at(30 + 20 * 545 / 300, 59), kBlue);
    EXPECT_EQ(p.count(kBlue, 30 + 20 * 545 / 300 + 2, 0, 600, 260), 0);
}

TEST(WaveWindow, FramesWithFewerRowsOrNoSamplesDrawWhatThereIs) {
    // Frame 0: the left channel only, at -5120 (row 50); frames 1..20: no samples
    // at all, then NaN and huge samples. Nothing fails, the left point stays.
    WaveRig rig([](int count) {
        if (count == 0) {
            auto* m = new FD::Matrix<float>(1, 4);
            for (int i = 0; i < 4; ++i) (*m)(0, i) = -5120.0f;
            return FD::ObjectRef(m);
        }
        if (count < 10) return FD::ObjectRef(new FD::Matrix<float>(2, 0));
        return signalFrame(std::nanf(""), 1.0e30f);
    });
    rig.pull(0);
    Picture p = rig.picture();
    EXPECT_EQ(p.rowsOf(kBlue, 30, 11, 110), std::vector<int>{50});
    EXPECT_EQ(p.count(kBlue, 0, 120, 600, 260), 0);
    rig.pull(40);
    p = rig.picture();
    EXPECT_EQ(p.at(30, 50), kBlue);
    EXPECT_EQ(p.at(30 + 20 * 545 / 300, 60), kBlue);  // NaN drawn on the centre line
}
