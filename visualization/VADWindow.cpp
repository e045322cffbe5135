// The window of VADvisualization: drawing state, handlers and plotting, built into the
// toolkit library (see WindowToolkit.h).
#include "visualization/VADvisualization.h"

#include "visualization/WaveVisualization.h"
#include "visualization/WindowFrame.h"

// ------------------------------------------------------------------ drawing state

void kwVADGtk::makePens() {
    tracePen = vis::makePen(pixmap, 0, 0, 65535);
    vis::setSolidLine(tracePen, 1, GDK_CAP_ROUND, GDK_JOIN_ROUND);
    speechPen = vis::makePen(pixmap, 65535, 52428, 52428);
    vis::setSolidLine(speechPen, 2, GDK_CAP_BUTT, GDK_JOIN_ROUND);
}

void kwVADGtk::releasePens() {
    vis::releasePen(tracePen);
    vis::releasePen(speechPen);
}

void kwVADGtk::visualization_draw_plot_area() {
    if (!vis::clearPlotArea(*this)) return;
    drawSignalBoxes(drawingArea, pixmap, font, plotX, plotY, plotWidth, windowStart, windowFrames,
                    secondsPerFrame);
}

// ------------------------------------------------------------------ handlers

gboolean vad_visualization_delete_event(GtkWidget*, GdkEventConfigure*, void* data) {
    return vis::closeWindow(static_cast<kwVADGtk*>(data));
}

gboolean vad_visualization_configure_event(GtkWidget* widget, GdkEventConfigure*, void* data) {
    return vis::configurePicture(static_cast<kwVADGtk*>(data), widget);
}

gboolean vad_visualization_expose_event(GtkWidget* widget, GdkEventExpose* event, void* data) {
    return vis::exposePicture(static_cast<kwVADGtk*>(data), widget, event);
}

// ------------------------------------------------------------------ plotting

void VADvisualization::visualization_plot(int count) {
    kwVADGtk& s = gtkState;
    if (s.windowStart > count || !s.pixmap) return;
    const float centre0 = float(s.plotY) + 50.0f, centre1 = float(s.plotY) + 170.0f;
    vis::EnvelopeTrace trace;
    for (int f = s.windowStart; f <= count; ++f) {
        const int x0 = vis::frameColumn(f, s.windowStart, s.plotX, s.plotWidth, s.windowFrames);
        const int x1 = vis::frameColumnEnd(f, s.windowStart, s.plotX, s.plotWidth, s.windowFrames);
        FD::RCPtr<FD::Matrix<float>> frame = vis::expectFrame<FD::Matrix<float>>(
            getInput(inputAudioSignalID, f), errors, "INPUT_AUDIO_SIGNAL", f, "Matrix<float>");
        trace.addFrame(*frame, x0, centre0, centre1);
        FD::RCPtr<FD::Vector<FD::ObjectRef>> decision = vis::expectFrame<FD::Vector<FD::ObjectRef>>(
            getInput(inputVadDecisionID, f), errors, "INPUT_VAD_DECISION", f, "Vector<ObjectRef>");
        if (decision->empty()) continue;
        // Each bar runs from just below the box's top edge down to its bottom edge,
        // rows top + 1 to top + 100: a butt-capped line stops short of the row its end
        // names, so the line is drawn to top + 101.
        for (int x = x0; x < x1; ++x) {
            for (int ch = 0; ch < 2; ++ch) {
                const int top = int(float(s.plotY) + 120.0f * float(ch));
                gdk_draw_line(s.pixmap, s.speechPen, x, top + 1, x, top + 101);
            }
        }
    }
    trace.draw(s.pixmap, s.tracePen);
}
