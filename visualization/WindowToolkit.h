// How the four window nodes reach their toolkit. Windows and drawing live in a
// library of their own, libzelkbp_gtk.so beside the plug-in, loaded when the first
// window opens; a network without windows never loads GTK+ or X11.
#pragma once

#include <string>

class WaveVisualization;
class SpectrumVisualization;
class SSLvisualization;
class VADvisualization;
class kwWaveGtk;
class kwSpectrumGtk;
class kwSSLGtk;
class kwVADGtk;

namespace vis {

struct GtkWindows;  // the toolkit library's side, a friend of each window node

// What the toolkit library does for one kind of window node.
template <class Node, class State>
struct WindowOps {
    void (*open)(Node& node);                // creates and shows the window (initialize)
    void (*refresh)(Node& node, int count);  // the refresh of frame `count`
    void (*release)(State& state);           // releases window, pixmap, pens and font
};

// The table the toolkit library hands out (see windowToolkit()).
struct WindowToolkit {
    int version;  // kWindowToolkitVersion of the library that filled it
    // Opens the display once per process; false, after one warning naming `who`,
    // when there is none.
    bool (*openDisplay)(const std::string& who);
    WindowOps<WaveVisualization, kwWaveGtk> wave;
    WindowOps<SpectrumVisualization, kwSpectrumGtk> spectrum;
    WindowOps<SSLvisualization, kwSSLGtk> ssl;
    WindowOps<VADvisualization, kwVADGtk> vad;
};

// Raised whenever WindowToolkit changes, so that a stale library is refused.
constexpr int kWindowToolkitVersion = 1;
constexpr const char* kToolkitLibrary = "libzelkbp_gtk.so";
// extern "C" const vis::WindowToolkit* zelkbp_window_toolkit(): the library's entry.
constexpr const char* kToolkitEntry = "zelkbp_window_toolkit";

// The toolkit with the display open, loaded at the first call. Null when the
// library cannot be loaded (one warning per process, naming `who`) or there is no
// display (one warning, see FD::gui::openDisplay): the node then only passes its
// data through.
const WindowToolkit* windowToolkit(const std::string& who);

// The toolkit if it has been loaded, else null: what a window was made with.
const WindowToolkit* loadedWindowToolkit();

}  // namespace vis
