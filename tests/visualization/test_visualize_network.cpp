// networks/visualize.n run by flowrun on the demo recording (two talkers, at about
// -30 and +40 degrees, after half a second of background), with the windows' last
// pictures saved: what each picture shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/visualization/WindowTesting.h"
#include "visualization/PlotGeometry.h"

using namespace vistest;

namespace {

// Bright spectrogram points (magnitude 32768 or more): from half red up to white,
// the white background around the boxes excluded by the ranges asked for.
int brightPoints(const Picture& p, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += p.at(x, y).r >= 128;
    return n;
}

class VisualizeNetwork : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/visualize-network-XXXXXX";
        dir_ = mkdtemp(pattern);
        const std::string cmd = std::string(FLOWRUN) + " " + NETWORKS_DIR +
                                "/visualize.n --quiet --snapshot " + dir_ + " INPUT=" + DEMO_WAV + " 2>" +
                                dir_ + "/stderr.txt";
        status_ = std::system(cmd.c_str());
        std::ifstream in(dir_ + "/stderr.txt");
        std::stringstream text;
        text << in.rdbuf();
        stderr_ = text.str();
    }
    Picture picture(const std::string& title) { return Picture::fromFile(dir_ + "/" + title + ".png"); }
    // Column of frame f in a 6 s (600-frame) window of 545 columns from x = plotX.
    static int column(int plotX, int f) { return vis::frameColumn(f, 0, plotX, 545, 600); }

    static std::string dir_, stderr_;
    static int status_;
};
std::string VisualizeNetwork::dir_, VisualizeNetwork::stderr_;
int VisualizeNetwork::status_ = -1;

}  // namespace

TEST_F(VisualizeNetwork, RunsAndSavesFourPictures) {
    ASSERT_EQ(status_, 0) << stderr_;
    EXPECT_EQ(stderr_, "");
    EXPECT_EQ(picture("Waveform").width(), 600);
    EXPECT_EQ(picture("Spectrogram").height(), 572);
    EXPECT_EQ(picture("Tracked directions").height(), 680);
    EXPECT_EQ(picture("Voice activity").height(), 260);
}

TEST_F(VisualizeNetwork, WaveformShowsTheTalkersAfterTheBackground) {
    Picture p = picture("Waveform");
    // Background: a flat trace on the centre lines up to 0.4 s.
    EXPECT_EQ(p.count(kBlue, 30, 11, column(30, 40), 56), 0);
    EXPECT_GT(p.count(kBlue, column(30, 100), 11, column(30, 400), 56), 500);  // speech swings
    EXPECT_GT(p.count(kBlue, column(30, 100), 131, column(30, 400), 176), 500);
    // Drawn up to the last refresh (frame 500), nothing after it.
    EXPECT_EQ(p.count(kBlue, column(30, 501), 0, 600, 260), 0);
}

TEST_F(VisualizeNetwork, SpectrogramHasSpeechBelowFourKilohertz) {
    Picture p = picture("Spectrogram");
    // Rows 266 - 128 = 138 (4 kHz) to 266 (0 Hz) against 10 .. 138 (8 to 4 kHz).
    const int low = brightPoints(p, column(50, 50), 139, column(50, 450), 266);
    const int high = brightPoints(p, column(50, 50), 40, column(50, 450), 138);
    EXPECT_GT(low, 2000);
    EXPECT_GT(low, 3 * high);
    EXPECT_GT(brightPoints(p, column(50, 50), 415, column(50, 450), 542), 2000);  // right channel
    // Nothing painted after the last refresh (frame 500): the box stays white.
    const int x = column(50, 505);
    EXPECT_EQ(p.count(kWhite, x, 11, 595, 266), (595 - x) * 255);
}

TEST_F(VisualizeNetwork, DirectionsShowTwoTalkers) {
    Picture p = picture("Tracked directions");
    // Rows of -40 .. -20 and of +30 .. +50 degrees against the rest of the box.
    const int d0 = vis::azimuthRowY(10, vis::directionBoxHeight(640), -20);
    const int d1 = vis::azimuthRowY(10, vis::directionBoxHeight(640), -40);
    const int e0 = vis::azimuthRowY(10, vis::directionBoxHeight(640), 50);
    const int e1 = vis::azimuthRowY(10, vis::directionBoxHeight(640), 30);
    const int left = p.count(kBlack, 31, d0, 575, d1 + 1), right = p.count(kBlack, 31, e0, 575, e1 + 1);
    const int all = p.count(kBlack, 31, 35, 575, 400);
    EXPECT_GT(left, 200);
    EXPECT_GT(right, 200);
    EXPECT_GT(left + right, all * 9 / 10);
    // The cursor at the last refresh, frame 500.
    EXPECT_EQ(p.count(kRed, column(30, 500), 10, column(30, 500) + 1, 401), 391);
}

TEST_F(VisualizeNetwork, VoiceActivityMarksTheSpeech) {
    Picture p = picture("Voice activity");
    const int speech = p.count(kPink, column(30, 60), 11, column(30, 440), 111);
    EXPECT_GT(speech, 100 * (column(30, 440) - column(30, 60)) / 2);  // mostly speech
    EXPECT_EQ(p.count(kPink, 0, 0, column(30, 40), 260), 0);          // noise learning
    EXPECT_EQ(p.count(kPink, column(30, 470), 0, 600, 260), 0);       // after the talkers
}
