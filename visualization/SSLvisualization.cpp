#include "visualization/SSLvisualization.h"

#include <map>
#include <vector>

#include "plugin/Descriptions.h"
#include "visualization/WindowFrame.h"

// ------------------------------------------------------------------ drawing state

kwSSLGtk::~kwSSLGtk() { vis::releaseWindow(*this); }

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

// ------------------------------------------------------------------ node

FD::NodeInfo SSLvisualization::description() {
    return vis::windowNodeDescription(
        "SSLvisualization",
        "window plotting tracked directions over the signal envelope; passes its inputs on",
        {{"INPUT_AUDIO_SIGNAL", zelkbp::kSignalFrames}, {"INPUT_TRACKED_DOA", zelkbp::kSourceLists}},
        {{"OUTPUT_AUDIO_SIGNAL", "the input signal"}, {"OUTPUT_TRACKED_DOA", "the input directions"}});
}

SSLvisualization::SSLvisualization(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params),
      who(FD::nodeLabel("SSLvisualization", nodeName)),
      errors("SSLvisualization", nodeName) {
    inputAudioSignalID = addInput("INPUT_AUDIO_SIGNAL");
    inputTrackedDoaID = addInput("INPUT_TRACKED_DOA");
    outputAudioSignalID = addOutput("OUTPUT_AUDIO_SIGNAL");
    outputTrackedDoaID = addOutput("OUTPUT_TRACKED_DOA");
    vis::WindowParameters p = vis::readWindowParameters(FD::NodeParameters(errors, parameters));
    visualizationTimeLength = p.visualizationTimeLength;
    windowName = p.windowName;
    advance = p.advance;
    samplingRate = p.samplingRate;
    gtkState.secondsPerFrame = p.time.secondsPerFrame;
    gtkState.windowFrames = p.time.windowFrames;
    gtkState.windowStart = 0;
    keepsBack(inputAudioSignalID, gtkState.windowFrames);
    keepsBack(inputTrackedDoaID, gtkState.windowFrames);
    inOrder = true;
}

SSLvisualization::~SSLvisualization() = default;

void SSLvisualization::initialize() {
    FD::BufferedNode::initialize();
    toolkitReady = vis::displayReady(who);
    if (!toolkitReady) return;
    vis::GdkLock lock;
    vis::openWindow(gtkState, windowName, GTK_SIGNAL_FUNC(ssl_visualization_delete_event),
                    GTK_SIGNAL_FUNC(ssl_visualization_configure_event),
                    GTK_SIGNAL_FUNC(ssl_visualization_expose_event));
}

void SSLvisualization::calculate(int, int count, FD::Buffer&) {
    FD::ObjectRef signal = getInput(inputAudioSignalID, count);
    vis::expectFrame<FD::Matrix<float>>(signal, errors, "INPUT_AUDIO_SIGNAL", count, "Matrix<float>");
    FD::ObjectRef sources = getInput(inputTrackedDoaID, count);
    FD::RCPtr<FD::Vector<FD::ObjectRef>> list = vis::expectFrame<FD::Vector<FD::ObjectRef>>(
        sources, errors, "INPUT_TRACKED_DOA", count, "Vector<ObjectRef>");
    for (size_t i = 0; i < list->size(); ++i) vis::expectSource(*list, i, errors, "INPUT_TRACKED_DOA", count);
    if (toolkitReady && count % vis::kRefreshInterval == 0) {
        vis::refreshWindow(gtkState, count, [&] {
            visualization_plot(count);
            drawCursor(count);
        });
    }
    (*outputs[outputAudioSignalID].buffer)[count] = signal;
    (*outputs[outputTrackedDoaID].buffer)[count] = sources;
}

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
