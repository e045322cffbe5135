// The runner's end of a run with windows (--snapshot, --hold), and networks/visualize.n
// run by flowrun on the demo recording (two talkers at about -30 and +40 degrees).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "flow/Gui.h"
#include "tests/support/Files.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/PlotGeometry.h"

using namespace vistest;

namespace {

std::unique_ptr<Rig> shownRig(const char* type, const std::string& title) {
    auto rig = std::make_unique<Rig>(kind(type), Rig::Scripts{}, windowParams(1.0f, title));
    rig->harness.run(rig->kind.outputs[0], 61);
    return rig;
}

}  // namespace

TEST(RunnerWindows, SnapshotsArePngsNamedAfterTheTitles) {
    auto a = shownRig("WaveVisualization", "Waveform of demo");
    auto b = shownRig("SpectrumVisualization", "Left/right");
    auto c = shownRig("WaveVisualization", "Closed one");
    closeLikeUser(c->view().window);
    FD::testing::TempDir scratch;
    std::string dir = scratch / "pictures";  // does not exist yet
    EXPECT_EQ(FD::gui::finish(false, dir), 2);
    EXPECT_TRUE(Picture(dir + "/Waveform of demo.png") == a->picture());
    EXPECT_TRUE(Picture(dir + "/Left_right.png") == b->picture());
    EXPECT_EQ(access((dir + "/Closed one.png").c_str(), F_OK), -1);
}

TEST(RunnerWindows, HoldReturnsWhenEveryWindowIsClosed) {
    auto a = shownRig("WaveVisualization", "Held wave");
    auto b = shownRig("SpectrumVisualization", "Held spectrum");
    GtkWidget* shown[] = {a->view().window, b->view().window, nullptr};
    g_idle_add(
        [](gpointer w) -> gboolean {
            for (auto** p = static_cast<GtkWidget**>(w); *p; ++p) closeLikeUser(*p);
            return FALSE;
        },
        shown);
    EXPECT_EQ(FD::gui::finish(true, ""), 0);
    EXPECT_EQ(a->view().window, nullptr);
    EXPECT_EQ(b->view().window, nullptr);
}

TEST(RunnerWindows, VisualizeNetworkOnTheDemoRecording) {
    FD::testing::TempDir scratch;
    const std::string dir = scratch.path();
    const FD::testing::Outcome run = FD::testing::flowrun(
        FD::testing::network("visualize.n") + " --quiet --snapshot " + dir + " INPUT=" + DEMO_WAV);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    auto picture = [&](const char* title) { return Picture(dir + "/" + title + ".png"); };
    auto x = [](int f) { return vis::frameColumn(f, 0, 30, 545, 600); };  // 6 s window
    Picture wave = picture("Waveform");
    EXPECT_EQ(wave.count(kBlue, 30, 11, x(40), 56), 0);
    EXPECT_GT(wave.count(kBlue, x(100), 131, x(400), 176), 500);
    Picture spec = picture("Spectrogram");
    ASSERT_EQ(spec.height, 572);
    int low = 0, high = 0;  // bright points mostly below 4 kHz (row 138)
    for (int px = x(50) + 20; px < x(450) + 20; ++px)
        for (int y = 40; y < 266; ++y) (y > 138 ? low : high) += y != 138 && spec.at(px, y).r >= 128;
    EXPECT_GT(low, 2000);
    EXPECT_GT(low, 3 * high);
    Picture dirs = picture("Tracked directions");
    ASSERT_EQ(dirs.height, 680);
    auto row = [](int degrees) { return vis::azimuthRowY(10, vis::directionBoxHeight(640), degrees); };
    const int left = dirs.count(kBlack, 31, row(-20), 575, row(-40) + 1);
    const int right = dirs.count(kBlack, 31, row(50), 575, row(30) + 1);
    EXPECT_GT(left, 200);
    EXPECT_GT(right, 200);
    EXPECT_GT(left + right, dirs.count(kBlack, 31, 35, 575, 400) * 9 / 10);
    Picture vad = picture("Voice activity");
    EXPECT_GT(vad.count(kPink, x(60), 11, x(440), 111), 50 * (x(440) - x(60)));
    EXPECT_EQ(vad.count(kPink, 0, 0, x(40), 260), 0);
}

// Modules from a folder without the window libraries: the run succeeds, the windows
// pass their data through, and there is one warning; asked for pictures, which
// cannot be drawn, the run is refused before it starts.
TEST(RunnerWindows, WithoutTheWindowLibrariesTheRunPassesThroughWithOneWarning) {
    FD::testing::TempDir dir;
    const std::string bin = std::filesystem::path(FLOWRUN).parent_path();
    for (const char* module : {"libzelkbp.so", "libflownodes.so"})
        std::filesystem::create_symlink(bin + "/" + module, dir / module);
    const std::string args = FD::testing::network("visualize.n") + " --quiet INPUT=" + DEMO_WAV;
    FD::testing::Outcome run = FD::testing::flowrun(args, "ZELKBP_MODULE_DIR=" + dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("flowrun: warning: cannot load the window support ("), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;

    run = FD::testing::flowrun(args + " --snapshot " + (dir / "pictures"), "ZELKBP_MODULE_DIR=" + dir.path());
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("--snapshot: no window can be drawn"), std::string::npos) << run.err;
}
