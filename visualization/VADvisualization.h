// VADvisualization: a live waveform window that marks every frame a voice-activity
// decision calls speech with pink bars behind the envelopes; signal and decision
// pass through unchanged.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "visualization/NodeSupport.h"
#include "visualization/WindowToolkit.h"

// Drawing state of the voice-activity window: the waveform window's layout.
class kwVADGtk {
public:
    static constexpr int kWindowWidth = 600, kWindowHeight = 260;
    static constexpr int kPlotLeft = 30, kPlotWidthLess = 55;  // plot rectangle within the allocation

    kwVADGtk() = default;
    kwVADGtk(const kwVADGtk&) = delete;
    kwVADGtk& operator=(const kwVADGtk&) = delete;
    ~kwVADGtk();  // releases the window, its pixmap, pens and font

    // Clears the picture and draws boxes, captions, value and time labels.
    void visualization_draw_plot_area();
    void makePens();
    void releasePens();

    GtkWidget* window = nullptr;       // top-level window; null before initialize and once closed
    GtkWidget* drawingArea = nullptr;  // the window's only child; kept after closing for the release
    GdkPixmap* pixmap = nullptr;       // off-screen picture, the drawing area's size
    int plotX = 0, plotY = 0, plotWidth = 0, plotHeight = 0;  // plot rectangle, pixels
    GdkGC* tracePen = nullptr;                                // blue, 1 pixel, round cap and join: envelopes
    GdkGC* speechPen = nullptr;      // pink, 2 pixels, butt cap, round join: speech bars
    int windowStart = 0;             // frame at the left edge of the plot
    int windowFrames = 1000;         // frames across the plot width
    float secondsPerFrame = 0.025f;  // seconds per frame
    GdkFont* font = nullptr;         // "fixed", loaded at the first drawing
};

gboolean vad_visualization_delete_event(GtkWidget* widget, GdkEventConfigure* event, void* data);
gboolean vad_visualization_configure_event(GtkWidget* widget, GdkEventConfigure* event, void* data);
gboolean vad_visualization_expose_event(GtkWidget* widget, GdkEventExpose* event, void* data);

class VADvisualization : public FD::BufferedNode {
public:
    VADvisualization(std::string nodeName, FD::ParameterSet params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();
    ~VADvisualization() override;

    void initialize() override;
    void calculate(int output_id, int count, FD::Buffer& out) override;
    // Speech bars of the frames windowStart .. count, then the envelopes on top
    // (GDK lock held).
    void visualization_plot(int count);

    const kwVADGtk& drawingState() const { return gtkState; }

private:
    friend struct vis::GtkWindows;  // opens, refreshes and releases the window

    int inputAudioSignalID;
    int inputVadDecisionID;
    int outputAudioSignalID;
    int outputVadDecisionID;
    std::string windowName;         // window title
    float visualizationTimeLength;  // seconds across the plot
    int advance;                    // frame shift, samples
    int samplingRate;               // Hz
    kwVADGtk gtkState;
    std::string who;            // node type and name, for messages
    const FD::NodeErrors errors;  // the node's errors, about its parameters and ports
    const vis::WindowToolkit* toolkit = nullptr;  // set once a display is open
};
