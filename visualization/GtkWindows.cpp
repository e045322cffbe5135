// The toolkit library's entry: the table of window operations that the four window
// nodes call once the library is loaded (see WindowToolkit.h).
#include "visualization/SSLvisualization.h"
#include "visualization/SpectrumVisualization.h"
#include "visualization/VADvisualization.h"
#include "visualization/WaveVisualization.h"
#include "visualization/WindowFrame.h"
#include "visualization/WindowToolkit.h"

namespace vis {

struct GtkWindows {
    // Creates and shows the window under the GDK lock (step 2 of every window).
    template <class N>
    static void open(N& node, GtkSignalFunc onDelete, GtkSignalFunc onConfigure, GtkSignalFunc onExpose) {
        GdkLock lock;
        openWindow(node.gtkState, node.windowName, onDelete, onConfigure, onExpose);
    }

    template <class N>
    static void refresh(N& node, int count) {
        refreshWindow(node.gtkState, count, [&] { node.visualization_plot(count); });
    }

    template <class S>
    static void release(S& state) {
        releaseWindow(state);
    }

    static void openWave(WaveVisualization& n) {
        open(n, GTK_SIGNAL_FUNC(wave_visualization_delete_event),
             GTK_SIGNAL_FUNC(wave_visualization_configure_event),
             GTK_SIGNAL_FUNC(wave_visualization_expose_event));
    }
    static void openSpectrum(SpectrumVisualization& n) {
        open(n, GTK_SIGNAL_FUNC(spectrum_visualization_delete_event),
             GTK_SIGNAL_FUNC(spectrum_visualization_configure_event),
             GTK_SIGNAL_FUNC(spectrum_visualization_expose_event));
    }
    static void openSSL(SSLvisualization& n) {
        open(n, GTK_SIGNAL_FUNC(ssl_visualization_delete_event),
             GTK_SIGNAL_FUNC(ssl_visualization_configure_event),
             GTK_SIGNAL_FUNC(ssl_visualization_expose_event));
    }
    static void openVAD(VADvisualization& n) {
        open(n, GTK_SIGNAL_FUNC(vad_visualization_delete_event),
             GTK_SIGNAL_FUNC(vad_visualization_configure_event),
             GTK_SIGNAL_FUNC(vad_visualization_expose_event));
    }
    // The direction window draws its cursor after the data.
    static void refreshSSL(SSLvisualization& n, int count) {
        refreshWindow(n.gtkState, count, [&] {
            n.visualization_plot(count);
            n.drawCursor(count);
        });
    }

    static bool openDisplay(const std::string& who) { return displayReady(who); }
};

}  // namespace vis

extern "C" __attribute__((visibility("default"))) const vis::WindowToolkit* zelkbp_window_toolkit() {
    using W = vis::GtkWindows;
    static const vis::WindowToolkit toolkit{
        vis::kWindowToolkitVersion,
        &W::openDisplay,
        {&W::openWave, &W::refresh<WaveVisualization>, &W::release<kwWaveGtk>},
        {&W::openSpectrum, &W::refresh<SpectrumVisualization>, &W::release<kwSpectrumGtk>},
        {&W::openSSL, &W::refreshSSL, &W::release<kwSSLGtk>},
        {&W::openVAD, &W::refresh<VADvisualization>, &W::release<kwVADGtk>},
    };
    return &toolkit;
}
