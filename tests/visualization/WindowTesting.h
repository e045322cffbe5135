// Window tests: a private Xvfb display for the whole test program, the pictures of
// the windows read back pixel by pixel, scripted frames and user actions.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <complex>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flow/Types.h"
#include "plugin/Source.h"

namespace vistest {

// Colours as they come back from a 24-bit display (8 bits per component).
struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};
std::ostream& operator<<(std::ostream& out, const Rgb& c);

constexpr Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0}, kBlue{0, 0, 255}, kRed{255, 0, 0}, kPink{255, 204, 204};

// A copy of a drawable's pixels.
class Picture {
public:
    explicit Picture(GdkDrawable* drawable);
    // A PNG file; an empty picture (0 x 0) when it cannot be read.
    static Picture fromFile(const std::string& path);
    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const;
    // Pixels of colour c in the rectangle [x0, x1) x [y0, y1).
    int count(Rgb c, int x0, int y0, int x1, int y1) const;
    // Rows (or columns) of the column x (row y) in [from, to) that have colour c.
    std::vector<int> rowsOf(Rgb c, int x, int from, int to) const;
    std::vector<int> columnsOf(Rgb c, int y, int from, int to) const;
    bool operator==(const Picture& o) const {
        return width_ == o.width_ && height_ == o.height_ && rgb_ == o.rgb_;
    }

private:
    Picture() = default;
    void copyPixels(GdkPixbuf* pb);
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> rgb_;
};

// True when the picture shows exactly `text` in the font "fixed" with its baseline
// starting at (x, baseline), on a white background around it.
::testing::AssertionResult showsText(const Picture& p, int x, int baseline, const std::string& text);

// Saves a drawable as a PNG (to look at a failing picture).
void savePng(GdkDrawable* drawable, const std::string& path);

// Runs pending toolkit events (configure, expose, delete) now.
void pumpEvents();
// Closes a window as a user would: a delete event through the event loop.
void closeLikeUser(GtkWidget* window);
// Top-level windows that exist now.
int toplevelCount();

// Frames.
FD::ObjectRef signalFrame(float left, float right, int samples = 160);
FD::ObjectRef signalFrame(const std::vector<float>& left, const std::vector<float>& right);
FD::ObjectRef spectrumFrame(int columns, const std::function<std::complex<float>(int ch, int k)>& bin);
FD::ObjectRef sourceList(const std::vector<float>& azimuthsDegrees, const std::vector<int>& ids = {});
FD::ObjectRef emptyList();

}  // namespace vistest
