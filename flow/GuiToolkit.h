// What the runner's window support and the nodes that open windows agree on, for
// builds with the GTK+ 2 toolkit. Header-only: the runner and a node module each
// carry their own copy, and the copies meet through process-wide GLib state.
#pragma once

#include <gtk/gtk.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace FD {
namespace gui {

// A window that wants its picture saved by the runner at the end of a run attaches
// its off-screen image (a GdkPixmap*) to its top-level GtkWindow under this key.
constexpr const char* pictureKey = "flow-gui-picture";

// Set (as a GLib quark) once some copy has found that there is no display and has
// said so, so that the warning is given once per process.
constexpr const char* noDisplayMark = "flow-gui-no-display";

// Opens the default display for GTK once. Without a display (DISPLAY unset or the
// server unreachable) it warns once per process, naming `who`, and returns false;
// the caller then makes no toolkit call at all. GTK is kept from switching the
// process to the user's locale, so numbers printed anywhere keep their C form.
inline bool openDisplay(const std::string& who) {
    static int state = -1;  // this copy: -1 not tried, 0 no display, 1 open
    if (state >= 0) return state == 1;
    if (g_quark_try_string(noDisplayMark)) {
        state = 0;
        return false;
    }
    if (!gdk_display_get_default()) {
        gtk_disable_setlocale();
        if (!gtk_init_check(nullptr, nullptr)) {
            g_quark_from_static_string(noDisplayMark);
            const char* display = std::getenv("DISPLAY");
            std::cerr << who << ": warning: "
                      << (display && *display ? "cannot open display \"" + std::string(display) + "\""
                                              : std::string("no display (DISPLAY is not set)"))
                      << "; live windows are off and the visualization nodes only pass their data through"
                      << std::endl;
            state = 0;
            return false;
        }
    }
    state = 1;
    return true;
}

}  // namespace gui
}  // namespace FD
