// The window frame shared by the four live windows: opening the display, the GDK
// lock, pens, text, the signal envelope trace, and the window, its handlers and the
// refresh cycle as templates over a drawing-state ("companion") class.
//
// A companion S has the fields window, drawingArea, pixmap, plotX, plotY,
// plotWidth, plotHeight, windowStart, windowFrames, secondsPerFrame and font; the
// constants kWindowWidth, kWindowHeight, kPlotLeft and kPlotWidthLess; and the
// members makePens(), releasePens() and visualization_draw_plot_area().
//
// All drawing goes to the off-screen pixmap; the screen gets it only through the
// expose handler, so a window never shows a half-drawn picture.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "flow/GuiToolkit.h"
#include "flow/Types.h"
#include "visualization/PlotGeometry.h"

namespace vis {

// Opens the display once per process; false (after one warning naming `who`)
// when there is none, and the node then only passes its data through.
inline bool displayReady(const std::string& who) { return FD::gui::openDisplay(who); }

// The GDK lock for a scope (effective once the application has set up thread
// support; it must then be recursive, as the runner's is).
class GdkLock {
public:
    GdkLock() { gdk_threads_enter(); }
    ~GdkLock() { gdk_threads_leave(); }
    GdkLock(const GdkLock&) = delete;
    GdkLock& operator=(const GdkLock&) = delete;
};

// A pen on `drawable` whose foreground is the 16-bit colour, allocated in the
// system colormap (not writeable, best match); the colour is freed with the pen.
GdkGC* makePen(GdkDrawable* drawable, guint16 red, guint16 green, guint16 blue);
// Solid lines of `width` with the given cap and join.
void setSolidLine(GdkGC* pen, int width, GdkCapStyle cap, GdkJoinStyle join);
void releasePen(GdkGC*& pen);

// The X core font "fixed", loaded at the first call (null if the server has none).
GdkFont* fixedFont(GdkFont*& cache);
void releaseFont(GdkFont*& font);

void drawText(GdkDrawable* drawable, GdkFont* font, GdkGC* pen, int x, int y, const char* text);
void drawLabels(GdkDrawable* drawable, GdkFont* font, GdkGC* pen, const std::vector<Label>& labels);

// The two polylines of the signal envelope over the frames of one refresh: per
// frame and channel the rows of the smallest and of the largest sample.
class EnvelopeTrace {
public:
    // Rows 0 and 1 of `frame` (those it has) at column x around the centre lines.
    void addFrame(const FD::Matrix<float>& frame, int x, float centre0, float centre1);
    // The left channel's polyline, then the right one's.
    void draw(GdkDrawable* drawable, GdkGC* pen) const;

private:
    std::vector<GdkPoint> points_[2];
};

// Fills the drawing area's allocation with the style's white pen and loads the
// font; false while there is nothing to draw on.
template <class S>
bool clearPlotArea(S& s) {
    if (!s.pixmap || !s.drawingArea) return false;
    const GtkAllocation& a = s.drawingArea->allocation;
    gdk_draw_rectangle(s.pixmap, s.drawingArea->style->white_gc, TRUE, a.x, a.y, a.width, a.height);
    fixedFont(s.font);
    return true;
}

// ------------------------------------------------------------------ handlers

template <class S>
gboolean closeWindow(S* s) {
    if (s->window) {
        gtk_widget_hide(s->window);
        s->window = nullptr;
    }
    return TRUE;
}

template <class S>
gboolean configurePicture(S* s, GtkWidget* widget) {
    const GtkAllocation& a = widget->allocation;
    s->releasePens();
    if (s->pixmap) g_object_unref(s->pixmap);
    s->pixmap = gdk_pixmap_new(widget->window, a.width, a.height, -1);
    s->makePens();
    gdk_draw_rectangle(s->pixmap, widget->style->white_gc, TRUE, 0, 0, a.width, a.height);
    s->plotX = a.x + S::kPlotLeft;
    s->plotY = a.y + 10;
    s->plotWidth = a.width - S::kPlotWidthLess;
    s->plotHeight = a.height - 40;
    g_object_set_data(G_OBJECT(gtk_widget_get_toplevel(widget)), FD::gui::pictureKey, s->pixmap);
    s->visualization_draw_plot_area();
    return TRUE;
}

template <class S>
gboolean exposePicture(S* s, GtkWidget* widget, GdkEventExpose* event) {
    if (s->pixmap) {
        gdk_draw_drawable(widget->window, widget->style->fg_gc[GTK_WIDGET_STATE(widget)], s->pixmap,
                          event->area.x, event->area.y, event->area.x, event->area.y, event->area.width,
                          event->area.height);
    }
    return TRUE;
}

// ------------------------------------------------------------------ window

// Brings the whole pixmap to the screen now, through the expose handler.
inline void showPicture(GtkWidget* drawingArea) {
    GdkRectangle area = drawingArea->allocation;
    gtk_widget_draw(drawingArea, &area);
}

// Creates and shows the window once; a node whose window was closed does not get
// it back. Call with the GDK lock held.
template <class S>
void openWindow(S& s, const std::string& title, GtkSignalFunc onDelete, GtkSignalFunc onConfigure,
                GtkSignalFunc onExpose) {
    if (!s.drawingArea) {
        s.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(s.window), title.c_str());
        gtk_widget_set_usize(s.window, S::kWindowWidth, S::kWindowHeight);
        s.drawingArea = gtk_drawing_area_new();
        gtk_widget_show(s.drawingArea);
        gtk_container_add(GTK_CONTAINER(s.window), s.drawingArea);
        gtk_signal_connect_full(GTK_OBJECT(s.window), "delete_event", onDelete, nullptr, &s, nullptr, FALSE,
                                FALSE);
        gtk_signal_connect_full(GTK_OBJECT(s.drawingArea), "configure_event", onConfigure, nullptr, &s,
                                nullptr, FALSE, FALSE);
        gtk_signal_connect_full(GTK_OBJECT(s.drawingArea), "expose_event", onExpose, nullptr, &s, nullptr,
                                FALSE, FALSE);
        gtk_widget_show(s.window);
    }
    if (!s.window) return;  // closed by the user: nothing more is drawn
    s.visualization_draw_plot_area();
    showPicture(s.drawingArea);
}

// Releases the window, its pixmap, pens and font; the handlers are disconnected
// first, so none runs once the drawing state is gone.
template <class S>
void releaseWindow(S& s) {
    if (!s.drawingArea) return;
    GdkLock lock;
    GtkWidget* top = gtk_widget_get_toplevel(s.drawingArea);
    g_signal_handlers_disconnect_matched(s.drawingArea, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, &s);
    g_signal_handlers_disconnect_matched(top, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, &s);
    g_object_set_data(G_OBJECT(top), FD::gui::pictureKey, nullptr);
    gtk_widget_destroy(top);
    s.window = nullptr;
    s.drawingArea = nullptr;
    s.releasePens();
    if (s.pixmap) g_object_unref(s.pixmap);
    s.pixmap = nullptr;
    releaseFont(s.font);
}

// The refresh of frame `count` (a multiple of kRefreshInterval): while the window
// is shown, scroll, redraw the static part, let `drawData` draw the frames of the
// time window, and bring the picture to the screen; then, shown or not, one
// non-blocking event-loop iteration. All of it under the GDK lock, which a failure
// inside `drawData` gives back on its way out.
template <class S, class Draw>
void refreshWindow(S& s, int count, Draw&& drawData) {
    GdkLock lock;
    if (s.window) {
        s.windowStart = scrolledWindowStart(count, s.windowStart, s.windowFrames);
        s.visualization_draw_plot_area();
        if (s.pixmap && s.windowStart <= count) drawData();
        showPicture(s.drawingArea);
    }
    gtk_main_iteration_do(FALSE);
    gdk_flush();
}

}  // namespace vis
