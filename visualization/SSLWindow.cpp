// The window of SSLvisualization: drawing state, handlers and plotting, built into the
// toolkit library (see WindowToolkit.h).
#include "visualization/SSLvisualization.h"

#include <map>
#include <vector>

#include "visualization/WindowFrame.h"

// ------------------------------------------------------------------ drawing state

void kwSSLGtk::makePens() {
    tracePen = vis::makePen(pixmap, 0, 0, 65535);
    vis::setSolidLine(tracePen, 1, GDK_CAP_ROUND, GDK_JOIN_ROUND);
    trackPen = vis::makePen(pixmap, 0, 0, 0);
    vis::setSolidLine(trackPen, 3, GDK_CAP_ROUND, GDK_JOIN_ROUND);
    cursorPen = vis::makePen(pixmap, 65535, 0, 0);
}

void kwSSLGtk::releasePens() {
    vis::releasePen(tracePen);
    vis::releasePen(trackPen);
    vis::releasePen(cursorPen);
}

void kwSSLGtk::visualization_draw_plot_area() {
    if (!vis::clearPlotArea(*this)) return;
    const float d = vis::directionBoxHeight(plotHeight), g = vis::signalBoxHeight(plotHeight);
    const int x0 = plotX, y0 = plotY, w = plotWidth;
    const float leftTop = float(y0) + d + 30.0f;  // top of the left signal box
    const float rightTop = leftTop + g + 20.0f;   // top of the right signal box
    GdkGC* black = drawingArea->style->black_gc;
    gdk_draw_rectangle(pixmap, black, FALSE, x0, y0, w, int(d));
    gdk_draw_rectangle(pixmap, black, FALSE, x0, int(leftTop), w, int(g));
    gdk_draw_rectangle(pixmap, black, FALSE, x0, int(rightTop), w, int(g));
    vis::drawText(pixmap, font, black, x0 + 10, y0 + 20, "Localized / Tracked Directions Of Multisources");
    vis::drawLabels(pixmap, font, black, vis::directionLabels(x0, y0, d));
    vis::drawText(pixmap, font, black, x0 + 10, int(leftTop + 20.0f), "Left signal input");
    vis::drawLabels(pixmap, font, black, vis::valueLabels(x0, leftTop, g));
    vis::drawText(pixmap, font, black, x0 + 10, int(rightTop + 20.0f), "Right signal input");
    vis::drawLabels(pixmap, font, black, vis::valueLabels(x0, rightTop, g));
    vis::drawLabels(
        pixmap, font, black,
        vis::timeLabels(x0, w, int(rightTop + g + 20.0f), windowStart, windowFrames, secondsPerFrame));
}

// ------------------------------------------------------------------ handlers

gboolean ssl_visualization_delete_event(GtkWidget*, GdkEventConfigure*, void* data) {
    return vis::closeWindow(static_cast<kwSSLGtk*>(data));
}

gboolean ssl_visualization_configure_event(GtkWidget* widget, GdkEventConfigure*, void* data) {
    return vis::configurePicture(static_cast<kwSSLGtk*>(data), widget);
}

gboolean ssl_visualization_expose_event(GtkWidget* widget, GdkEventExpose* event, void* data) {
    return vis::exposePicture(static_cast<kwSSLGtk*>(data), widget, event);
}

// ------------------------------------------------------------------ plotting

void SSLvisualization::visualization_plot(int count) {
    kwSSLGtk& s = gtkState;
    if (s.windowStart > count || !s.pixmap) return;
    const float d = vis::directionBoxHeight(s.plotHeight), g = vis::signalBoxHeight(s.plotHeight);
    const float centre0 = float(s.plotY) + d + 30.0f + 0.5f * g;
    const float centre1 = centre0 + 20.0f + g;
    std::map<int, std::vector<GdkPoint>> tracks;  // points per source id
    vis::EnvelopeTrace trace;
    for (int f = s.windowStart; f <= count; ++f) {
        const int x = vis::frameColumn(f, s.windowStart, s.plotX, s.plotWidth, s.windowFrames);
        FD::RCPtr<FD::Vector<FD::ObjectRef>> list = vis::expectFrame<FD::Vector<FD::ObjectRef>>(
            getInput(inputTrackedDoaID, f), errors, "INPUT_TRACKED_DOA", f, "Vector<ObjectRef>");
        for (size_t i = 0; i < list->size(); ++i) {
            const FD::Source& source = vis::expectSource(*list, i, errors, "INPUT_TRACKED_DOA", f);
            const int a = vis::azimuthDegrees(source.x[0], source.x[1]);
            tracks[source.id].push_back(GdkPoint{x, vis::azimuthRowY(s.plotY, d, a)});
        }
        FD::RCPtr<FD::Matrix<float>> frame = vis::expectFrame<FD::Matrix<float>>(
            getInput(inputAudioSignalID, f), errors, "INPUT_AUDIO_SIGNAL", f, "Matrix<float>");
        trace.addFrame(*frame, x, centre0, centre1);
    }
    const int length = int(float(s.plotWidth) / float(s.windowFrames));  // one frame's width
    for (const auto& track : tracks)
        for (const GdkPoint& pt : track.second)
            gdk_draw_line(s.pixmap, s.trackPen, pt.x, pt.y, pt.x + length, pt.y);
    trace.draw(s.pixmap, s.tracePen);
}

void SSLvisualization::drawCursor(int count) {
    kwSSLGtk& s = gtkState;
    if (!s.pixmap) return;
    const int x = vis::frameColumn(count, s.windowStart, s.plotX, s.plotWidth, s.windowFrames);
    const int bottom = int(float(0.61 * s.plotHeight) + float(s.plotY));
    gdk_draw_line(s.pixmap, s.cursorPen, x, s.plotY, x, bottom);
}
