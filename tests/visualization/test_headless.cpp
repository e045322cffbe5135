// Without a display the four windows pass their data through and the run succeeds,
// with one warning for the process. Each case runs in a child process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "flow/Gui.h"
#include "tests/visualization/WindowTesting.h"

using namespace vistest;

namespace {

// Exits 0 only if every output frame was its input frame and stderr got one line.
[[noreturn]] void scenario(const char* display, bool runnerFirst) {
    display ? setenv("DISPLAY", display, 1) : unsetenv("DISPLAY");
    std::FILE* caught = std::tmpfile();
    int realStderr = dup(2);
    dup2(fileno(caught), 2);
    bool ok = !runnerFirst || !FD::gui::start();
    for (const Kind& k : kinds()) {
        Rig rig(k, {}, windowParams(1.0f, "headless"));
        for (int c = 0; c < 120; ++c)
            for (size_t o = 0; o < k.outputs.size(); ++o)
                ok = ok && rig.pull(c, o).get() == rig.frames[k.inputs[o]][c].get();
    }
    ok = FD::gui::finish(true, "/tmp") == 0 && ok;  // nothing to save or hold
    std::fflush(stderr);
    dup2(realStderr, 2);
    std::rewind(caught);
    int lines = 0;
    for (int ch; (ch = std::fgetc(caught)) != EOF; lines += ch == '\n') std::fputc(ch, stderr);
    _exit(ok && lines == 1 ? 0 : 1);
}

}  // namespace

TEST(Headless, WithoutDisplayEveryWindowPassesThroughWithOneWarning) {
    EXPECT_EXIT(
        scenario(nullptr, false), ::testing::ExitedWithCode(0),
        "WaveVisualization \"win\": warning: no display \\(DISPLAY is not set\\); live windows are off");
    EXPECT_EXIT(scenario(":31999", false), ::testing::ExitedWithCode(0),
                "WaveVisualization \"win\": warning: cannot open display \":31999\"");
    EXPECT_EXIT(scenario(nullptr, true), ::testing::ExitedWithCode(0), "flowrun: warning: no display");
}
