// What all four windows share: parameters refused, inputs passed through while the
// window scrolls, a closed window, release of a destroyed node's window, input
// errors naming node, port and frame, and the GDK lock given back after a failure.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "tests/visualization/WindowTesting.h"

using namespace vistest;
using FD::testing::hostError;

TEST(WindowFrame, EveryWindowRefusesUnusableParameters) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        auto error = [&](const FD::testing::Params& p) {
            return hostError([&] { delete k.make("win", p); });
        };
        std::string m = error(windowParams(0.3f));  // 30 frames
        EXPECT_NE(m.find(k.type + " \"win\": VISUALIZATION_TIME_LENGTH"), std::string::npos) << m;
        EXPECT_EQ(error(windowParams(0.4f)), "");
        EXPECT_NE(error(windowParams().remove("SAMPLING_RATE")), "");
        const std::vector<std::pair<FD::testing::Params, std::string>> bad = {
            {windowParams().i("ADVANCE", 0), "ADVANCE"},
            {windowParams().i("SAMPLING_RATE", -16000), "SAMPLING_RATE"},
            {windowParams().i("VISUALIZATION_TIME_LENGTH", 3), "expected float"},  // typed: no conversion
            {windowParams().f("ADVANCE", 160.0f), "expected int"},
            {windowParams().i("WINDOW_NAME", 1), "expected string"}};
        for (const auto& [p, says] : bad) EXPECT_NE(error(p).find(says), std::string::npos) << says;
    }
    // The kHz axis needs whole kHz up to the Nyquist frequency.
    auto make = [](const char* type, int rate) {
        return hostError([&] { delete kind(type).make("w", windowParams(10.0f).i("SAMPLING_RATE", rate)); });
    };
    EXPECT_NE(make("SpectrumVisualization", 1999).find("SpectrumVisualization \"w\": SAMPLING_RATE"),
              std::string::npos);
    EXPECT_EQ(make("WaveVisualization", 1000), "");
}

TEST(WindowFrame, EveryWindowPassesItsInputsThroughAndScrollsByHalfWindows) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        Rig rig(k);
        std::map<int, int> starts;
        size_t seen = 0;
        for (int c = 0; c <= 620; ++c) {
            for (size_t o = 0; o < k.outputs.size(); ++o) {
                FD::ObjectRef out = rig.pull(c, o);
                ASSERT_EQ(out.get(), rig.frames[k.inputs[o]][c].get()) << c << " " << k.outputs[o];
            }
            // Every frame fetched again lies within the look-back.
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
    }
}

TEST(WindowFrame, EveryWindowKeepsPassingDataAfterTheUserClosesIt) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        Rig rig(k);
        rig.pull(40);
        GtkWidget* top = rig.view().window;
        ASSERT_NE(top, nullptr);
        Picture before = rig.picture();
        closeLikeUser(top);
        EXPECT_EQ(rig.view().window, nullptr);
        for (int c = 41; c <= 400; ++c)
            for (size_t o = 0; o < k.outputs.size(); ++o) {
                FD::ObjectRef out = rig.pull(c, o);
                ASSERT_EQ(out.get(), rig.frames[k.inputs[o]][c].get()) << c;
            }
        EXPECT_EQ(rig.view().windowStart, 0);  // no more scrolling or drawing
        EXPECT_TRUE(rig.picture() == before);
        // Closing twice, or initialising again, does not bring it back.
        closeLikeUser(top);
        rig.node->initialize();
        EXPECT_FALSE(gtk_widget_get_visible(top));
        EXPECT_EQ(rig.view().window, nullptr);
        EXPECT_TRUE(rig.picture() == before);
    }
}

TEST(WindowFrame, DestroyingANodeReleasesItsWindowAndItsHandlers) {
    for (const Kind& k : kinds()) {
        for (bool closeFirst : {false, true}) {
            SCOPED_TRACE(k.type + (closeFirst ? " closed" : ""));
            int before = toplevelCount();
            auto rig = std::make_unique<Rig>(k);
            rig->pull(20);
            EXPECT_EQ(toplevelCount(), before + 1);
            GtkWidget* top = gtk_widget_get_toplevel(rig->view().drawingArea);
            gpointer pixmap = rig->view().pixmap;
            g_object_add_weak_pointer(G_OBJECT(top), reinterpret_cast<gpointer*>(&top));
            g_object_add_weak_pointer(G_OBJECT(pixmap), &pixmap);
            if (closeFirst) closeLikeUser(top);
            rig.reset();
            EXPECT_EQ(top, nullptr);
            EXPECT_EQ(pixmap, nullptr);
            EXPECT_EQ(toplevelCount(), before);
            pumpEvents();  // nothing left to call into the freed drawing state
        }
    }
}

TEST(WindowFrame, InputsOfTheWrongTypeAreErrorsNamingNodePortAndFrame) {
    for (const Kind& k : kinds()) {
        for (const std::string& bad : k.inputs) {
            SCOPED_TRACE(k.type + " " + bad);
            Rig rig(
                k,
                {{bad, [bad](int c) { return c == 7 ? FD::ObjectRef(new FD::Int(7)) : frameFor(bad, c); }}});
            std::string m = hostError([&] { rig.pull(7); });
            EXPECT_NE(m.find(k.type + " \"win\": " + bad + " at frame 7: expected "), std::string::npos) << m;
            EXPECT_NE(m.find(", got int"), std::string::npos) << m;
        }
    }
    Rig rig(kind("SSLvisualization"), {{"INPUT_TRACKED_DOA", [](int c) {
                                            auto* list = new FD::Vector<FD::ObjectRef>();
                                            list->push_back(FD::ObjectRef(new FD::Source()));
                                            if (c == 3) list->push_back(FD::ObjectRef(new FD::Float(1.0f)));
                                            return FD::ObjectRef(list);
                                        }}});
    std::string m = hostError([&] { rig.harness.run("OUTPUT_TRACKED_DOA", 10); });
    EXPECT_NE(m.find("SSLvisualization \"win\": INPUT_TRACKED_DOA at frame 3: element 1"), std::string::npos)
        << m;
}

TEST(WindowFrame, AFailureDuringARefreshGivesTheLockBack) {
    // Frame 5 changes type when it is fetched again for the refresh of frame 20.
    std::map<int, int> asked;
    FD::testing::NodeHarness h(kind("WaveVisualization").make("wave", windowParams()));
    h.feed("INPUT_AUDIO_SIGNAL",
           [&](int count) { return count == 5 && asked[count]++ > 0 ? emptyList() : signalFrame(100, 100); });
    h.initialize();
    std::string m = hostError([&] { h.pull("OUTPUT_AUDIO_SIGNAL", 20); });
    EXPECT_NE(m.find("WaveVisualization \"wave\": INPUT_AUDIO_SIGNAL at frame 5: expected Matrix<float>"),
              std::string::npos)
        << m;
    // Another thread can take the lock (if it could not, it is left behind blocked).
    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> done = taken->get_future();
    std::thread([taken] {
        gdk_threads_enter();
        gdk_threads_leave();
        taken->set_value();
    }).detach();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "the GDK lock is still held";
}
