// WaveVisualization: a live window with the envelope of a two-channel signal over
// the last VISUALIZATION_TIME_LENGTH seconds; the signal passes through unchanged.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "visualization/NodeSupport.h"
#include "visualization/WindowToolkit.h"

// Drawing state of the waveform window: a 600 x 260 window with a box per channel.
class kwWaveGtk {
public:
    static constexpr int kWindowWidth = 600, kWindowHeight = 260;
    static constexpr int kPlotLeft = 30, kPlotWidthLess = 55;  // plot rectangle within the allocation

    kwWaveGtk() = default;
    kwWaveGtk(const kwWaveGtk&) = delete;
    kwWaveGtk& operator=(const kwWaveGtk&) = delete;
    ~kwWaveGtk();  // releases the window, its pixmap, pens and font

    // Clears the picture and draws boxes, captions, value and time labels.
    void visualization_draw_plot_area();
    void makePens();
    void releasePens();

    GtkWidget* window = nullptr;       // top-level window; null before initialize and once closed
    GtkWidget* drawingArea = nullptr;  // the window's only child; kept after closing for the release
    GdkPixmap* pixmap = nullptr;       // off-screen picture, the drawing area's size
    int plotX = 0, plotY = 0, plotWidth = 0, plotHeight = 0;  // plot rectangle, pixels
    GdkGC* tracePen = nullptr;                                // blue, 1 pixel, round cap and join: envelopes
    int windowStart = 0;                                      // frame at the left edge of the plot
    int windowFrames = 1000;                                  // frames across the plot width
    float secondsPerFrame = 0.025f;                           // seconds per frame
    GdkFont* font = nullptr;                                  // "fixed", loaded at the first drawing
};

// Draws the two channel boxes of the waveform and voice-activity windows: box
// outlines 100 pixels high at plotY and plotY + 120, captions, value labels and
// the time labels at plotY + 240.
void drawSignalBoxes(GtkWidget* drawingArea, GdkPixmap* pixmap, GdkFont* font, int plotX, int plotY,
                     int plotWidth, int windowStart, int windowFrames, float secondsPerFrame);

gboolean wave_visualization_delete_event(GtkWidget* widget, GdkEventConfigure* event, void* data);
gboolean wave_visualization_configure_event(GtkWidget* widget, GdkEventConfigure* event, void* data);
gboolean wave_visualization_expose_event(GtkWidget* widget, GdkEventExpose* event, void* data);

class WaveVisualization : public FD::BufferedNode {
public:
    WaveVisualization(std::string nodeName, FD::ParameterSet params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();
    ~WaveVisualization() override;

    // Opens the window titled WINDOW_NAME (with no display: warns once, passes through).
    void initialize() override;
    // Passes the frame through; every 20th frame redraws the window.
    void calculate(int output_id, int count, FD::Buffer& out) override;
    // Draws the frames windowStart .. count onto the picture (GDK lock held).
    void visualization_plot(int count);

    const kwWaveGtk& drawingState() const { return gtkState; }

private:
    friend struct vis::GtkWindows;  // opens, refreshes and releases the window

    int inputAudioSignalID;
    int outputAudioSignalID;
    std::string windowName;         // window title
    float visualizationTimeLength;  // seconds across the plot
    int advance;                    // frame shift, samples
    int samplingRate;               // Hz
    kwWaveGtk gtkState;
    std::string who;            // node type and name, for messages
    const FD::NodeErrors errors;  // the node's errors, about its parameters and ports
    const vis::WindowToolkit* toolkit = nullptr;  // set once a display is open
};
