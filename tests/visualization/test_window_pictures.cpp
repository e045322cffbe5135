// What the windows draw, read back from their pictures: layouts and labels,
// envelopes, spectrogram colours, source directions and the cursor, speech bars.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "tests/visualization/WindowTesting.h"
#include "visualization/SpectrumVisualization.h"

using namespace vistest;

namespace {

using Texts = std::vector<std::tuple<int, int, std::string>>;

// Black outline of the rectangle (x, y, w, h), and nothing black in its lower half.
void expectBox(const Picture& p, int x, int y, int w, int h) {
    SCOPED_TRACE(testing::Message() << "box at " << x << ", " << y);
    EXPECT_EQ(p.count(kBlack, x, y, x + w + 1, y + 1), w + 1);
    EXPECT_EQ(p.count(kBlack, x, y + h, x + w + 1, y + h + 1), w + 1);
    EXPECT_EQ(p.count(kBlack, x, y, x + 1, y + h + 1), h + 1);
    EXPECT_EQ(p.count(kBlack, x + w, y, x + w + 1, y + h + 1), h + 1);
    EXPECT_EQ(p.count(kBlack, x + 1, y + h / 2, x + w, y + h), 0);
}

std::pair<int, int> ends(const std::vector<int>& v) {
    return v.empty() ? std::make_pair(-1, -1) : std::make_pair(v.front(), v.back());
}

int column(int f, int plotX = 30, int frames = 300) { return plotX + f * 545 / frames; }

Rgb ramp(int r, int g, int b) { return Rgb{r >> 8, g >> 8, b >> 8}; }

}  // namespace

TEST(WindowPictures, LayoutsShowTheirBoxesAndLabels) {
    struct Layout {
        const char* type;
        int width, height;
        std::vector<std::array<int, 4>> boxes;
        Texts texts;
    };
    // clang-format off
    std::vector<Layout> layouts = {
        {"WaveVisualization", 600, 260, {{30, 10, 545, 100}, {30, 130, 545, 100}},
         {{40, 30, "Left signal input"}, {40, 150, "Right signal input"}, {10, 15, " 1"}, {10, 65, " 0"},
          {10, 115, "-1"}, {10, 135, " 1"}, {10, 235, "-1"}, {25, 250, "0.00s"}, {161, 250, "0.75s"},
          {297, 250, "1.50s"}, {570, 250, "3.00s"}}},
        {"SpectrumVisualization", 620, 572, {{50, 10, 545, 256}, {50, 286, 545, 256}},
         {{60, 30, "Left signal input"}, {60, 306, "Right signal input"}, {45, 562, "0.00s"}, {590, 562, "3.00s"}}},
        {"SSLvisualization", 600, 680, {{30, 10, 545, 390}, {30, 430, 545, 102}, {30, 552, 545, 102}},
         {{40, 30, "Localized / Tracked Directions Of Multisources"}, {2, 15, " 180"}, {2, 112, "  90"},
          {2, 210, "   0"}, {2, 307, " -90"}, {2, 405, "-180"}, {40, 450, "Left signal input"},
          {40, 572, "Right signal input"}, {10, 435, " 1"}, {10, 537, "-1"}, {25, 675, "0.00s"},
          {570, 675, "3.00s"}}}};
    // clang-format on
    for (int i = 0; i < 5; ++i)
        for (int bottom : {271, 547})
            layouts[1].texts.emplace_back(7, bottom - 64 * i, std::to_string(2 * i) + ".0kHz");
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.type);
        int before = toplevelCount();
        Rig rig(kind(l.type));
        View v = rig.view();
        EXPECT_EQ(toplevelCount(), before + 1);
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(v.window)), "Test");
        Picture p = rig.picture();
        ASSERT_EQ(p.width(), l.width);
        ASSERT_EQ(p.height(), l.height);
        for (const auto& b : l.boxes) expectBox(p, b[0], b[1], b[2], b[3]);
        for (const auto& [x, y, text] : l.texts) EXPECT_TRUE(showsText(p, x, y, text));
        pumpEvents();
        EXPECT_TRUE(Picture(v.drawingArea->window) == p);  // the screen shows the picture
        rig.node->initialize();
        EXPECT_EQ(toplevelCount(), before + 1);
    }
}

TEST(WindowPictures, WaveformEnvelopesAppearAtEachRefresh) {
    std::vector<float> left(160, 0.0f), right(160, 0.0f);
    left[3] = -5120.0f;
    left[90] = 5120.0f;
    Rig rig(kind("WaveVisualization"),
            {{"INPUT_AUDIO_SIGNAL",
              [&](int c) { return c == 0 ? signalFrame(left, right) : signalFrame(-1.0f, 511.0f); }}});
    rig.pull(0);
    Picture p = rig.picture();
    EXPECT_EQ(ends(p.rowsOf(kBlue, 30, 11, 110)), std::make_pair(50, 70));
    EXPECT_EQ(p.rowsOf(kBlue, 30, 131, 230), std::vector<int>{180});
    EXPECT_EQ(p.count(kBlue, 32, 0, 600, 260), 0);  // frames 1.. wait for the refresh of 20
    rig.pull(20);
    p = rig.picture();
    EXPECT_EQ(p.at(column(10), 59), kBlue);  // -1 lies one row above the centre line
    EXPECT_NE(p.at(column(10), 60), kBlue);
    EXPECT_EQ(p.at(column(10), 180), kBlue);
    EXPECT_EQ(p.at(column(20), 59), kBlue);
    EXPECT_EQ(p.count(kBlue, column(20) + 2, 0, 600, 260), 0);
}

TEST(WindowPictures, WaveformOfFramesWithFewerRowsNoSamplesOrWildValues) {
    Rig rig(kind("WaveVisualization"), {{"INPUT_AUDIO_SIGNAL", [](int c) {
                                             if (c == 0) {
                                                 auto* m = new FD::Matrix<float>(1, 4);
                                                 for (int i = 0; i < 4; ++i) (*m)(0, i) = -5120.0f;
                                                 return FD::ObjectRef(m);
                                             }
                                             if (c < 10) return FD::ObjectRef(new FD::Matrix<float>(2, 0));
                                             return signalFrame(std::nanf(""), 1.0e30f);
                                         }}});
    rig.pull(0);
    Picture p = rig.picture();
    EXPECT_EQ(p.rowsOf(kBlue, 30, 11, 110), std::vector<int>{50});
    EXPECT_EQ(p.count(kBlue, 0, 120, 600, 260), 0);
    rig.pull(40);
    p = rig.picture();
    EXPECT_EQ(p.at(30, 50), kBlue);
    EXPECT_EQ(p.at(column(20), 60), kBlue);  // NaN on the centre line
}

TEST(WindowPictures, SpectrogramMagnitudesBecomeColoursOnTheirRows) {
    // Left: bins 0..3 of magnitude 0, 65535, 100000, 200000, the rest 0. Right: bin
    // 0 at 200000, bin 255 (the top row) at 65535, the last bin (never drawn) at 200000.
    Rig rig(kind("SpectrumVisualization"),
            {{"INPUT_AUDIO_SPECTRUM", [](int) {
                  return spectrumFrame(257, [](int ch, int k) {
                      const float left[4] = {0.0f, 65535.0f, 100000.0f, 200000.0f};
                      if (ch == 0) return std::complex<float>(k < 4 ? left[k] : 0.0f, 0.0f);
                      if (k == 0 || k == 256) return std::complex<float>(0.0f, 200000.0f);
                      return std::complex<float>(k == 255 ? 65535.0f : 0.0f, 0.0f);
                  });
              }}});
    rig.pull(0);
    Picture p = rig.picture();
    // Frame 0 owns the column x = 50 only; the boxes' edges are not painted.
    const std::vector<std::pair<int, Rgb>> rows = {{266, kBlack}, {265, kRed},   {264, ramp(65535, 34465, 0)},
                                                   {263, kWhite}, {262, kBlack}, {11, kBlack},
                                                   {10, kBlack},  {542, kWhite}, {287, kRed},
                                                   {286, kBlack}};
    for (const auto& [y, c] : rows) EXPECT_EQ(p.at(50, y), c) << y;
    EXPECT_EQ(p.count(kBlack, 50, 11, 51, 263), 252);
    EXPECT_EQ(p.at(51, 265), kWhite);
    EXPECT_EQ(p.at(49, 265), kWhite);
    rig.pull(20);  // frames 0..20 fill x = 50 .. 87
    p = rig.picture();
    EXPECT_EQ(p.count(kRed, 50, 265, 88, 266), 38);
    EXPECT_NE(p.at(88, 265), kRed);
}

TEST(WindowPictures, SpectrogramOfWideNarrowAndEmptySpectra) {
    // 513 bins: two per row, the mean truncated; 100 bins: one per row; 1 and 0 bins: nothing.
    const int sizes[] = {513, 100, 1, 0};
    Rig rig(kind("SpectrumVisualization"),
            {{"INPUT_AUDIO_SPECTRUM", [&](int c) {
                  return spectrumFrame(sizes[std::min(c / 20, 3)], [](int, int k) {
                      return std::complex<float>(k == 2 ? 131070.0f : 0.0f, 0.0f);
                  });
              }}});
    rig.pull(0);
    Picture p = rig.picture();
    EXPECT_EQ(p.at(50, 265), kRed);  // (131070 + 0) / 2
    EXPECT_EQ(p.at(50, 264), kBlack);
    EXPECT_EQ(p.at(50, 11), kBlack);
    rig.pull(20);
    p = rig.picture();
    const int x = column(20, 50);
    EXPECT_EQ(p.at(x, 264), ramp(65535, 65535, 0));
    EXPECT_EQ(p.count(kBlack, x, 168, x + 1, 266), 97);  // bins 0..98 on rows 266..168
    EXPECT_EQ(p.count(kBlack, x, 11, x + 1, 168), 0);
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
    for (int b : {257, 513, 1025, 100, 644, 2}) {  // 644: the last group runs past the last bin
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
    // Frame 10: 90 and -90 degrees (both id 0), 0 (id 3), 180 (id 1), 44.9 (id 2).
    Rig rig(kind("SSLvisualization"),
            {{"INPUT_AUDIO_SIGNAL", [](int) { return signalFrame(-5120.0f, 5120.0f); }},
             {"INPUT_TRACKED_DOA", [](int c) {
                  return c == 10 ? sourceList({90.0f, -90.0f, 0.0f, 180.0f, 44.9f}, {0, 0, 3, 1, 2})
                                 : emptyList();
              }}});
    rig.pull(20);
    Picture p = rig.picture();
    const int x = column(10);  // the segment is one frame (1 pixel) long, 3 wide
    for (int y : {106, 107, 108, 301, 302, 303, 204, 205, 206, 11, 156, 157, 158}) {
        EXPECT_EQ(p.at(x, y), kBlack) << y;
        EXPECT_EQ(p.at(x + 1, y), kBlack) << y;
    }
    for (int y : {104, 110, 299, 305, 202, 208, 13, 154, 160}) EXPECT_EQ(p.at(x, y), kWhite) << y;
    EXPECT_EQ(p.count(kBlack, 35, 35, x - 2, 399) + p.count(kBlack, x + 4, 35, 570, 399), 0);
    // The cursor at x(20), over the direction box only.
    EXPECT_EQ(ends(p.rowsOf(kRed, column(20), 0, 680)), std::make_pair(10, 400));
    EXPECT_EQ(p.count(kRed, 0, 0, 600, 680), 391);
    // Envelopes 10 rows from the centre lines 481.6 and 604.
    EXPECT_EQ(p.rowsOf(kBlue, 40, 431, 532), std::vector<int>{471});
    EXPECT_EQ(p.rowsOf(kBlue, 40, 553, 654), std::vector<int>{614});
}

TEST(WindowPictures, DirectionCursorFollowsTheFrameAcrossScrolls) {
    Rig rig(kind("SSLvisualization"),
            {{"INPUT_TRACKED_DOA", [](int c) { return c % 2 ? sourceList({90.0f}) : emptyList(); }}});
    rig.pull(0);
    EXPECT_EQ(rig.picture().count(kRed, 30, 10, 31, 401), 391);
    rig.pull(320);
    Picture p = rig.picture();
    const int x = column(170);
    EXPECT_EQ(p.count(kRed, x, 10, x + 1, 401), 391);
    EXPECT_EQ(p.count(kRed, 0, 0, 600, 680), 391);
    // Sources of frames 151 .. 319 along row 107, none past the cursor.
    EXPECT_EQ(p.at(column(1), 107), kBlack);
    EXPECT_EQ(p.at(column(169), 107), kBlack);
    EXPECT_EQ(p.count(kBlack, x + 3, 100, 570, 115), 0);
    EXPECT_TRUE(showsText(p, 25, 675, "1.50s"));
    EXPECT_TRUE(showsText(p, 570, 675, "4.50s"));
}

TEST(WindowPictures, LongDirectionWindowsDrawDots) {
    // 1000 frames over 545 pixels: a segment of length 0 is a dot of the pen's width.
    Rig rig(kind("SSLvisualization"),
            {{"INPUT_TRACKED_DOA", [](int c) { return c == 10 ? sourceList({90.0f}) : emptyList(); }}},
            windowParams(10.0f));
    rig.pull(20);
    Picture p = rig.picture();
    const int x = column(10, 30, 1000);
    EXPECT_EQ(p.at(x, 107), kBlack);
    EXPECT_GT(p.count(kBlack, x - 2, 104, x + 3, 111), 4);
}

namespace {

Rig vadRig(std::function<bool(int)> speech, float seconds = 3.0f, size_t elements = 1) {
    return Rig(
        kind("VADvisualization"),
        {{"INPUT_AUDIO_SIGNAL",
          [](int c) { return signalFrame(float(-(c % 40) * 200), float((c % 25) * 300)); }},
         {"INPUT_VAD_DECISION",
          [=](int c) { return speech(c) ? sourceList(std::vector<float>(elements, 0.0f)) : emptyList(); }}},
        windowParams(seconds));
}

}  // namespace

TEST(WindowPictures, SpeechBarsCoverTheFramesBetweenTheBoxEdges) {
    Rig rig = vadRig([](int f) { return (f >= 40 && f < 60) || f == 80; });
    rig.pull(100);
    Picture p = rig.picture();
    EXPECT_EQ(ends(p.rowsOf(kPink, column(50), 0, 120)), std::make_pair(11, 110));
    EXPECT_EQ(ends(p.rowsOf(kPink, column(50), 120, 260)), std::make_pair(131, 230));
    // One band over column(40) - 1 .. column(60) - 1 (each bar 2 pixels wide).
    EXPECT_EQ(p.count(kPink, 0, 100, column(70), 101), column(60) - column(40) + 1);
    EXPECT_EQ(p.at(column(40) - 1, 100), kPink);
    EXPECT_EQ(p.at(column(60) - 1, 100), kPink);
    EXPECT_EQ(p.count(kPink, column(70), 100, 600, 101), 3);  // the lone frame 80: 174 .. 176
    EXPECT_EQ(p.at(174, 100), kPink);
    EXPECT_EQ(p.at(176, 100), kPink);
    EXPECT_EQ(p.at(column(45), 58), kBlue);  // frame 45 at -1000: the trace over the bar
}

TEST(WindowPictures, VoiceActivityWithoutSpeechIsTheWaveformAndElementsDoNotCount) {
    Rig vad = vadRig([](int) { return false; });
    Rig wave(kind("WaveVisualization"),
             {{"INPUT_AUDIO_SIGNAL",
               [](int c) { return signalFrame(float(-(c % 40) * 200), float((c % 25) * 300)); }}});
    vad.pull(340);
    wave.pull(340);
    EXPECT_TRUE(vad.picture() == wave.picture());
    EXPECT_GT(vad.picture().count(kBlue, 0, 0, 600, 260), 500);

    Rig one = vadRig([](int f) { return f % 7 == 0; }),
        three = vadRig([](int f) { return f % 7 == 0; }, 3.0f, 3);
    one.pull(60);
    three.pull(60);
    EXPECT_TRUE(one.picture() == three.picture());
    // 1000 frames over 545 columns: frame 0's band is empty, frame 1's is not.
    Rig first = vadRig([](int f) { return f == 0; }, 10.0f),
        second = vadRig([](int f) { return f == 1; }, 10.0f);
    first.pull(20);
    second.pull(20);
    EXPECT_EQ(first.picture().count(kPink, 0, 0, 600, 260), 0);
    EXPECT_GT(second.picture().count(kPink, 0, 0, 600, 260), 0);
}
