// What the four windows share: parameters, pass-through, scrolling, closing, destruction, failures.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "flow/Gui.h"
#include "tests/visualization/WindowTesting.h"
#include "tests/visualization/XvfbServer.h"

using namespace vistest;
using FD::testing::hostError;

namespace {

struct XvfbEnvironment : ::testing::Environment {
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        ASSERT_TRUE(FD::gui::start()) << "cannot open " << server.display();
    }
    void TearDown() override { server.stop(); }
    XvfbServer server;
};
[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

// Every output of frame c is the very object its input had.
void expectPassedThrough(Rig& rig, const Kind& k, int c) {
    for (size_t o = 0; o < k.outputs.size(); ++o) {
        FD::ObjectRef out = rig.pull(c, o);
        ASSERT_EQ(out.get(), rig.frames[k.inputs[o]][c].get()) << c << " " << k.outputs[o];
    }
}

}  // namespace

TEST(WindowFrame, EveryWindowRefusesDivisionByZeroAndWindowsShorterThanTheLookBack) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        auto error = [&](const FD::ParameterSet& p) { return hostError([&] { delete k.make("win", p); }); };
        EXPECT_EQ(error(windowParams(0.4f)), "");
        const std::vector<std::pair<FD::testing::Params, std::string>> bad = {
            {windowParams(0.3f), k.type + " \"win\": VISUALIZATION_TIME_LENGTH"},  // 30 frames
            {windowParams(0.0f), "VISUALIZATION_TIME_LENGTH"},
            {windowParams().i("ADVANCE", 0), "ADVANCE"},
            {windowParams().i("SAMPLING_RATE", 0), "SAMPLING_RATE"}};
        for (const auto& [p, says] : bad) EXPECT_NE(error(p).find(says), std::string::npos) << says;
    }
}

TEST(WindowFrame, EveryWindowPassesItsInputsThroughScrollsByHalfWindowsAndGoesOnOnceClosed) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        Rig rig(k);
        std::map<int, int> starts;
        size_t seen = 0;
        for (int c = 0; c <= 620; ++c) {
            ASSERT_NO_FATAL_FAILURE(expectPassedThrough(rig, k, c));
            const std::vector<int>& asked = rig.sources.begin()->second->requested();
            for (; seen < asked.size(); ++seen) {
                ASSERT_GE(asked[seen], c - 300) << c;
                ASSERT_LE(asked[seen], c) << c;
            }
            starts[c] = rig.view().windowStart;
        }
        EXPECT_EQ(rig.view().windowFrames, 300);
        EXPECT_EQ((std::vector<int>{starts[319], starts[320], starts[459], starts[460], starts[620]}),
                  (std::vector<int>{0, 150, 150, 300, 450}));
        // Closed by the user: the data keeps passing, nothing scrolls (it would at 740) or draws.
        GtkWidget* top = rig.view().window;
        ASSERT_NE(top, nullptr);
        const Picture before = rig.picture();
        closeLikeUser(top);
        EXPECT_EQ(rig.view().window, nullptr);
        for (int c = 621; c <= 900; ++c) ASSERT_NO_FATAL_FAILURE(expectPassedThrough(rig, k, c));
        EXPECT_EQ(rig.view().windowStart, 450);
        EXPECT_TRUE(rig.picture() == before);
    }
}

TEST(WindowFrame, DestroyingANodeReleasesItsWindowAndItsHandlers) {
    for (const Kind& k : kinds()) {
        for (bool closeFirst : {false, true}) {
            SCOPED_TRACE(k.type + (closeFirst ? " closed" : ""));
            auto rig = std::make_unique<Rig>(k);
            rig->pull(20);
            GtkWidget* top = gtk_widget_get_toplevel(rig->view().drawingArea);
            gpointer pixmap = rig->view().pixmap;
            g_object_add_weak_pointer(G_OBJECT(top), reinterpret_cast<gpointer*>(&top));
            g_object_add_weak_pointer(G_OBJECT(pixmap), &pixmap);
            if (closeFirst) closeLikeUser(top);
            rig.reset();
            EXPECT_EQ(top, nullptr);
            EXPECT_EQ(pixmap, nullptr);
            pumpEvents();  // nothing left to call into the freed drawing state
        }
    }
}

TEST(WindowFrame, ASourceListWithAForeignElementIsAnErrorNotACrash) {
    Rig rig(kind("SSLvisualization"), {{"INPUT_TRACKED_DOA", [](int c) {
                                            auto* list = new FD::Vector<FD::ObjectRef>();
                                            list->push_back(FD::ObjectRef(new FD::Source()));
                                            if (c == 3) list->push_back(FD::ObjectRef(new FD::Float(1.0f)));
                                            return FD::ObjectRef(list);
                                        }}});
    std::string m = hostError([&] { rig.harness.run("OUTPUT_TRACKED_DOA", 10); });
    EXPECT_NE(m.find("\"win\": frame 3: INPUT_TRACKED_DOA element 1"), std::string::npos) << m;
}

TEST(WindowFrame, AFailureDuringARefreshGivesTheLockBack) {
    // Frame 5 changes type when it is fetched again for the refresh of frame 20.
    std::map<int, int> asked;
    FD::testing::NodeHarness h(kind("WaveVisualization").make("wave", windowParams()));
    h.feed("INPUT_AUDIO_SIGNAL",
           [&](int c) { return c == 5 && asked[c]++ ? sourceList({}) : signalFrame(1, 1); });
    h.initialize();
    std::string m = hostError([&] { h.pull("OUTPUT_AUDIO_SIGNAL", 20); });
    EXPECT_NE(m.find("frame 5: INPUT_AUDIO_SIGNAL expects Matrix<float>"), std::string::npos) << m;
    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> done = taken->get_future();
    std::thread([taken] {
        gdk_threads_enter();
        gdk_threads_leave();
        taken->set_value();
    }).detach();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "GDK lock still held";
}
