// The spectrum window: layout and kHz axis, colours of known magnitudes on their
// rows, the painting through an image buffer against the point-by-point one, odd
// spectrum sizes and scrolling.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/NodeHarness.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/SpectrumVisualization.h"

using namespace vistest;
using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

Params spectrumParams(int rate = 16000) {
    Params p;
    p.f("VISUALIZATION_TIME_LENGTH", 3.0f)
        .s("WINDOW_NAME", "Spectrum test")
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", rate);
    return p;
}

struct SpectrumRig {
    explicit SpectrumRig(FD::testing::ScriptedSource::Script script, int rate = 16000)
        : node(new SpectrumVisualization("spec", spectrumParams(rate))), harness(node) {
        harness.feed("INPUT_AUDIO_SPECTRUM", std::move(script));
        harness.initialize();
    }
    const kwSpectrumGtk& state() const { return node->drawingState(); }
    Picture picture() const { return Picture(state().pixmap); }
    void pull(int count) { harness.pull("OUTPUT_AUDIO_SPECTRUM", count); }

    SpectrumVisualization* node;
    NodeHarness harness;
};

// 8-bit colour of a 16-bit ramp colour.
Rgb ramp(int r, int g, int b) { return Rgb{r >> 8, g >> 8, b >> 8}; }

// A white pixmap the size of the spectrum window's picture.
GdkPixmap* blankPicture() {
    GdkPixmap* pixmap = gdk_pixmap_new(gdk_get_default_root_window(), 620, 572, -1);
    GdkGC* gc = gdk_gc_new(pixmap);
    GdkColor white{0, 65535, 65535, 65535};
    gdk_gc_set_rgb_fg_color(gc, &white);
    gdk_draw_rectangle(pixmap, gc, TRUE, 0, 0, 620, 572);
    g_object_unref(gc);
    return pixmap;
}

}  // namespace

TEST(SpectrumWindow, LayoutAndFrequencyAxis) {
    SpectrumRig rig([](int) { return spectrumFrame(257, [](int, int) { return std::complex<float>(); }); });
    const kwSpectrumGtk& s = rig.state();
    EXPECT_EQ(s.drawingArea->allocation.width, 620);
    EXPECT_EQ(s.drawingArea->allocation.height, 572);
    EXPECT_EQ(s.plotX, 50);
    EXPECT_EQ(s.plotY, 10);
    EXPECT_EQ(s.plotWidth, 545);
    EXPECT_EQ(s.plotHeight, 532);
    EXPECT_EQ(s.samplingRate, 16000);
    Picture p = rig.picture();
    // Boxes (50, 10, 545, 256) and (50, 286, 545, 256).
    for (int row : {10, 266, 286, 542}) EXPECT_EQ(p.count(kBlack, 50, row, 596, row + 1), 546) << row;
    EXPECT_EQ(p.count(kBlack, 50, 10, 51, 267), 257);
    EXPECT_EQ(p.count(kBlack, 595, 286, 596, 543), 257);
    EXPECT_EQ(p.count(kBlack, 200, 100, 590, 250), 0);
    EXPECT_TRUE(showsText(p, 60, 30, "Left signal input"));
    EXPECT_TRUE(showsText(p, 60, 306, "Right signal input"));
    const char* khz[] = {"0.0kHz", "2.0kHz", "4.0kHz", "6.0kHz", "8.0kHz"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(showsText(p, 7, 271 - 64 * i, khz[i]));
        EXPECT_TRUE(showsText(p, 7, 547 - 64 * i, khz[i]));
    }
    EXPECT_TRUE(showsText(p, 45, 562, "0.00s"));
    EXPECT_TRUE(showsText(p, 590, 562, "3.00s"));
}

TEST(SpectrumWindow, MagnitudesBecomeColoursOnTheirRows) {
    // Left: bins 0..3 of magnitude 0, 65535, 100000, 200000, the rest 0. Right:
    // bin 0 at 200000, bin 255 (row 287, the top row) at 65535, the last bin (never
    // drawn) at 200000.
    SpectrumRig rig([](int) {
        return spectrumFrame(257, [](int ch, int k) {
            const float left[4] = {0.0f, 65535.0f, 100000.0f, 200000.0f};
            if (ch == 0) return std::complex<float>(k < 4 ? left[k] : 0.0f, 0.0f);
            if (k == 0 || k == 256) return std::complex<float>(0.0f, 200000.0f);
            return std::complex<float>(k == 255 ? 65535.0f : 0.0f, 0.0f);
        });
    });
    rig.pull(0);
    Picture p = rig.picture();
    // Frame 0 owns the column x = 50 only (545 / 300 < 2).
    EXPECT_EQ(p.at(50, 266), kBlack);
    EXPECT_EQ(p.at(50, 265), kRed);
    EXPECT_EQ(p.at(50, 264), ramp(65535, 34465, 0));
    EXPECT_EQ(p.at(50, 263), kWhite);
    EXPECT_EQ(p.at(50, 262), kBlack);
    EXPECT_EQ(p.at(50, 11), kBlack);  // bin 255
    EXPECT_EQ(p.at(50, 10), kBlack);  // the box's top edge, not painted
    EXPECT_EQ(p.count(kBlack, 50, 11, 51, 263), 252);
    EXPECT_EQ(p.at(50, 542), kWhite);
    EXPECT_EQ(p.at(50, 287), kRed);
    EXPECT_EQ(p.at(50, 286), kBlack);  // the right box's top edge; the last bin is not drawn
    EXPECT_EQ(p.at(51, 265), kWhite);  // the next frame's column is still empty
    EXPECT_EQ(p.at(49, 265), kWhite);

    // By frame 20, frames 0..20 fill x = 50 .. 87 (the band of frame 20 ends at 88).
    rig.pull(20);
    p = rig.picture();
    for (int x : {50, 51, 70, 87}) EXPECT_EQ(p.at(x, 265), kRed) << x;
    EXPECT_NE(p.at(88, 265), kRed);
}

TEST(SpectrumWindow, WideSpectraAverageAndNarrowOnesStillDraw) {
    // 513 bins: two per row, their mean magnitude truncated; 100 bins (fewer than
    // 129): one per row instead of a division by zero; 1 bin: nothing.
    std::vector<int> columns = {513, 100, 1, 0};
    SpectrumRig rig([&](int count) {
        int b = columns[size_t(std::min(count / 20, 3))];
        return spectrumFrame(b,
                             [](int, int k) { return std::complex<float>(k == 2 ? 131070.0f : 0.0f, 0.0f); });
    });
    rig.pull(0);
    Picture p = rig.picture();
    EXPECT_EQ(p.at(50, 265), kRed);  // (131070 + 0) / 2
    EXPECT_EQ(p.at(50, 264), kBlack);
    EXPECT_EQ(p.at(50, 11), kBlack);  // 256 rows
    rig.pull(20);
    p = rig.picture();
    const int x20 = 50 + 20 * 545 / 300;
    EXPECT_EQ(p.at(x20, 264), ramp(65535, 65535, 0));  // bin 2 on its own row: yellow
    EXPECT_EQ(p.rowsOf(kBlack, x20, 11, 266), [] {
        std::vector<int> rows;
        for (int y = 168; y < 266; ++y)
            if (y != 264) rows.push_back(y);
        return rows;
    }());  // bins 0..98 on rows 266..168, the box above untouched
    for (int c : {40, 60}) {
        rig.pull(c);
        // Below the caption: white, nothing painted.
        EXPECT_EQ(rig.picture().count(kWhite, 50 + c * 545 / 300, 40, 50 + c * 545 / 300 + 1, 266), 226) << c;
    }
}

TEST(SpectrumWindow, ImageBufferPaintsExactlyThePointByPointPixels) {
    std::mt19937 random(7);
    std::exponential_distribution<float> magnitude(1.0f / 60000.0f);
    std::uniform_real_distribution<float> angle(0.0f, 6.2831853f);
    std::vector<guchar> scratch;
    // 644 bins: three per row, with the last group running past the last bin.
    for (int b : {257, 513, 1025, 129, 100, 644, 2}) {
        SCOPED_TRACE(b);
        FD::ObjectRef frame =
            spectrumFrame(b, [&](int, int) { return std::polar(magnitude(random), angle(random)); });
        const auto& m = static_cast<const FD::Matrix<std::complex<float>>&>(*frame);
        GdkPixmap* fast = blankPicture();
        GdkPixmap* slow = blankPicture();
        GdkGC* gc = gdk_gc_new(fast);
        vis::paintSpectrumFrame(fast, gc, m, 60, 63, scratch);
        vis::paintSpectrumFramePerPoint(slow, m, 60, 63);
        Picture a(fast), c(slow);
        EXPECT_TRUE(a == c);
        EXPECT_GT(a.count(kWhite, 60, 0, 63, 572), 0);
        g_object_unref(gc);
        g_object_unref(fast);
        g_object_unref(slow);
    }
}

TEST(SpectrumWindow, ScrollsWithTheStream) {
    SpectrumRig rig([](int count) {
        float v = count >= 150 ? 65535.0f : 0.0f;
        return spectrumFrame(257, [v](int, int) { return std::complex<float>(v, 0.0f); });
    });
    rig.pull(320);
    EXPECT_EQ(rig.state().windowStart, 150);
    Picture p = rig.picture();
    // Frames 150..320 from x = 50 on, red; the rest of the box white.
    EXPECT_EQ(p.at(50, 200), kRed);
    EXPECT_EQ(p.at(50 + 170 * 545 / 300, 200), kRed);
    EXPECT_EQ(p.at(50 + 171 * 545 / 300, 200), kWhite);
    EXPECT_TRUE(showsText(p, 45, 562, "1.50s"));
    EXPECT_TRUE(showsText(p, 590, 562, "4.50s"));
}
