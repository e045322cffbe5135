// SpectrumVisualization: a live scrolling spectrogram of a two-channel short-time
// spectrum (time left to right, frequency bottom to top, magnitude as a colour from
// black through red and yellow to white); the spectrum passes through unchanged.
#pragma once

#include <gtk/gtk.h>

#include <complex>
#include <string>
#include <vector>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "visualization/NodeSupport.h"
#include "visualization/WindowToolkit.h"

// Drawing state of the spectrum window: a 620 x 572 window with a 256-row box per
// channel and a kHz axis.
class kwSpectrumGtk {
public:
    static constexpr int kWindowWidth = 620, kWindowHeight = 572;
    static constexpr int kPlotLeft = 50, kPlotWidthLess = 75;  // plot rectangle within the allocation

    kwSpectrumGtk() = default;
    kwSpectrumGtk(const kwSpectrumGtk&) = delete;
    kwSpectrumGtk& operator=(const kwSpectrumGtk&) = delete;
    ~kwSpectrumGtk();  // releases the window, its pixmap and font

    // Clears the picture and draws boxes, captions, kHz and time labels.
    void visualization_draw_plot_area();
    void makePens() {}  // points are coloured one by one
    void releasePens() {}

    GtkWidget* window = nullptr;       // top-level window; null before initialize and once closed
    GtkWidget* drawingArea = nullptr;  // the window's only child; kept after closing for the release
    GdkPixmap* pixmap = nullptr;       // off-screen picture, the drawing area's size
    int plotX = 0, plotY = 0, plotWidth = 0, plotHeight = 0;  // plot rectangle, pixels
    int windowStart = 0;                                      // frame at the left edge of the plot
    int windowFrames = 1000;                                  // frames across the plot width
    float secondsPerFrame = 0.025f;                           // seconds per frame
    int samplingRate = 0;                                     // Hz, for the kHz axis
    GdkFont* font = nullptr;                                  // "fixed", loaded at the first drawing
};

namespace vis {

// Paints the picture of one spectrum frame into the columns [x0, x1) of `target`:
// for channel 0 and then 1, the level of every P bins as a colour on the row that
// climbs from the bottom edge of the channel's box. Pixels are set directly
// through an image buffer; `scratch` is reused between calls.
void paintSpectrumFrame(GdkDrawable* target, GdkGC* gc, const FD::Matrix<std::complex<float>>& frame, int x0,
                        int x1, std::vector<guchar>& scratch);

// The same pixels point by point, each with a temporary pen and an allocated
// colour: far too slow for a live window, kept to check the painting above.
void paintSpectrumFramePerPoint(GdkDrawable* target, const FD::Matrix<std::complex<float>>& frame, int x0,
                                int x1);

}  // namespace vis

gboolean spectrum_visualization_delete_event(GtkWidget* widget, GdkEventConfigure* event, void* data);
gboolean spectrum_visualization_configure_event(GtkWidget* widget, GdkEventConfigure* event, void* data);
gboolean spectrum_visualization_expose_event(GtkWidget* widget, GdkEventExpose* event, void* data);

class SpectrumVisualization : public FD::BufferedNode {
public:
    // Besides the checks of every window, SAMPLING_RATE must be at least 2000 Hz:
    // the kHz axis counts in whole kHz up to the Nyquist frequency.
    SpectrumVisualization(std::string nodeName, FD::ParameterSet params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();
    ~SpectrumVisualization() override;

    void initialize() override;
    void calculate(int output_id, int count, FD::Buffer& out) override;
    void visualization_plot(int count);

    const kwSpectrumGtk& drawingState() const { return gtkState; }

private:
    friend struct vis::GtkWindows;  // opens, refreshes and releases the window

    int inputAudioSpectrumID;
    int outputAudioSpectrumID;
    std::string windowName;         // window title
    float visualizationTimeLength;  // seconds across the plot
    int advance;                    // frame shift, samples
    int samplingRate;               // Hz
    kwSpectrumGtk gtkState;
    std::string who;              // node type and name, for messages
    const FD::NodeErrors errors;  // the node's errors, about its parameters and ports
    const vis::WindowToolkit* toolkit = nullptr;  // set once a display is open
    std::vector<guchar> scratch;  // image buffer of the painting
};
