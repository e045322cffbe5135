// The runner's end of a run with windows (pictures saved as PNGs named after the
// titles, windows held until closed), and networks/visualize.n run by flowrun on
// the demo recording (two talkers at about -30 and +40 degrees after 0.5 s).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "flow/Gui.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/PlotGeometry.h"

using namespace vistest;

namespace {

std::unique_ptr<Rig> shownRig(const char* type, const std::string& title) {
    auto rig = std::make_unique<Rig>(kind(type), Rig::Scripts{}, windowParams(1.0f, title));
    rig->harness.run(rig->kind.outputs[0], 61);
    return rig;
}

std::string scratchDirectory() {
    char pattern[] = "/tmp/vis-snapshots-XXXXXX";
    return mkdtemp(pattern);
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(RunnerWindows, SnapshotsArePngsNamedAfterTheTitles) {
    auto a = shownRig("WaveVisualization", "Waveform of demo");
    auto b = shownRig("SpectrumVisualization", "Left/right");
    auto c = shownRig("WaveVisualization", "Closed one");
    closeLikeUser(c->view().window);
    std::string dir = scratchDirectory() + "/pictures/end";  // does not exist yet
    EXPECT_EQ(FD::gui::finish(false, dir), 2);
    EXPECT_TRUE(Picture::fromFile(dir + "/Waveform of demo.png") == a->picture());
    EXPECT_TRUE(Picture::fromFile(dir + "/Left_right.png") == b->picture());
    EXPECT_FALSE(exists(dir + "/Closed one.png"));
    // Titles that would collide get numbered; an unusable directory is reported, not fatal.
    auto d = shownRig("WaveVisualization", "Waveform of demo");
    std::string again = scratchDirectory();
    EXPECT_EQ(FD::gui::finish(false, again), 3);
    EXPECT_TRUE(exists(again + "/Waveform of demo-2.png"));
    EXPECT_EQ(FD::gui::finish(false, "/proc/no/such/place"), 0);
}

TEST(RunnerWindows, HoldReturnsWhenEveryWindowIsClosedOrOnAnInterrupt) {
    auto a = shownRig("WaveVisualization", "Held wave");
    auto b = shownRig("SpectrumVisualization", "Held spectrum");
    g_idle_add(
        [](gpointer) -> gboolean {  // the user closes what is shown once the loop is idle
            GList* all = gtk_window_list_toplevels();
            for (GList* l = all; l; l = l->next)
                if (gtk_widget_get_visible(GTK_WIDGET(l->data))) closeLikeUser(GTK_WIDGET(l->data));
            g_list_free(all);
            return FALSE;
        },
        nullptr);
    EXPECT_EQ(FD::gui::finish(true, ""), 0);
    EXPECT_EQ(a->view().window, nullptr);
    EXPECT_EQ(b->view().window, nullptr);
    EXPECT_EQ(FD::gui::finish(true, ""), 0);  // nothing shown: at once

    auto c = shownRig("WaveVisualization", "Interrupted wave");
    g_timeout_add(
        20,
        [](gpointer) -> gboolean {
            struct sigaction current {};
            sigaction(SIGINT, nullptr, &current);
            if (current.sa_handler == SIG_DFL) return TRUE;  // not holding yet
            raise(SIGINT);
            return FALSE;
        },
        nullptr);
    EXPECT_EQ(FD::gui::finish(true, ""), 0);
    EXPECT_NE(c->view().window, nullptr);
}

TEST(RunnerWindows, VisualizeNetworkOnTheDemoRecording) {
    char pattern[] = "/tmp/visualize-network-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string cmd = std::string(FLOWRUN) + " " + NETWORKS_DIR + "/visualize.n --quiet --snapshot " +
                            dir + " INPUT=" + DEMO_WAV + " 2>" + dir + "/stderr.txt";
    const int status = std::system(cmd.c_str());
    std::stringstream err;
    err << std::ifstream(dir + "/stderr.txt").rdbuf();
    ASSERT_EQ(status, 0) << err.str();
    EXPECT_EQ(err.str(), "");
    auto picture = [&](const char* title) { return Picture::fromFile(dir + "/" + title + ".png"); };
    auto x = [](int plotX, int f) { return vis::frameColumn(f, 0, plotX, 545, 600); };  // 6 s window
    // Waveform: flat background up to 0.4 s, speech swings, nothing after the last refresh (500).
    Picture wave = picture("Waveform");
    ASSERT_EQ(wave.width(), 600);
    EXPECT_EQ(wave.count(kBlue, 30, 11, x(30, 40), 56), 0);
    EXPECT_GT(wave.count(kBlue, x(30, 100), 131, x(30, 400), 176), 500);
    EXPECT_EQ(wave.count(kBlue, x(30, 501), 0, 600, 260), 0);
    // Spectrogram: bright points (red 128 and up) mostly below 4 kHz (row 138).
    Picture spec = picture("Spectrogram");
    ASSERT_EQ(spec.height(), 572);
    auto bright = [&](int y0, int y1) {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int px = x(50, 50); px < x(50, 450); ++px) n += spec.at(px, y).r >= 128;
        return n;
    };
    EXPECT_GT(bright(139, 266), 2000);
    EXPECT_GT(bright(139, 266), 3 * bright(40, 138));
    EXPECT_GT(bright(415, 542), 2000);
    // Directions: the sources near -30 and +40 degrees; the cursor at frame 500.
    Picture dirs = picture("Tracked directions");
    ASSERT_EQ(dirs.height(), 680);
    auto row = [](int degrees) { return vis::azimuthRowY(10, vis::directionBoxHeight(640), degrees); };
    const int left = dirs.count(kBlack, 31, row(-20), 575, row(-40) + 1);
    const int right = dirs.count(kBlack, 31, row(50), 575, row(30) + 1);
    EXPECT_GT(left, 200);
    EXPECT_GT(right, 200);
    EXPECT_GT(left + right, dirs.count(kBlack, 31, 35, 575, 400) * 9 / 10);
    EXPECT_EQ(dirs.count(kRed, x(30, 500), 10, x(30, 500) + 1, 401), 391);
    // Voice activity: mostly speech while they talk, none while the noise is learnt or after.
    Picture vad = picture("Voice activity");
    ASSERT_EQ(vad.height(), 260);
    EXPECT_GT(vad.count(kPink, x(30, 60), 11, x(30, 440), 111), 50 * (x(30, 440) - x(30, 60)));
    EXPECT_EQ(vad.count(kPink, 0, 0, x(30, 40), 260), 0);
    EXPECT_EQ(vad.count(kPink, x(30, 470), 0, 600, 260), 0);
}
