#include "visualization/WindowFrame.h"

#include <algorithm>

namespace vis {

namespace {
const char* const kPenColourKey = "pen-colour";

void freePenColour(gpointer data) {
    auto* colour = static_cast<GdkColor*>(data);
    gdk_colormap_free_colors(gdk_colormap_get_system(), colour, 1);
    g_free(colour);
}
}  // namespace

GdkGC* makePen(GdkDrawable* drawable, guint16 red, guint16 green, guint16 blue) {
    GdkGC* pen = gdk_gc_new(drawable);
    GdkColor* colour = g_new0(GdkColor, 1);
    colour->red = red;
    colour->green = green;
    colour->blue = blue;
    gdk_colormap_alloc_color(gdk_colormap_get_system(), colour, FALSE, TRUE);
    gdk_gc_set_foreground(pen, colour);
    g_object_set_data_full(G_OBJECT(pen), kPenColourKey, colour, freePenColour);
    return pen;
}

void setSolidLine(GdkGC* pen, int width, GdkCapStyle cap, GdkJoinStyle join) {
    gdk_gc_set_line_attributes(pen, width, GDK_LINE_SOLID, cap, join);
}

void releasePen(GdkGC*& pen) {
    if (pen) g_object_unref(pen);
    pen = nullptr;
}

GdkFont* fixedFont(GdkFont*& cache) {
    if (!cache) cache = gdk_font_load("fixed");
    return cache;
}

void releaseFont(GdkFont*& font) {
    if (font) gdk_font_unref(font);
    font = nullptr;
}

void drawText(GdkDrawable* drawable, GdkFont* font, GdkGC* pen, int x, int y, const char* text) {
    if (font) gdk_draw_string(drawable, font, pen, x, y, text);
}

void drawLabels(GdkDrawable* drawable, GdkFont* font, GdkGC* pen, const std::vector<Label>& labels) {
    for (const Label& l : labels) drawText(drawable, font, pen, l.x, l.y, l.text.c_str());
}

void EnvelopeTrace::addFrame(const FD::Matrix<float>& frame, int x, float centre0, float centre1) {
    const float centres[2] = {centre0, centre1};
    const int channels = std::min(frame.nrows(), 2);
    for (int ch = 0; ch < channels; ++ch) {
        int yLow = 0, yHigh = 0;
        if (!envelopeRows(frame.row(ch), frame.ncols(), centres[ch], yLow, yHigh)) continue;
        points_[ch].push_back(GdkPoint{x, yLow});
        points_[ch].push_back(GdkPoint{x, yHigh});
    }
}

void EnvelopeTrace::draw(GdkDrawable* drawable, GdkGC* pen) const {
    for (const std::vector<GdkPoint>& line : points_) {
        if (!line.empty())
            gdk_draw_lines(drawable, pen, const_cast<GdkPoint*>(line.data()), int(line.size()));
    }
}

}  // namespace vis
