#include "tests/visualization/WindowTesting.h"

#include <cmath>
#include <ostream>

#include "visualization/SSLvisualization.h"
#include "visualization/SpectrumVisualization.h"
#include "visualization/VADvisualization.h"
#include "visualization/WaveVisualization.h"

namespace vistest {

std::ostream& operator<<(std::ostream& out, const Rgb& c) {
    return out << "rgb(" << c.r << ", " << c.g << ", " << c.b << ")";
}

Picture::Picture(GdkDrawable* drawable) {
    int width = 0, height = 0;
    gdk_drawable_get_size(drawable, &width, &height);
    GdkColormap* colormap = gdk_drawable_get_colormap(drawable);
    if (!colormap) colormap = gdk_colormap_get_system();
    GdkPixbuf* pb = gdk_pixbuf_get_from_drawable(nullptr, drawable, colormap, 0, 0, 0, 0, width, height);
    if (!pb) return;
    copyPixels(pb);
    g_object_unref(pb);
}

Picture Picture::fromFile(const std::string& path) {
    Picture p;
    if (GdkPixbuf* pb = gdk_pixbuf_new_from_file(path.c_str(), nullptr)) {
        p.copyPixels(pb);
        g_object_unref(pb);
    }
    return p;
}

void Picture::copyPixels(GdkPixbuf* pb) {
    width_ = gdk_pixbuf_get_width(pb);
    height_ = gdk_pixbuf_get_height(pb);
    int stride = gdk_pixbuf_get_rowstride(pb), channels = gdk_pixbuf_get_n_channels(pb);
    const guchar* pixels = gdk_pixbuf_get_pixels(pb);
    rgb_.resize(size_t(width_) * height_ * 3);
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x)
            for (int c = 0; c < 3; ++c)
                rgb_[(size_t(y) * width_ + x) * 3 + c] = pixels[y * stride + x * channels + c];
}

Rgb Picture::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return Rgb{-1, -1, -1};
    const uint8_t* p = &rgb_[(size_t(y) * width_ + x) * 3];
    return Rgb{p[0], p[1], p[2]};
}

int Picture::count(Rgb c, int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += at(x, y) == c;
    return n;
}

std::vector<int> Picture::rowsOf(Rgb c, int x, int from, int to) const {
    std::vector<int> rows;
    for (int y = from; y < to; ++y)
        if (at(x, y) == c) rows.push_back(y);
    return rows;
}

::testing::AssertionResult showsText(const Picture& p, int x, int baseline, const std::string& text) {
    // The same text drawn alone on white, 2 pixels of margin all round.
    GdkFont* font = gdk_font_load("fixed");
    if (!font) return ::testing::AssertionFailure() << "no font \"fixed\"";
    const int width = gdk_string_width(font, text.c_str()) + 4;
    const int ascent = font->ascent + 2, height = font->ascent + font->descent + 4;
    GdkPixmap* scratch = gdk_pixmap_new(gdk_get_default_root_window(), width, height, -1);
    GdkGC* gc = gdk_gc_new(scratch);
    GdkColor white{0, 65535, 65535, 65535}, black{0, 0, 0, 0};
    gdk_gc_set_rgb_fg_color(gc, &white);
    gdk_draw_rectangle(scratch, gc, TRUE, 0, 0, width, height);
    gdk_gc_set_rgb_fg_color(gc, &black);
    gdk_draw_string(scratch, font, gc, 2, ascent, text.c_str());
    Picture expected(scratch);
    g_object_unref(gc);
    g_object_unref(scratch);
    gdk_font_unref(font);

    int differ = 0, ink = 0;
    for (int dy = 0; dy < height; ++dy) {
        for (int dx = 0; dx < width; ++dx) {
            Rgb want = expected.at(dx, dy), got = p.at(x - 2 + dx, baseline - ascent + dy);
            ink += want == kBlack;
            if (got.r < 0 && want == kWhite) continue;  // margin past the picture's edge
            differ += got != want;
        }
    }
    if (ink == 0 || differ)
        return ::testing::AssertionFailure()
               << differ << " pixels differ from \"" << text << "\" at (" << x << ", " << baseline << ")";
    return ::testing::AssertionSuccess();
}

void pumpEvents() {
    // GTK's loop gives the GDK lock up while it waits: call it with the lock held.
    gdk_threads_enter();
    gdk_flush();
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
    gdk_threads_leave();
}

void closeLikeUser(GtkWidget* window) {
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(window->window));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

int toplevelCount() {
    GList* all = gtk_window_list_toplevels();
    int n = int(g_list_length(all));
    g_list_free(all);
    return n;
}

FD::ObjectRef signalFrame(float left, float right, int samples) {
    return signalFrame(std::vector<float>(size_t(samples), left), std::vector<float>(size_t(samples), right));
}

FD::ObjectRef signalFrame(const std::vector<float>& left, const std::vector<float>& right) {
    auto* m = new FD::Matrix<float>(2, int(left.size()));
    for (size_t i = 0; i < left.size(); ++i) {
        (*m)(0, int(i)) = left[i];
        (*m)(1, int(i)) = right[i];
    }
    return FD::ObjectRef(m);
}

FD::ObjectRef spectrumFrame(int columns, const std::function<std::complex<float>(int ch, int k)>& bin) {
    auto* m = new FD::Matrix<std::complex<float>>(2, columns);
    for (int ch = 0; ch < 2; ++ch)
        for (int k = 0; k < columns; ++k) (*m)(ch, k) = bin(ch, k);
    return FD::ObjectRef(m);
}

FD::ObjectRef sourceList(const std::vector<float>& azimuths, const std::vector<int>& ids) {
    auto* list = new FD::Vector<FD::ObjectRef>();
    for (size_t i = 0; i < azimuths.size(); ++i) {
        auto* s = new FD::Source();
        double a = azimuths[i] * M_PI / 180.0;
        s->x[0] = float(std::cos(a));
        s->x[1] = float(std::sin(a));
        s->power = 1.0f;
        s->id = i < ids.size() ? ids[i] : int(i);
        list->push_back(FD::ObjectRef(s));
    }
    return FD::ObjectRef(list);
}

FD::ObjectRef emptyList() { return FD::ObjectRef(new FD::Vector<FD::ObjectRef>()); }

FD::testing::Params windowParams(float seconds, const std::string& title) {
    FD::testing::Params p;
    p.f("VISUALIZATION_TIME_LENGTH", seconds)
        .s("WINDOW_NAME", title)
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

template <class N>
Kind kindOf(const char* type, std::vector<std::string> inputs, std::vector<std::string> outputs) {
    return Kind{
        type, std::move(inputs), std::move(outputs),
        [](const std::string& name, const FD::ParameterSet& p) -> FD::Node* { return new N(name, p); },
        [](FD::Node* node) {
            const auto& s = static_cast<N*>(node)->drawingState();
            return View{s.window, s.drawingArea, s.pixmap, s.windowStart, s.windowFrames};
        }};
}

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> all = {
        kindOf<WaveVisualization>("WaveVisualization", {"INPUT_AUDIO_SIGNAL"}, {"OUTPUT_AUDIO_SIGNAL"}),
        kindOf<SpectrumVisualization>("SpectrumVisualization", {"INPUT_AUDIO_SPECTRUM"},
                                      {"OUTPUT_AUDIO_SPECTRUM"}),
        kindOf<SSLvisualization>("SSLvisualization", {"INPUT_AUDIO_SIGNAL", "INPUT_TRACKED_DOA"},
                                 {"OUTPUT_AUDIO_SIGNAL", "OUTPUT_TRACKED_DOA"}),
        kindOf<VADvisualization>("VADvisualization", {"INPUT_AUDIO_SIGNAL", "INPUT_VAD_DECISION"},
                                 {"OUTPUT_AUDIO_SIGNAL", "OUTPUT_VAD_DECISION"}),
    };
    return all;
}

const Kind& kind(const std::string& type) {
    for (const Kind& k : kinds())
        if (k.type == type) return k;
    throw std::invalid_argument(type);
}

FD::ObjectRef frameFor(const std::string& input, int count) {
    if (input == "INPUT_AUDIO_SPECTRUM")
        return spectrumFrame(257, [count](int ch, int k) {
            return std::complex<float>(float(1000 * ((k + count + ch) % 200)), 0.0f);
        });
    if (input == "INPUT_TRACKED_DOA") return count % 3 ? sourceList({float(count % 360 - 180)}) : emptyList();
    if (input == "INPUT_VAD_DECISION") return (count / 25) % 2 ? sourceList({0.0f}) : emptyList();
    return signalFrame(float((count % 64) * 300), float(-(count % 32) * 500));
}

Rig::Rig(const Kind& k, Scripts scripts, const FD::ParameterSet& p)
    : kind(k), node(k.make("win", p)), harness(node) {
    for (const std::string& in : k.inputs) {
        FD::testing::ScriptedSource::Script script = [in](int count) { return frameFor(in, count); };
        if (scripts.count(in)) script = scripts[in];
        sources[in] = &harness.feed(in, [this, in, script](int count) {
            FD::ObjectRef& slot = frames[in][count];
            if (!slot) slot = script(count);
            return slot;
        });
    }
    harness.initialize();
}

}  // namespace vistest
