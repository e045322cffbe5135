// SSLvisualization: a live window with the horizontal directions of the localized
// or tracked sources over time, above the envelopes of the two-channel signal,
// with a red cursor at the current frame; signal and source lists pass through.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "visualization/NodeSupport.h"
#include "visualization/WindowToolkit.h"

// Drawing state of the direction window: a 600 x 680 window with a direction box
// (0.61 of the plot height, +180 degrees at the top) and two signal boxes.
class kwSSLGtk {
public:
    static constexpr int kWindowWidth = 600, kWindowHeight = 680;
    static constexpr int kPlotLeft = 30, kPlotWidthLess = 55;  // plot rectangle within the allocation

    kwSSLGtk() = default;
    kwSSLGtk(const kwSSLGtk&) = delete;
    kwSSLGtk& operator=(const kwSSLGtk&) = delete;
    ~kwSSLGtk();  // releases the window, its pixmap, pens and font

    // Clears the picture and draws boxes, title, captions, direction, value and time labels.
    void visualization_draw_plot_area();
    void makePens();
    void releasePens();

    GtkWidget* window = nullptr;       // top-level window; null before initialize and once closed
    GtkWidget* drawingArea = nullptr;  // the window's only child; kept after closing for the release
    GdkPixmap* pixmap = nullptr;       // off-screen picture, the drawing area's size
    int plotX = 0, plotY = 0, plotWidth = 0, plotHeight = 0;  // plot rectangle, pixels
    GdkGC* tracePen = nullptr;                                // blue, 1 pixel, round cap and join: envelopes
    GdkGC* trackPen = nullptr;       // black, 3 pixels, round cap and join: directions
    GdkGC* cursorPen = nullptr;      // red, GDK's default line: current frame
    int windowStart = 0;             // frame at the left edge of the plot
    int windowFrames = 1000;         // frames across the plot width
    float secondsPerFrame = 0.025f;  // seconds per frame
    GdkFont* font = nullptr;         // "fixed", loaded at the first drawing
};

gboolean ssl_visualization_delete_event(GtkWidget* widget, GdkEventConfigure* event, void* data);
gboolean ssl_visualization_configure_event(GtkWidget* widget, GdkEventConfigure* event, void* data);
gboolean ssl_visualization_expose_event(GtkWidget* widget, GdkEventExpose* event, void* data);

class SSLvisualization : public FD::BufferedNode {
public:
    SSLvisualization(std::string nodeName, FD::ParameterSet params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();
    ~SSLvisualization() override;

    void initialize() override;
    void calculate(int output_id, int count, FD::Buffer& out) override;
    // Directions of the frames windowStart .. count, one short segment per source
    // and frame, then the envelopes (GDK lock held).
    void visualization_plot(int count);

    const kwSSLGtk& drawingState() const { return gtkState; }

private:
    friend struct vis::GtkWindows;  // opens, refreshes and releases the window

    void drawCursor(int count);

    int inputAudioSignalID;
    int inputTrackedDoaID;
    int outputAudioSignalID;
    int outputTrackedDoaID;
    std::string windowName;         // window title
    float visualizationTimeLength;  // seconds across the plot
    int advance;                    // frame shift, samples
    int samplingRate;               // Hz
    kwSSLGtk gtkState;
    std::string who;            // node type and name, for messages
    const FD::NodeErrors errors;  // the node's errors, about its parameters and ports
    const vis::WindowToolkit* toolkit = nullptr;  // set once a display is open
};
