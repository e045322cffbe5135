// The voice-activity window: speech bars on the frames' columns between the box
// edges, under the envelopes; with no speech, the waveform window's picture.
#include <gtest/gtest.h>

#include "tests/support/NodeHarness.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/VADvisualization.h"
#include "visualization/WaveVisualization.h"

using namespace vistest;
using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

Params vadParams(float seconds = 3.0f) {
    Params p;
    p.f("VISUALIZATION_TIME_LENGTH", seconds)
        .s("WINDOW_NAME", "VAD test")
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

FD::ObjectRef signalOf(int count) {
    return signalFrame(float(-(count % 40) * 200), float((count % 25) * 300));
}

struct VadRig {
    VadRig(std::function<bool(int)> speech, float seconds = 3.0f, int elements = 1)
        : node(new VADvisualization("vad", vadParams(seconds))), harness(node) {
        harness.feed("INPUT_AUDIO_SIGNAL", signalOf);
        harness.feed("INPUT_VAD_DECISION", [speech, elements](int count) {
            if (!speech(count)) return emptyList();
            return sourceList(std::vector<float>(size_t(elements), 0.0f));
        });
        harness.initialize();
    }
    Picture picture() const { return Picture(node->drawingState().pixmap); }
    void pull(int count) { harness.pull("OUTPUT_VAD_DECISION", count); }

    VADvisualization* node;
    NodeHarness harness;
};

int column(int f) { return 30 + f * 545 / 300; }

}  // namespace

TEST(VadWindow, SpeechBarsCoverTheFramesBetweenTheBoxEdges) {
    // Speech on frames 40..59 and on frame 80 alone.
    VadRig rig([](int f) { return (f >= 40 && f < 60) || f == 80; });
    rig.pull(100);
    Picture p = rig.picture();
    const kwVADGtk& s = rig.node->drawingState();
    EXPECT_EQ(s.plotY, 10);
    // A bar column: rows 11 to 110 in the left box, 131 to 230 in the right one.
    const int x = column(50);
    std::vector<int> left = p.rowsOf(kPink, x, 0, 260), right;
    right.assign(std::find_if(left.begin(), left.end(), [](int y) { return y > 120; }), left.end());
    left.resize(left.size() - right.size());
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    EXPECT_EQ(left.front(), 11);
    EXPECT_EQ(left.back(), 110);
    EXPECT_EQ(right.front(), 131);
    EXPECT_EQ(right.back(), 230);
    EXPECT_EQ(p.at(x, 10), kBlack);
    EXPECT_EQ(p.at(x, 130), kBlack);
    // The run of speech is one band over the columns column(40) .. column(60) - 1,
    // each bar 2 pixels wide (the column and the one to its left); the envelope lies
    // on top of it.
    std::vector<int> cols = p.columnsOf(kPink, 100, 0, column(70));
    ASSERT_FALSE(cols.empty());
    EXPECT_EQ(cols.front(), column(40) - 1);
    EXPECT_EQ(cols.back(), column(60) - 1);
    EXPECT_EQ(int(cols.size()), column(60) - column(40) + 1);
    // The lone frame 80 owns the columns 175 and 176.
    EXPECT_EQ(p.columnsOf(kPink, 100, column(70), 600), (std::vector<int>{174, 175, 176}));
    EXPECT_EQ(p.at(column(45), 60 - 40), kPink);
    EXPECT_EQ(p.at(column(45), 58), kBlue);  // frame 45 at -1000: the trace over the bar
}

TEST(VadWindow, WithoutSpeechItIsTheWaveformWindow) {
    VadRig vad([](int) { return false; });
    NodeHarness wave(new WaveVisualization("wave", vadParams()));
    wave.feed("INPUT_AUDIO_SIGNAL", signalOf);
    wave.initialize();
    vad.pull(340);
    wave.pull("OUTPUT_AUDIO_SIGNAL", 340);
    Picture v = vad.picture(), w(static_cast<WaveVisualization&>(wave.node()).drawingState().pixmap);
    EXPECT_TRUE(v == w);
    EXPECT_GT(v.count(kBlue, 0, 0, 600, 260), 500);
}

TEST(VadWindow, ManyElementsDrawLikeOneAndEmptyBandsDrawNoBar) {
    VadRig one([](int f) { return f % 7 == 0; });
    VadRig three([](int f) { return f % 7 == 0; }, 3.0f, 3);
    one.pull(60);
    three.pull(60);
    EXPECT_TRUE(one.picture() == three.picture());

    // 1000 frames over 545 columns: frame 0's band is empty, frame 1's is not.
    VadRig empty([](int f) { return f == 0; }, 10.0f);
    empty.pull(20);
    EXPECT_EQ(empty.picture().count(kPink, 0, 0, 600, 260), 0);
    VadRig next([](int f) { return f == 1; }, 10.0f);
    next.pull(20);
    EXPECT_GT(next.picture().count(kPink, 0, 0, 600, 260), 0);
}
