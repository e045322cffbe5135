// The window of WaveVisualization: drawing state, handlers and plotting, built into the
// toolkit library (see WindowToolkit.h).
#include "visualization/WaveVisualization.h"

#include "visualization/WindowFrame.h"

// ------------------------------------------------------------------ drawing state

void kwWaveGtk::makePens() {
    tracePen = vis::makePen(pixmap, 0, 0, 65535);
    vis::setSolidLine(tracePen, 1, GDK_CAP_ROUND, GDK_JOIN_ROUND);
}

void kwWaveGtk::releasePens() { vis::releasePen(tracePen); }

void drawSignalBoxes(GtkWidget* drawingArea, GdkPixmap* pixmap, GdkFont* font, int x0, int y0, int w,
                     int windowStart, int windowFrames, float secondsPerFrame) {
    GdkGC* black = drawingArea->style->black_gc;
    gdk_draw_rectangle(pixmap, black, FALSE, x0, y0, w, 100);
    gdk_draw_rectangle(pixmap, black, FALSE, x0, y0 + 120, w, 100);
    vis::drawText(pixmap, font, black, x0 + 10, y0 + 20, "Left signal input");
    vis::drawLabels(pixmap, font, black, vis::valueLabels(x0, float(y0), 100.0f));
    vis::drawText(pixmap, font, black, x0 + 10, y0 + 140, "Right signal input");
    vis::drawLabels(pixmap, font, black, vis::valueLabels(x0, float(y0 + 120), 100.0f));
    vis::drawLabels(pixmap, font, black,
                    vis::timeLabels(x0, w, y0 + 240, windowStart, windowFrames, secondsPerFrame));
}

void kwWaveGtk::visualization_draw_plot_area() {
    if (!vis::clearPlotArea(*this)) return;
    drawSignalBoxes(drawingArea, pixmap, font, plotX, plotY, plotWidth, windowStart, windowFrames,
                    secondsPerFrame);
}

// ------------------------------------------------------------------ handlers

gboolean wave_visualization_delete_event(GtkWidget*, GdkEventConfigure*, void* data) {
    return vis::closeWindow(static_cast<kwWaveGtk*>(data));
}

gboolean wave_visualization_configure_event(GtkWidget* widget, GdkEventConfigure*, void* data) {
    return vis::configurePicture(static_cast<kwWaveGtk*>(data), widget);
}

gboolean wave_visualization_expose_event(GtkWidget* widget, GdkEventExpose* event, void* data) {
    return vis::exposePicture(static_cast<kwWaveGtk*>(data), widget, event);
}

// ------------------------------------------------------------------ plotting

void WaveVisualization::visualization_plot(int count) {
    kwWaveGtk& s = gtkState;
    if (s.windowStart > count || !s.pixmap) return;
    vis::EnvelopeTrace trace;
    const float centre0 = float(s.plotY) + 50.0f, centre1 = float(s.plotY) + 170.0f;
    for (int f = s.windowStart; f <= count; ++f) {
        FD::RCPtr<FD::Matrix<float>> frame = vis::expectFrame<FD::Matrix<float>>(
            getInput(inputAudioSignalID, f), errors, "INPUT_AUDIO_SIGNAL", f, "Matrix<float>");
        trace.addFrame(*frame, vis::frameColumn(f, s.windowStart, s.plotX, s.plotWidth, s.windowFrames),
                       centre0, centre1);
    }
    trace.draw(s.pixmap, s.tracePen);
}
