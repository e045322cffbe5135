// The direction window: layout and direction axis, sources drawn at the heights
// of their azimuths, grouping by id, the cursor, and the envelopes below.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/NodeHarness.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/SSLvisualization.h"

using namespace vistest;
using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

Params sslParams(float seconds = 3.0f) {
    Params p;
    p.f("VISUALIZATION_TIME_LENGTH", seconds)
        .s("WINDOW_NAME", "Directions test")
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

// A source with the exact direction vector (x0, x1, 0).
FD::ObjectRef source(float x0, float x1, int id) {
    auto* s = new FD::Source();
    s->x[0] = x0;
    s->x[1] = x1;
    s->power = 1.0f;
    s->id = id;
    return FD::ObjectRef(s);
}

FD::ObjectRef listOf(std::vector<FD::ObjectRef> sources) {
    auto* list = new FD::Vector<FD::ObjectRef>();
    for (FD::ObjectRef& s : sources) list->push_back(s);
    return FD::ObjectRef(list);
}

struct SslRig {
    SslRig(std::function<FD::ObjectRef(int)> sources, float seconds = 3.0f)
        : node(new SSLvisualization("ssl", sslParams(seconds))), harness(node) {
        harness.feed("INPUT_AUDIO_SIGNAL", [](int) { return signalFrame(-5120.0f, 5120.0f); });
        harness.feed("INPUT_TRACKED_DOA", std::move(sources));
        harness.initialize();
    }
    const kwSSLGtk& state() const { return node->drawingState(); }
    Picture picture() const { return Picture(state().pixmap); }
    void pull(int count) { harness.pull("OUTPUT_TRACKED_DOA", count); }

    SSLvisualization* node;
    NodeHarness harness;
};

}  // namespace

TEST(DirectionWindow, LayoutAndDirectionAxis) {
    SslRig rig([](int) { return emptyList(); });
    const kwSSLGtk& s = rig.state();
    EXPECT_EQ(s.drawingArea->allocation.width, 600);
    EXPECT_EQ(s.drawingArea->allocation.height, 680);
    EXPECT_EQ(s.plotHeight, 640);
    Picture p = rig.picture();
    // Direction box (30, 10, 545, 390), signal boxes (30, 430, 545, 102) and (30, 552, 545, 102).
    for (int row : {10, 400, 430, 532, 552, 654})
        EXPECT_EQ(p.count(kBlack, 30, row, 576, row + 1), 546) << row;
    EXPECT_EQ(p.count(kBlack, 575, 10, 576, 401), 391);
    EXPECT_EQ(p.count(kBlack, 100, 401, 570, 430), 0);
    EXPECT_TRUE(showsText(p, 40, 30, "Localized / Tracked Directions Of Multisources"));
    EXPECT_TRUE(showsText(p, 2, 15, " 180"));
    EXPECT_TRUE(showsText(p, 2, 112, "  90"));
    EXPECT_TRUE(showsText(p, 2, 210, "   0"));
    EXPECT_TRUE(showsText(p, 2, 307, " -90"));
    EXPECT_TRUE(showsText(p, 2, 405, "-180"));
    EXPECT_TRUE(showsText(p, 40, 450, "Left signal input"));
    EXPECT_TRUE(showsText(p, 40, 572, "Right signal input"));
    EXPECT_TRUE(showsText(p, 10, 435, " 1"));
    EXPECT_TRUE(showsText(p, 10, 537, "-1"));
    EXPECT_TRUE(showsText(p, 25, 675, "0.00s"));
    EXPECT_TRUE(showsText(p, 570, 675, "3.00s"));
}

TEST(DirectionWindow, SourcesAtTheHeightsOfTheirAzimuths) {
    // Frame 10: 90 and -90 degrees (both id 0), 0 degrees (id 3), 180 degrees (id 1),
    // 44.9 degrees (id 2); no sources elsewhere.
    SslRig rig([](int count) {
        if (count != 10) return emptyList();
        const double r = 44.9 * M_PI / 180.0;
        return listOf({source(0.0f, 1.0f, 0), source(0.0f, -1.0f, 0), source(1.0f, 0.0f, 3),
                       source(-1.0f, 0.0f, 1), source(float(std::cos(r)), float(std::sin(r)), 2)});
    });
    rig.pull(20);
    Picture p = rig.picture();
    const int x = 30 + 10 * 545 / 300;  // 48; the segment is one frame (1 pixel) long
    for (int y : {106, 107, 108, 301, 302, 303, 204, 205, 206, 11, 156, 157, 158}) {
        EXPECT_EQ(p.at(x, y), kBlack) << y;
        EXPECT_EQ(p.at(x + 1, y), kBlack) << y;
    }
    for (int y : {104, 110, 299, 305, 202, 208, 13, 154, 160}) EXPECT_EQ(p.at(x, y), kWhite) << y;
    // Nothing else in the direction box but the cursor at x(20) = 66.
    EXPECT_EQ(p.count(kBlack, 35, 35, 46, 399), 0);  // below the title
    EXPECT_EQ(p.count(kBlack, 52, 35, 570, 399), 0);
    EXPECT_EQ(p.rowsOf(kRed, 66, 0, 680).front(), 10);
    EXPECT_EQ(p.rowsOf(kRed, 66, 0, 680).back(), 400);
    EXPECT_EQ(p.count(kRed, 0, 0, 600, 680), 391);
    // Envelopes: left at -5120, right at 5120, 10 rows from the centre lines 481.6 and 604.
    EXPECT_EQ(p.rowsOf(kBlue, 40, 431, 532), std::vector<int>{471});
    EXPECT_EQ(p.rowsOf(kBlue, 40, 553, 654), std::vector<int>{614});
}

TEST(DirectionWindow, CursorFollowsTheCurrentFrameAcrossScrolls) {
    SslRig rig([](int count) { return count % 2 ? listOf({source(0.0f, 1.0f, 0)}) : emptyList(); });
    rig.pull(0);
    EXPECT_EQ(rig.picture().count(kRed, 30, 10, 31, 401), 391);
    rig.pull(320);
    Picture p = rig.picture();
    EXPECT_EQ(rig.state().windowStart, 150);
    const int x = 30 + 170 * 545 / 300;
    EXPECT_EQ(p.count(kRed, x, 10, x + 1, 401), 391);
    EXPECT_EQ(p.count(kRed, 0, 0, 600, 680), 391);
    // Sources of frames 151, 153, ... 319 along row 107, none past the cursor.
    EXPECT_EQ(p.at(30 + 1 * 545 / 300, 107), kBlack);
    EXPECT_EQ(p.at(30 + 169 * 545 / 300, 107), kBlack);
    EXPECT_EQ(p.count(kBlack, x + 3, 100, 570, 115), 0);
}

TEST(DirectionWindow, LongWindowsDrawDots) {
    // 1000 frames over 545 pixels: segments of length 0, a dot of the pen's width.
    SslRig rig([](int count) { return count == 10 ? listOf({source(0.0f, 1.0f, 5)}) : emptyList(); }, 10.0f);
    rig.pull(20);
    Picture p = rig.picture();
    const int x = 30 + 10 * 545 / 1000;
    EXPECT_EQ(p.at(x, 107), kBlack);
    EXPECT_GT(p.count(kBlack, x - 2, 104, x + 3, 111), 4);
}
