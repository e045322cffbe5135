// Window pictures read back pixel by pixel, the four window kinds behind one interface.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <complex>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "flow/Source.h"
#include "tests/support/NodeHarness.h"

namespace vistest {

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
std::ostream& operator<<(std::ostream& out, const Rgb& c);
constexpr Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0}, kBlue{0, 0, 255}, kRed{255, 0, 0}, kPink{255, 204, 204};

struct Picture {
    explicit Picture(GdkDrawable* drawable);
    explicit Picture(const std::string& pngPath);  // 0 x 0 when unreadable
    Rgb at(int x, int y) const;
    int count(Rgb c, int x0, int y0, int x1, int y1) const;             // in [x0, x1) x [y0, y1)
    std::pair<int, int> rowSpan(Rgb c, int x, int from, int to) const;  // first, last; -1 if none
    bool operator==(const Picture& o) const { return width == o.width && height == o.height && rgb == o.rgb; }
    void copy(GdkPixbuf* pb);
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

// `text` in the font "fixed" with its baseline starting at (x, baseline), on white.
::testing::AssertionResult showsText(const Picture& p, int x, int baseline, const std::string& text);

void pumpEvents();
void closeLikeUser(GtkWidget* window);  // a delete event through the event loop

FD::ObjectRef signalFrame(float left, float right);
FD::ObjectRef spectrumFrame(int columns, const std::function<std::complex<float>(int ch, int k)>& bin);
FD::ObjectRef sourceList(const std::vector<float>& azimuthsDegrees);
FD::testing::Params windowParams(float seconds = 3.0f, const std::string& title = "Test");

struct View {
    GtkWidget* window;
    GtkWidget* drawingArea;
    GdkPixmap* pixmap;
    int windowStart, windowFrames;
};

struct Kind {
    std::string type;
    std::vector<std::string> inputs, outputs;
    std::function<FD::Node*(const std::string&, const FD::ParameterSet&)> make;
    std::function<View(FD::Node*)> view;
};
const std::vector<Kind>& kinds();  // waveform, spectrum, direction, voice activity
const Kind& kind(const std::string& type);

// A window node "win" fed by `scripts` (varying frames by default); frames are kept,
// so a frame fetched again is the same object.
struct Rig {
    using Scripts = std::map<std::string, FD::testing::ScriptedSource::Script>;
    Rig(const Kind& k, Scripts scripts = {}, const FD::ParameterSet& p = windowParams());
    View view() const { return kind.view(node); }
    Picture picture() const { return Picture(view().pixmap); }
    FD::ObjectRef pull(int count, size_t output = 0) { return harness.pull(kind.outputs[output], count); }

    const Kind& kind;
    FD::Node* node;
    FD::testing::NodeHarness harness;
    std::map<std::string, FD::testing::ScriptedSource*> sources;
    std::map<std::string, std::map<int, FD::ObjectRef>> frames;
};

}  // namespace vistest
