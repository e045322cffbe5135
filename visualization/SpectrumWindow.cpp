// The window of SpectrumVisualization: drawing state, handlers and plotting, built into the
// toolkit library (see WindowToolkit.h).
#include "visualization/SpectrumVisualization.h"

#include <algorithm>

#include "visualization/WindowFrame.h"

// ------------------------------------------------------------------ drawing state

void kwSpectrumGtk::visualization_draw_plot_area() {
    if (!vis::clearPlotArea(*this)) return;
    const int x0 = plotX, y0 = plotY, w = plotWidth;
    GdkGC* black = drawingArea->style->black_gc;
    gdk_draw_rectangle(pixmap, black, FALSE, x0, y0, w, 256);
    gdk_draw_rectangle(pixmap, black, FALSE, x0, y0 + 276, w, 256);
    vis::drawText(pixmap, font, black, x0 + 10, y0 + 20, "Left signal input");
    vis::drawLabels(pixmap, font, black, vis::frequencyLabels(x0, y0 + 256, samplingRate));
    vis::drawText(pixmap, font, black, x0 + 10, y0 + 296, "Right signal input");
    vis::drawLabels(pixmap, font, black, vis::frequencyLabels(x0, y0 + 532, samplingRate));
    vis::drawLabels(pixmap, font, black,
                    vis::timeLabels(x0, w, y0 + 552, windowStart, windowFrames, secondsPerFrame));
}

// ------------------------------------------------------------------ painting

namespace vis {

namespace {
// Level of the row starting at bin k. A group that would run past the last bin
// (P of 3 or more with B - 2 a multiple of P) takes the bins there are, instead of
// reading past the frame: a missing bin adds nothing, as a silent one would.
uint64_t rowLevel(const std::complex<float>* row, int columns, int k, int binsPerRow) {
    return spectrumLevel(row + k, binsPerRow, std::min(binsPerRow, columns - k));
}
}  // namespace

void paintSpectrumFrame(GdkDrawable* target, GdkGC* gc, const FD::Matrix<std::complex<float>>& frame, int x0,
                        int x1, std::vector<guchar>& scratch) {
    const int columns = frame.ncols();
    if (columns <= 1 || x1 <= x0) return;
    int width = 0, height = 0;
    gdk_drawable_get_size(target, &width, &height);
    const int xa = std::max(x0, 0), xb = std::min(x1, width);
    if (xa >= xb) return;
    const int band = xb - xa;
    const int p = spectrumBinsPerRow(columns);
    const int rows = spectrumRowCount(columns, p);
    const int channels = std::min(frame.nrows(), 2);
    for (int ch = 0; ch < channels; ++ch) {
        // Rows r = 0 .. rows - 1 (bins r * P onwards) from the box's bottom edge upward.
        const int bottom = spectrumRowY(ch, 0, p);
        const int ya = std::max(bottom - (rows - 1), 0), yb = std::min(bottom, height - 1);
        if (ya > yb) continue;
        scratch.resize(size_t(band) * 3 * size_t(yb - ya + 1));
        guchar* out = scratch.data();
        for (int y = ya; y <= yb; ++y) {
            Colour16 c = spectrumColour(rowLevel(frame.row(ch), columns, (bottom - y) * p, p));
            const guchar r = guchar(c.red >> 8), g = guchar(c.green >> 8), b = guchar(c.blue >> 8);
            for (int x = 0; x < band; ++x) {
                *out++ = r;
                *out++ = g;
                *out++ = b;
            }
        }
        gdk_draw_rgb_image(target, gc, xa, ya, band, yb - ya + 1, GDK_RGB_DITHER_NONE, scratch.data(),
                           band * 3);
    }
}

void paintSpectrumFramePerPoint(GdkDrawable* target, const FD::Matrix<std::complex<float>>& frame, int x0,
                                int x1) {
    const int columns = frame.ncols();
    if (columns <= 1) return;
    const int p = spectrumBinsPerRow(columns);
    const int channels = std::min(frame.nrows(), 2);
    GdkColormap* colormap = gdk_colormap_get_system();
    for (int x = x0; x < x1; ++x) {
        for (int ch = 0; ch < channels; ++ch) {
            for (int k = 0; k < columns - 1; k += p) {
                Colour16 c = spectrumColour(rowLevel(frame.row(ch), columns, k, p));
                GdkColor colour{0, guint16(c.red), guint16(c.green), guint16(c.blue)};
                GdkGC* pen = gdk_gc_new(target);
                gdk_colormap_alloc_color(colormap, &colour, FALSE, TRUE);
                gdk_gc_set_rgb_fg_color(pen, &colour);
                gdk_draw_point(target, pen, x, spectrumRowY(ch, k, p));
                gdk_colormap_free_colors(colormap, &colour, 1);
                g_object_unref(pen);
            }
        }
    }
}

}  // namespace vis

// ------------------------------------------------------------------ handlers

gboolean spectrum_visualization_delete_event(GtkWidget*, GdkEventConfigure*, void* data) {
    return vis::closeWindow(static_cast<kwSpectrumGtk*>(data));
}

gboolean spectrum_visualization_configure_event(GtkWidget* widget, GdkEventConfigure*, void* data) {
    return vis::configurePicture(static_cast<kwSpectrumGtk*>(data), widget);
}

gboolean spectrum_visualization_expose_event(GtkWidget* widget, GdkEventExpose* event, void* data) {
    return vis::exposePicture(static_cast<kwSpectrumGtk*>(data), widget, event);
}

// ------------------------------------------------------------------ plotting

void SpectrumVisualization::visualization_plot(int count) {
    kwSpectrumGtk& s = gtkState;
    if (s.windowStart > count || !s.pixmap) return;
    GdkGC* gc = s.drawingArea->style->black_gc;
    for (int f = s.windowStart; f <= count; ++f) {
        FD::RCPtr<FD::Matrix<std::complex<float>>> frame = vis::expectFrame<FD::Matrix<std::complex<float>>>(
            getInput(inputAudioSpectrumID, f), errors, "INPUT_AUDIO_SPECTRUM", f, "Matrix<complex<float>>");
        const int x0 = vis::frameColumn(f, s.windowStart, s.plotX, s.plotWidth, s.windowFrames);
        const int x1 = vis::frameColumnEnd(f, s.windowStart, s.plotX, s.plotWidth, s.windowFrames);
        vis::paintSpectrumFrame(s.pixmap, gc, *frame, x0, x1, scratch);
    }
}
