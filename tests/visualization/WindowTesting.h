// Window tests: pictures of the windows read back pixel by pixel, the four window
// kinds behind one interface, scripted frames and user actions.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <complex>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "plugin/Source.h"
#include "tests/support/NodeHarness.h"

namespace vistest {

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};
std::ostream& operator<<(std::ostream& out, const Rgb& c);
constexpr Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0}, kBlue{0, 0, 255}, kRed{255, 0, 0}, kPink{255, 204, 204};

class Picture {
public:
    explicit Picture(GdkDrawable* drawable);
    static Picture fromFile(const std::string& path);  // 0 x 0 when unreadable
    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const;
    int count(Rgb c, int x0, int y0, int x1, int y1) const;  // in [x0, x1) x [y0, y1)
    std::vector<int> rowsOf(Rgb c, int x, int from, int to) const;
    bool operator==(const Picture& o) const {
        return width_ == o.width_ && height_ == o.height_ && rgb_ == o.rgb_;
    }

private:
    Picture() = default;
    void copyPixels(GdkPixbuf* pb);
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> rgb_;
};

// True when `text` in the font "fixed", baseline starting at (x, baseline), is
// there exactly, on white around it.
::testing::AssertionResult showsText(const Picture& p, int x, int baseline, const std::string& text);

void pumpEvents();                      // runs pending toolkit events now
void closeLikeUser(GtkWidget* window);  // a delete event through the event loop
int toplevelCount();

FD::ObjectRef signalFrame(float left, float right, int samples = 160);
FD::ObjectRef signalFrame(const std::vector<float>& left, const std::vector<float>& right);
FD::ObjectRef spectrumFrame(int columns, const std::function<std::complex<float>(int ch, int k)>& bin);
FD::ObjectRef sourceList(const std::vector<float>& azimuthsDegrees, const std::vector<int>& ids = {});
FD::ObjectRef emptyList();

FD::testing::Params windowParams(float seconds = 3.0f, const std::string& title = "Test");

// The companion fields every window has.
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

// A frame of the kind an input expects, varying with the count.
FD::ObjectRef frameFor(const std::string& input, int count);

// A window node "win" whose inputs come from `scripts` (frameFor by default); every
// frame an input returned is kept, so it is the same object when fetched again.
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
