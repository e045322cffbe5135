// Without a display (DISPLAY unset, or naming a server that is not there) the four
// windows pass their data through and the run succeeds, with one warning on stderr
// for the whole process instead of an abort. Each case runs in a child process of
// its own: the toolkit decides about the display once per process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "flow/Gui.h"
#include "tests/support/NodeHarness.h"
#include "tests/visualization/WindowTesting.h"
#include "visualization/SSLvisualization.h"
#include "visualization/SpectrumVisualization.h"
#include "visualization/VADvisualization.h"
#include "visualization/WaveVisualization.h"

using namespace vistest;
using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

Params params() {
    Params p;
    p.f("VISUALIZATION_TIME_LENGTH", 1.0f)
        .s("WINDOW_NAME", "headless")
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

// Runs a node over 120 frames; true when every output frame is its input frame.
bool passesThrough(FD::Node* node, const std::vector<std::string>& inputs,
                   const std::vector<std::string>& outputs) {
    NodeHarness h(node);
    std::vector<std::map<int, FD::ObjectRef>> frames(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string in = inputs[i];
        std::map<int, FD::ObjectRef>* store = &frames[i];
        h.feed(in, [in, store](int count) {
            FD::ObjectRef& slot = (*store)[count];
            if (!slot) {
                if (in == "INPUT_AUDIO_SPECTRUM")
                    slot = spectrumFrame(257, [](int, int k) { return std::complex<float>(float(k), 0.0f); });
                else if (in == "INPUT_AUDIO_SIGNAL")
                    slot = signalFrame(float(count), -float(count));
                else
                    slot = count % 2 ? sourceList({30.0f}) : emptyList();
            }
            return slot;
        });
    }
    h.initialize();
    for (int c = 0; c < 120; ++c) {
        for (size_t o = 0; o < outputs.size(); ++o) {
            FD::ObjectRef out = h.pull(outputs[o], c);
            if (out.get() != frames[o][c].get()) return false;
        }
    }
    return true;
}

// In the child: the scenario with stderr caught, then exit 0 only if all went
// well and stderr holds exactly one line, the warning (copied to the real stderr
// for the parent to match).
[[noreturn]] void scenario(const char* display, bool runnerFirst) {
    if (display)
        setenv("DISPLAY", display, 1);
    else
        unsetenv("DISPLAY");
    std::FILE* caught = std::tmpfile();
    int realStderr = dup(2);
    dup2(fileno(caught), 2);

    bool ok = true;
    if (runnerFirst) ok = !FD::gui::start() && ok;
    try {
        ok = passesThrough(new WaveVisualization("wave", params()), {"INPUT_AUDIO_SIGNAL"},
                           {"OUTPUT_AUDIO_SIGNAL"}) &&
             ok;
        ok = passesThrough(new SpectrumVisualization("spec", params()), {"INPUT_AUDIO_SPECTRUM"},
                           {"OUTPUT_AUDIO_SPECTRUM"}) &&
             ok;
        ok = passesThrough(new SSLvisualization("ssl", params()), {"INPUT_AUDIO_SIGNAL", "INPUT_TRACKED_DOA"},
                           {"OUTPUT_AUDIO_SIGNAL", "OUTPUT_TRACKED_DOA"}) &&
             ok;
        ok =
            passesThrough(new VADvisualization("vad", params()), {"INPUT_AUDIO_SIGNAL", "INPUT_VAD_DECISION"},
                          {"OUTPUT_AUDIO_SIGNAL", "OUTPUT_VAD_DECISION"}) &&
            ok;
    } catch (FD::BaseException* e) {
        std::fprintf(stderr, "%s\n", e->message().c_str());
        delete e;
        ok = false;
    }
    // The runner's end of the run: nothing to save, nothing to hold, no hang.
    ok = FD::gui::finish(true, "/tmp") == 0 && ok;

    std::fflush(stderr);
    dup2(realStderr, 2);
    std::rewind(caught);
    std::string text;
    int lines = 0;
    for (int ch; (ch = std::fgetc(caught)) != EOF;) {
        text += char(ch);
        lines += ch == '\n';
    }
    std::fputs(text.c_str(), stderr);
    std::fprintf(stderr, "[%d line(s) on stderr, %s]\n", lines, ok ? "all frames passed through" : "FAILED");
    std::fflush(stderr);
    _exit(ok && lines == 1 ? 0 : 1);
}

}  // namespace

TEST(Headless, WithoutDisplayEveryWindowPassesThroughWithOneWarning) {
    EXPECT_EXIT(
        scenario(nullptr, false), ::testing::ExitedWithCode(0),
        "WaveVisualization \"wave\": warning: no display \\(DISPLAY is not set\\); live windows are off");
}

TEST(Headless, AnUnreachableDisplayIsNoDisplay) {
    EXPECT_EXIT(scenario(":31999", false), ::testing::ExitedWithCode(0),
                "WaveVisualization \"wave\": warning: cannot open display \":31999\"");
}

TEST(Headless, TheRunnerWarnsOnceForItselfAndTheNodes) {
    EXPECT_EXIT(scenario(nullptr, true), ::testing::ExitedWithCode(0), "flowrun: warning: no display");
}
