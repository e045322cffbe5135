// What the windows draw, read back from their pictures.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "tests/visualization/WindowTesting.h"
#include "visualization/SpectrumVisualization.h"

using namespace vistest;

namespace {

int column(int f, int plotX = 30) { return plotX + f * 545 / 300; }

Rig spectrumRig(std::function<std::complex<float>(int ch, int k)> bin, std::function<int(int)> bins) {
    return Rig(kind("SpectrumVisualization"),
               {{"INPUT_AUDIO_SPECTRUM", [=](int c) { return spectrumFrame(bins(c), bin); }}});
}

}  // namespace

TEST(WindowPictures, LayoutsShowTheirBoxesAndLabels) {
    struct Layout {
        const char* type;
        int width, height;
        std::vector<std::array<int, 4>> boxes;
        std::vector<std::tuple<int, int, std::string>> texts;
    };
    // clang-format off
    const std::vector<Layout> layouts = {
        {"WaveVisualization", 600, 260, {{30, 10, 545, 100}, {30, 130, 545, 100}},
         {{40, 30, "Left signal input"}, {40, 150, "Right signal input"}, {10, 15, " 1"}, {10, 65, " 0"},
          {10, 235, "-1"}, {25, 250, "0.00s"}, {161, 250, "0.75s"}, {570, 250, "3.00s"}}},
        {"SpectrumVisualization", 620, 572, {{50, 10, 545, 256}, {50, 286, 545, 256}},
         {{60, 306, "Right signal input"}, {7, 271, "0.0kHz"}, {7, 15, "8.0kHz"}, {7, 419, "4.0kHz"},
          {590, 562, "3.00s"}}},
        {"SSLvisualization", 600, 680, {{30, 10, 545, 390}, {30, 430, 545, 102}, {30, 552, 545, 102}},
         {{40, 30, "Localized / Tracked Directions Of Multisources"}, {2, 15, " 180"}, {2, 112, "  90"},
          {2, 307, " -90"}, {2, 405, "-180"}, {40, 572, "Right signal input"}, {570, 675, "3.00s"}}}};
    // clang-format on
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.type);
        Rig rig(kind(l.type));
        Picture p = rig.picture();
        ASSERT_EQ(p.width, l.width);
        ASSERT_EQ(p.height, l.height);
        for (const auto& [x, y, w, h] : l.boxes) {
            SCOPED_TRACE(testing::Message() << "box at " << x << ", " << y);
            EXPECT_EQ(
                p.count(kBlack, x, y, x + w + 1, y + h + 1) - p.count(kBlack, x + 1, y + 1, x + w, y + h),
                2 * (w + h));  // the whole outline
            EXPECT_EQ(p.count(kBlack, x + 1, y + h / 2, x + w, y + h), 0);
        }
        for (const auto& [x, y, text] : l.texts) EXPECT_TRUE(showsText(p, x, y, text));
        pumpEvents();
        EXPECT_TRUE(Picture(rig.view().drawingArea->window) == p);  // the screen shows the picture
    }
}

TEST(WindowPictures, WaveformOfOneRowNoSamplesNaNAndHugeValuesStaysInItsBoxes) {
    Rig rig(kind("WaveVisualization"), {{"INPUT_AUDIO_SIGNAL", [](int c) {
                                             if (c == 0) {
                                                 auto* m = new FD::Matrix<float>(1, 4);
                                                 for (int i = 0; i < 4; ++i) (*m)(0, i) = -5120.0f;
                                                 return FD::ObjectRef(m);
                                             }
                                             if (c < 10) return FD::ObjectRef(new FD::Matrix<float>(2, 0));
                                             return signalFrame(std::nanf(""), 1.0e30f);
                                         }}});
    rig.pull(40);
    Picture p = rig.picture();
    EXPECT_EQ(p.rowSpan(kBlue, 30, 11, 110), std::make_pair(50, 50));
    EXPECT_EQ(p.at(column(20), 60), kBlue);  // NaN on the centre line
}

TEST(WindowPictures, SpectrogramMagnitudesBecomeColoursOnTheirRows) {
    const float left[4] = {0.0f, 65535.0f, 100000.0f, 200000.0f};
    Rig rig =
        spectrumRig([&](int ch, int k) { return std::complex<float>(ch == 0 && k < 4 ? left[k] : 0.0f); },
                    [](int) { return 257; });
    rig.pull(0);
    Picture p = rig.picture();
    const std::vector<std::pair<int, Rgb>> rows = {
        {266, kBlack}, {265, kRed}, {264, Rgb{255, 134, 0}}, {263, kWhite}, {262, kBlack}};
    for (const auto& [y, c] : rows) EXPECT_EQ(p.at(50, y), c) << y;
    EXPECT_EQ(p.at(51, 265), kWhite);
}

TEST(WindowPictures, SpectraOfOneAndZeroBinsDrawNothing) {
    Rig rig = spectrumRig([](int, int) { return std::complex<float>(131070.0f); },
                          [](int c) { return c <= 40 ? 1 : 0; });
    for (int c : {40, 60}) {
        rig.pull(c);
        EXPECT_EQ(rig.picture().count(kWhite, column(c, 50), 40, column(c, 50) + 1, 266), 226) << c;
    }
}

TEST(WindowPictures, SpectrogramImageBufferPaintsExactlyThePointByPointPixels) {
    std::mt19937 random(7);
    std::exponential_distribution<float> magnitude(1.0f / 60000.0f);
    std::uniform_real_distribution<float> angle(0.0f, 6.2831853f);
    std::vector<guchar> scratch;
    for (int b : {257, 513, 100, 644, 2}) {  // 644: the last group runs past the last bin
        SCOPED_TRACE(b);
        FD::ObjectRef frame =
            spectrumFrame(b, [&](int, int) { return std::polar(magnitude(random), angle(random)); });
        const auto& m = static_cast<const FD::Matrix<std::complex<float>>&>(*frame);
        GdkPixmap* pictures[2];
        for (GdkPixmap*& pm : pictures) {
            pm = gdk_pixmap_new(gdk_get_default_root_window(), 620, 572, -1);
            GdkGC* gc = gdk_gc_new(pm);
            GdkColor white{0, 65535, 65535, 65535};
            gdk_gc_set_rgb_fg_color(gc, &white);
            gdk_draw_rectangle(pm, gc, TRUE, 0, 0, 620, 572);
            if (pm == pictures[0]) vis::paintSpectrumFrame(pm, gc, m, 60, 63, scratch);
            g_object_unref(gc);
        }
        vis::paintSpectrumFramePerPoint(pictures[1], m, 60, 63);
        Picture fast(pictures[0]), slow(pictures[1]);
        EXPECT_TRUE(fast == slow);
        EXPECT_GT(fast.count(kWhite, 60, 0, 63, 572), 0);
        for (GdkPixmap* pm : pictures) g_object_unref(pm);
    }
}

TEST(WindowPictures, SourcesAtTheHeightsOfTheirAzimuthsAndTheCursor) {
    Rig rig(kind("SSLvisualization"), {{"INPUT_TRACKED_DOA", [](int c) {
                                            return c == 10 ? sourceList({90, -90}) : sourceList({});
                                        }}});
    rig.pull(20);
    Picture p = rig.picture();
    const int x = column(10);
    for (int y : {106, 107, 108, 301, 302, 303}) EXPECT_EQ(p.at(x, y), kBlack) << y;
    for (int y : {104, 110, 299, 305}) EXPECT_EQ(p.at(x, y), kWhite) << y;
    EXPECT_EQ(p.count(kBlack, 35, 35, x - 2, 399) + p.count(kBlack, x + 4, 35, 570, 399), 0);
    EXPECT_EQ(p.rowSpan(kRed, column(20), 0, 680), std::make_pair(10, 400));
    EXPECT_EQ(p.count(kRed, 0, 0, 600, 680), 391);
}

TEST(WindowPictures, SpeechBarsCoverTheFramesBetweenTheBoxEdges) {
    Rig rig(kind("VADvisualization"), {{"INPUT_VAD_DECISION", [](int f) {
                                            return sourceList(std::vector<float>(f >= 40 && f < 60, 0.0f));
                                        }}});
    rig.pull(100);
    Picture p = rig.picture();
    EXPECT_EQ(p.rowSpan(kPink, column(50), 0, 120), std::make_pair(11, 110));
    EXPECT_EQ(p.rowSpan(kPink, column(50), 120, 260), std::make_pair(131, 230));
    EXPECT_EQ(p.count(kPink, 0, 100, 600, 101), column(60) - column(40) + 1);
}
