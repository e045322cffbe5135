// The runner's end of a run with windows: pictures saved as PNGs named after the
// window titles, and windows held open until the user has closed them all.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "flow/Gui.h"
#include "tests/support/NodeHarness.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/SpectrumVisualization.h"
#include "visualization/WaveVisualization.h"

using namespace vistest;
using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

Params params(const std::string& title) {
    Params p;
    p.f("VISUALIZATION_TIME_LENGTH", 1.0f)
        .s("WINDOW_NAME", title)
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

std::unique_ptr<NodeHarness> wave(const std::string& title) {
    auto h = std::make_unique<NodeHarness>(new WaveVisualization("wave", params(title)));
    h->feed("INPUT_AUDIO_SIGNAL", [](int count) { return signalFrame(float(count * 100), -5000.0f); });
    h->initialize();
    h->run("OUTPUT_AUDIO_SIGNAL", 61);
    return h;
}

std::unique_ptr<NodeHarness> spectrum(const std::string& title) {
    auto h = std::make_unique<NodeHarness>(new SpectrumVisualization("spec", params(title)));
    h->feed("INPUT_AUDIO_SPECTRUM", [](int count) {
        return spectrumFrame(
            257, [count](int, int k) { return std::complex<float>(float(k * count * 40), 0.0f); });
    });
    h->initialize();
    h->run("OUTPUT_AUDIO_SPECTRUM", 61);
    return h;
}

std::string scratchDirectory() {
    char pattern[] = "/tmp/vis-snapshots-XXXXXX";
    return mkdtemp(pattern);
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

gboolean closeAllShown(gpointer) {
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next)
        if (gtk_widget_get_visible(GTK_WIDGET(l->data))) closeLikeUser(GTK_WIDGET(l->data));
    g_list_free(all);
    return FALSE;
}

}  // namespace

TEST(RunnerWindows, SnapshotsArePngsNamedAfterTheTitles) {
    auto a = wave("Waveform of demo");
    auto b = spectrum("Left/right spectrum");
    auto c = wave("Closed one");
    closeLikeUser(static_cast<WaveVisualization&>(c->node()).drawingState().window);
    // A nested directory that does not exist yet.
    std::string dir = scratchDirectory() + "/pictures/end";

    EXPECT_EQ(FD::gui::finish(false, dir), 2);
    std::string first = dir + "/Waveform of demo.png", second = dir + "/Left_right spectrum.png";
    ASSERT_TRUE(exists(first));
    ASSERT_TRUE(exists(second));
    EXPECT_FALSE(exists(dir + "/Closed one.png"));

    // The files hold the windows' pictures, pixel for pixel.
    for (const auto& [path, pixmap] :
         {std::make_pair(first, static_cast<WaveVisualization&>(a->node()).drawingState().pixmap),
          std::make_pair(second, static_cast<SpectrumVisualization&>(b->node()).drawingState().pixmap)}) {
        GError* error = nullptr;
        GdkPixbuf* saved = gdk_pixbuf_new_from_file(path.c_str(), &error);
        ASSERT_NE(saved, nullptr) << path;
        GdkPixmap* copy = gdk_pixmap_new(gdk_get_default_root_window(), gdk_pixbuf_get_width(saved),
                                         gdk_pixbuf_get_height(saved), -1);
        gdk_draw_pixbuf(copy, nullptr, saved, 0, 0, 0, 0, -1, -1, GDK_RGB_DITHER_NONE, 0, 0);
        EXPECT_TRUE(Picture(copy) == Picture(pixmap)) << path;
        g_object_unref(copy);
        g_object_unref(saved);
    }
    // Titles that would collide get numbered.
    auto d = wave("Waveform of demo");
    std::string again = scratchDirectory();
    EXPECT_EQ(FD::gui::finish(false, again), 3);
    EXPECT_TRUE(exists(again + "/Waveform of demo.png"));
    EXPECT_TRUE(exists(again + "/Waveform of demo-2.png"));
    // An unusable directory is reported, not fatal.
    EXPECT_EQ(FD::gui::finish(false, "/proc/no/such/place"), 0);
}

TEST(RunnerWindows, HoldRunsTheEventLoopUntilEveryWindowIsClosed) {
    auto a = wave("Held wave");
    auto b = spectrum("Held spectrum");
    // The "user" closes the windows once the loop is idle.
    g_idle_add(closeAllShown, nullptr);
    EXPECT_EQ(FD::gui::finish(true, ""), 0);
    EXPECT_EQ(static_cast<WaveVisualization&>(a->node()).drawingState().window, nullptr);
    EXPECT_EQ(static_cast<SpectrumVisualization&>(b->node()).drawingState().window, nullptr);
    // Nothing shown: hold returns at once.
    EXPECT_EQ(FD::gui::finish(true, ""), 0);

    // An interrupt ends the hold with the windows still open.
    auto c = wave("Interrupted wave");
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
    EXPECT_NE(static_cast<WaveVisualization&>(c->node()).drawingState().window, nullptr);
}
