// The window support module (libflowgui.so) for the runner, with GTK+ 2: thread
// support for the GDK lock, one check for a display, and after the last frame the
// saving of window pictures and the event loop that keeps the windows open. Loaded
// by FD::gui::start / finish (GuiLoader.cpp) through its two C entry points.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "flow/GuiToolkit.h"

namespace FD {
namespace gui {

namespace {

// The GDK lock. GTK's loop functions expect it held by their caller and give it up
// while they wait; the window nodes hold it around each redraw. It is recursive so
// that code already holding it (a window released while the runner's loop runs, a
// redraw reached from a handler) takes it again instead of deadlocking.
GRecMutex gdkLock;
void enterGdkLock() { g_rec_mutex_lock(&gdkLock); }
void leaveGdkLock() { g_rec_mutex_unlock(&gdkLock); }

bool started = false;
bool displayOpen = false;

struct Picture {
    GtkWindow* window;
    GdkDrawable* image;  // the window's off-screen image, or its on-screen window
};

// The shown top-level windows, in creation order, with what to save of each.
std::vector<Picture> shownWindows() {
    std::vector<Picture> found;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (!gtk_widget_get_visible(w) || !gtk_widget_get_realized(w)) continue;
        auto* image = static_cast<GdkDrawable*>(g_object_get_data(G_OBJECT(w), pictureKey));
        found.push_back(Picture{GTK_WINDOW(w), image ? image : GDK_DRAWABLE(w->window)});
    }
    g_list_free(all);
    // gtk_window_list_toplevels gives the newest first.
    return std::vector<Picture>(found.rbegin(), found.rend());
}

// A file name from a window title: characters that are unsafe in names become '_'.
std::string fileStem(const char* title) {
    std::string stem;
    for (const char* p = title ? title : ""; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool safe = c >= 0x80 || std::isalnum(c) || c == ' ' || c == '-' || c == '_' || c == '.' ||
                    c == '(' || c == ')' || c == '+' || c == ',';
        stem += safe ? char(c) : '_';
    }
    if (stem.empty() || stem[0] == '.') stem = "window" + stem;
    return stem;
}

bool makeDirectories(const std::string& dir) {
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty()) continue;
        if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int savePictures(const std::string& dir) {
    if (!makeDirectories(dir)) {
        std::cerr << "flowrun: cannot create the snapshot directory " << dir << ": " << std::strerror(errno)
                  << std::endl;
        return 0;
    }
    int saved = 0;
    std::set<std::string> used;
    for (const Picture& p : shownWindows()) {
        std::string stem = fileStem(gtk_window_get_title(p.window));
        std::string name = stem;
        for (int n = 2; used.count(name); ++n) name = stem + "-" + std::to_string(n);
        used.insert(name);
        std::string path = dir + "/" + name + ".png";

        int width = 0, height = 0;
        gdk_drawable_get_size(p.image, &width, &height);
        GdkPixbuf* pixbuf = gdk_pixbuf_get_from_drawable(nullptr, p.image, gdk_drawable_get_colormap(p.image),
                                                         0, 0, 0, 0, width, height);
        GError* error = nullptr;
        if (!pixbuf || !gdk_pixbuf_save(pixbuf, path.c_str(), "png", &error, nullptr)) {
            std::cerr << "flowrun: cannot save the picture of window \"" << gtk_window_get_title(p.window)
                      << "\" to " << path << ": " << (error ? error->message : "cannot read the window")
                      << std::endl;
            if (error) g_error_free(error);
        } else {
            ++saved;
        }
        if (pixbuf) g_object_unref(pixbuf);
    }
    return saved;
}

gboolean stopHolding(gpointer flag) {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_CONTINUE;
}

bool start() {
    if (started) return displayOpen;
    started = true;
    gdk_threads_set_lock_functions(enterGdkLock, leaveGdkLock);
    gdk_threads_init();
    displayOpen = openDisplay("flowrun");
    return displayOpen;
}

int finish(bool hold, const std::string& snapshotDir) {
    if (!displayOpen && !openDisplay("flowrun")) return 0;
    displayOpen = true;
    gdk_threads_enter();
    // Let pending redraws reach the windows before they are saved or held (bounded:
    // a source that is always ready must not keep the run from ending).
    for (int i = 0; i < 1000 && gtk_events_pending(); ++i) gtk_main_iteration_do(FALSE);
    int saved = snapshotDir.empty() ? 0 : savePictures(snapshotDir);
    if (hold && !shownWindows().empty()) {
        size_t open = shownWindows().size();
        std::cerr << "flowrun: the stream has ended; close the " << open
                  << (open == 1 ? " window" : " windows") << " (or interrupt) to finish" << std::endl;
        // An interrupt ends the wait too: the loop would not see a plain handler's flag.
        bool interrupted = false;
        guint onInt = g_unix_signal_add(SIGINT, stopHolding, &interrupted);
        guint onTerm = g_unix_signal_add(SIGTERM, stopHolding, &interrupted);
        while (!interrupted && !shownWindows().empty()) gtk_main_iteration_do(TRUE);
        g_source_remove(onInt);
        g_source_remove(onTerm);
    }
    gdk_flush();
    gdk_threads_leave();
    return saved;
}

}  // namespace
}  // namespace gui
}  // namespace FD

extern "C" __attribute__((visibility("default"))) bool flow_gui_start() { return FD::gui::start(); }

extern "C" __attribute__((visibility("default"))) int flow_gui_finish(bool hold, const char* snapshotDir) {
    return FD::gui::finish(hold, snapshotDir);
}
