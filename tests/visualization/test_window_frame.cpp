// What all four windows share, checked on each: parameters refused, inputs passed
// through unchanged while the window scrolls, a closed window, the release of a
// destroyed node's window, input errors that name node, port and frame, and the
// GDK lock given back after a failure.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "tests/support/NodeHarness.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/SSLvisualization.h"
#include "visualization/SpectrumVisualization.h"
#include "visualization/VADvisualization.h"
#include "visualization/WaveVisualization.h"

using namespace vistest;
using FD::testing::hostError;
using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

// The companion fields a test looks at, whatever the window.
struct View {
    GtkWidget* window;
    GtkWidget* drawingArea;
    GdkPixmap* pixmap;
    int windowStart;
    int windowFrames;
};

template <class N>
View viewOf(FD::Node* node) {
    const auto& s = static_cast<N*>(node)->drawingState();
    return View{s.window, s.drawingArea, s.pixmap, s.windowStart, s.windowFrames};
}

struct Kind {
    std::string type;
    std::vector<std::string> inputs, outputs;
    std::function<FD::Node*(const std::string&, const FD::ParameterSet&)> make;
    std::function<View(FD::Node*)> view;
};

template <class N>
std::function<FD::Node*(const std::string&, const FD::ParameterSet&)> maker() {
    return [](const std::string& name, const FD::ParameterSet& p) -> FD::Node* { return new N(name, p); };
}

std::vector<Kind> kinds() {
    return {
        {"WaveVisualization",
         {"INPUT_AUDIO_SIGNAL"},
         {"OUTPUT_AUDIO_SIGNAL"},
         maker<WaveVisualization>(),
         viewOf<WaveVisualization>},
        {"SpectrumVisualization",
         {"INPUT_AUDIO_SPECTRUM"},
         {"OUTPUT_AUDIO_SPECTRUM"},
         maker<SpectrumVisualization>(),
         viewOf<SpectrumVisualization>},
        {"SSLvisualization",
         {"INPUT_AUDIO_SIGNAL", "INPUT_TRACKED_DOA"},
         {"OUTPUT_AUDIO_SIGNAL", "OUTPUT_TRACKED_DOA"},
         maker<SSLvisualization>(),
         viewOf<SSLvisualization>},
        {"VADvisualization",
         {"INPUT_AUDIO_SIGNAL", "INPUT_VAD_DECISION"},
         {"OUTPUT_AUDIO_SIGNAL", "OUTPUT_VAD_DECISION"},
         maker<VADvisualization>(),
         viewOf<VADvisualization>},
    };
}

Params windowParams(float seconds = 3.0f) {
    Params p;
    p.f("VISUALIZATION_TIME_LENGTH", seconds)
        .s("WINDOW_NAME", "Frame test")
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

// A frame of the kind an input expects, varying with the count.
FD::ObjectRef frameFor(const std::string& input, int count) {
    if (input == "INPUT_AUDIO_SPECTRUM")
        return spectrumFrame(257, [count](int ch, int k) {
            return std::complex<float>(float(1000 * ((k + count + ch) % 200)), 0.0f);
        });
    if (input == "INPUT_TRACKED_DOA") return count % 3 ? sourceList({float(count % 360 - 180)}) : emptyList();
    if (input == "INPUT_VAD_DECISION") return (count / 25) % 2 ? sourceList({0.0f}) : emptyList();
    return signalFrame(float((count % 64) * 300), float(-(count % 32) * 500));
}

// A node of `kind` whose inputs return the same object for a count every time
// they are asked (the frames live in `frames`).
struct Rig {
    Rig(const Kind& k, const Params& p = windowParams()) : kind(k), node(k.make("win", p)), harness(node) {
        for (const std::string& in : k.inputs) {
            sources[in] = &harness.feed(in, [this, in](int count) {
                FD::ObjectRef& slot = frames[in][count];
                if (!slot) slot = frameFor(in, count);
                return slot;
            });
        }
        harness.initialize();
    }
    View view() const { return kind.view(node); }

    const Kind& kind;
    FD::Node* node;
    NodeHarness harness;
    std::map<std::string, FD::testing::ScriptedSource*> sources;
    std::map<std::string, std::map<int, FD::ObjectRef>> frames;
};

template <class T, class F>
bool throwsCast(F&& f) {
    try {
        f();
    } catch (FD::CastException<T>* e) {
        delete e;
        return true;
    } catch (FD::BaseException* e) {
        delete e;
    }
    return false;
}

}  // namespace

TEST(WindowFrame, EveryWindowRefusesUnusableParameters) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        auto build = [&](const Params& p) { delete k.make("win", p); };
        std::string m = hostError([&] { build(windowParams(0.3f)); });  // 30 frames
        EXPECT_NE(m.find(k.type + " \"win\""), std::string::npos) << m;
        EXPECT_NE(m.find("VISUALIZATION_TIME_LENGTH"), std::string::npos) << m;
        EXPECT_EQ(hostError([&] { build(windowParams(0.4f)); }), "");  // 40 frames
        EXPECT_NE(hostError([&] { build(windowParams(0.0f)); }), "");
        EXPECT_NE(hostError([&] { build(windowParams().i("ADVANCE", 0)); }).find("ADVANCE"),
                  std::string::npos);
        EXPECT_NE(hostError([&] { build(windowParams().i("SAMPLING_RATE", -16000)); }).find("SAMPLING_RATE"),
                  std::string::npos);
        // Typed parameters: no conversion between int and float.
        EXPECT_TRUE(throwsCast<float>([&] { build(windowParams().i("VISUALIZATION_TIME_LENGTH", 3)); }));
        EXPECT_TRUE(throwsCast<int>([&] { build(windowParams().f("ADVANCE", 160.0f)); }));
        EXPECT_TRUE(throwsCast<FD::String>([&] { build(windowParams().i("WINDOW_NAME", 1)); }));
        EXPECT_NE(hostError([&] { build(windowParams().remove("SAMPLING_RATE")); }), "");
    }
    // The kHz axis needs whole kHz up to the Nyquist frequency.
    std::string m = hostError(
        [] { delete new SpectrumVisualization("spec", windowParams(10.0f).i("SAMPLING_RATE", 1999)); });
    EXPECT_NE(m.find("SpectrumVisualization \"spec\": SAMPLING_RATE"), std::string::npos) << m;
    EXPECT_EQ(hostError([] {
                  delete new WaveVisualization(
                      "w", windowParams().i("SAMPLING_RATE", 1000).f("VISUALIZATION_TIME_LENGTH", 10.0f));
              }),
              "");
}

TEST(WindowFrame, EveryWindowPassesItsInputsThroughAndScrollsByHalfWindows) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        Rig rig(k);
        std::map<int, int> starts;
        size_t seen = 0;
        for (int c = 0; c <= 700; ++c) {
            for (size_t o = 0; o < k.outputs.size(); ++o) {
                FD::ObjectRef out = rig.harness.pull(k.outputs[o], c);
                ASSERT_EQ(out.get(), rig.frames[k.inputs[o]][c].get())
                    << "frame " << c << " " << k.outputs[o];
            }
            // Every frame fetched again lies within the look-back.
            for (const auto& src : rig.sources) {
                const std::vector<int>& asked = src.second->requested();
                for (size_t i = c == 0 ? 0 : seen; i < asked.size(); ++i) {
                    ASSERT_GE(asked[i], c - 300) << "frame " << c;
                    ASSERT_LE(asked[i], c) << "frame " << c;
                }
            }
            seen = rig.sources.begin()->second->requested().size();
            starts[c] = rig.view().windowStart;
        }
        EXPECT_EQ(starts[300], 0);
        EXPECT_EQ(starts[319], 0);
        EXPECT_EQ(starts[320], 150);
        EXPECT_EQ(starts[460], 300);
        EXPECT_EQ(starts[620], 450);
        EXPECT_EQ(rig.view().windowFrames, 300);
    }
}

TEST(WindowFrame, EveryWindowKeepsPassingDataAfterTheUserClosesIt) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        Rig rig(k);
        rig.harness.pull(k.outputs[0], 40);
        GtkWidget* top = rig.view().window;
        ASSERT_NE(top, nullptr);
        Picture before(rig.view().pixmap);
        closeLikeUser(top);
        EXPECT_EQ(rig.view().window, nullptr);
        EXPECT_FALSE(gtk_widget_get_visible(top));
        for (int c = 41; c <= 400; ++c) {
            for (size_t o = 0; o < k.outputs.size(); ++o) {
                FD::ObjectRef out = rig.harness.pull(k.outputs[o], c);
                ASSERT_EQ(out.get(), rig.frames[k.inputs[o]][c].get()) << c;
            }
        }
        EXPECT_EQ(rig.view().windowStart, 0);  // no more scrolling
        EXPECT_TRUE(Picture(rig.view().pixmap) == before);
        // Closing twice, or initialising again, does not bring it back.
        closeLikeUser(top);
        rig.node->initialize();
        EXPECT_FALSE(gtk_widget_get_visible(top));
        EXPECT_EQ(rig.view().window, nullptr);
    }
}

TEST(WindowFrame, DestroyingANodeReleasesItsWindowAndItsHandlers) {
    for (const Kind& k : kinds()) {
        SCOPED_TRACE(k.type);
        for (bool closeFirst : {false, true}) {
            int before = toplevelCount();
            auto rig = std::make_unique<Rig>(k);
            rig->harness.pull(k.outputs[0], 20);
            EXPECT_EQ(toplevelCount(), before + 1);
            GtkWidget* top = gtk_widget_get_toplevel(rig->view().drawingArea);
            gpointer watch = rig->view().pixmap;
            g_object_add_weak_pointer(G_OBJECT(top), reinterpret_cast<gpointer*>(&top));
            g_object_add_weak_pointer(G_OBJECT(watch), &watch);
            if (closeFirst) closeLikeUser(top);
            rig.reset();
            EXPECT_EQ(top, nullptr);
            EXPECT_EQ(watch, nullptr);
            EXPECT_EQ(toplevelCount(), before);
            pumpEvents();  // nothing left to call into the freed drawing state
        }
    }
}

TEST(WindowFrame, InputsOfTheWrongTypeAreErrorsNamingNodePortAndFrame) {
    for (const Kind& k : kinds()) {
        for (const std::string& bad : k.inputs) {
            SCOPED_TRACE(k.type + " " + bad);
            NodeHarness h(k.make("win", windowParams()));
            for (const std::string& in : k.inputs) {
                h.feed(in, [in, bad](int count) {
                    return in == bad && count == 7 ? FD::ObjectRef(new FD::Int(7)) : frameFor(in, count);
                });
            }
            h.initialize();
            std::string m = hostError([&] { h.pull(k.outputs[0], 7); });
            EXPECT_NE(m.find(k.type + " \"win\": " + bad + " at frame 7: expected "), std::string::npos) << m;
            EXPECT_NE(m.find(", got int"), std::string::npos) << m;
        }
    }
    // A source list whose element is not a source record.
    NodeHarness h(new SSLvisualization("ssl", windowParams()));
    h.feed("INPUT_AUDIO_SIGNAL", [](int) { return signalFrame(0, 0); });
    h.feed("INPUT_TRACKED_DOA", [](int count) {
        auto* list = new FD::Vector<FD::ObjectRef>();
        list->push_back(FD::ObjectRef(new FD::Source()));
        if (count == 3) list->push_back(FD::ObjectRef(new FD::Float(1.0f)));
        return FD::ObjectRef(list);
    });
    h.initialize();
    std::string m = hostError([&] { h.run("OUTPUT_TRACKED_DOA", 10); });
    EXPECT_NE(m.find("SSLvisualization \"ssl\": INPUT_TRACKED_DOA at frame 3: element 1"), std::string::npos)
        << m;
}

TEST(WindowFrame, AFailureDuringARefreshGivesTheLockBack) {
    // Frame 5 changes type when it is fetched again for the refresh of frame 20.
    std::map<int, int> asked;
    NodeHarness h(new WaveVisualization("wave", windowParams()));
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

TEST(WindowFrame, AResizedWindowGetsANewPictureAndPlotRectangle) {
    NodeHarness h(new WaveVisualization("wave", windowParams()));
    h.feed("INPUT_AUDIO_SIGNAL", [](int) { return signalFrame(-5120, 5120); });
    h.initialize();
    const kwWaveGtk& s = static_cast<WaveVisualization&>(h.node()).drawingState();
    h.pull("OUTPUT_AUDIO_SIGNAL", 20);
    gtk_window_resize(GTK_WINDOW(s.window), 800, 400);
    for (int i = 0; i < 2000 && s.plotWidth != 745; ++i) {
        pumpEvents();
        g_usleep(2000);
    }
    ASSERT_EQ(s.plotWidth, 745);
    EXPECT_EQ(s.plotHeight, 360);
    Picture p(s.pixmap);
    ASSERT_EQ(p.width(), 800);
    ASSERT_EQ(p.height(), 400);
    // Boxes keep their 100-pixel height and follow the new width; the data wait
    // for the next refresh.
    EXPECT_EQ(p.count(kBlack, 30, 10, 776, 11), 746);
    EXPECT_EQ(p.count(kBlack, 775, 10, 776, 111), 101);
    EXPECT_EQ(p.count(kBlack, 100, 111, 700, 129), 0);
    EXPECT_EQ(p.count(kBlue, 0, 0, 800, 400), 0);
    h.pull("OUTPUT_AUDIO_SIGNAL", 40);
    p = Picture(s.pixmap);
    // Left at -5120 (row 50), right at 5120 (row 190), up to x(40) = 129.
    EXPECT_EQ(p.columnsOf(kBlue, 50, 0, 800).back(), 30 + 40 * 745 / 300);
    EXPECT_EQ(p.columnsOf(kBlue, 190, 0, 800).back(), 30 + 40 * 745 / 300);
}
