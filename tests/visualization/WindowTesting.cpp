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
    int w = 0, h = 0;
    gdk_drawable_get_size(drawable, &w, &h);
    GdkColormap* colormap = gdk_drawable_get_colormap(drawable);
    if (GdkPixbuf* pb = gdk_pixbuf_get_from_drawable(
            nullptr, drawable, colormap ? colormap : gdk_colormap_get_system(), 0, 0, 0, 0, w, h))
        copy(pb);
}

Picture::Picture(const std::string& pngPath) {
    if (GdkPixbuf* pb = gdk_pixbuf_new_from_file(pngPath.c_str(), nullptr)) copy(pb);
}

void Picture::copy(GdkPixbuf* pb) {
    width = gdk_pixbuf_get_width(pb);
    height = gdk_pixbuf_get_height(pb);
    int stride = gdk_pixbuf_get_rowstride(pb), channels = gdk_pixbuf_get_n_channels(pb);
    const guchar* pixels = gdk_pixbuf_get_pixels(pb);
    rgb.resize(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(size_t(y) * width + x) * 3 + c] = pixels[y * stride + x * channels + c];
    g_object_unref(pb);
}

Rgb Picture::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return Rgb{-1, -1, -1};
    const uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
    return Rgb{p[0], p[1], p[2]};
}

int Picture::count(Rgb c, int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += at(x, y) == c;
    return n;
}

std::pair<int, int> Picture::rowSpan(Rgb c, int x, int from, int to) const {
    std::pair<int, int> span{-1, -1};
    for (int y = from; y < to; ++y)
        if (at(x, y) == c) span = {span.first < 0 ? y : span.first, y};
    return span;
}

::testing::AssertionResult showsText(const Picture& p, int x, int baseline, const std::string& text) {
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
    for (int dy = 0; dy < height; ++dy)
        for (int dx = 0; dx < width; ++dx) {
            Rgb want = expected.at(dx, dy), got = p.at(x - 2 + dx, baseline - ascent + dy);
            ink += want == kBlack;
            differ += !(got == want) && !(got.r < 0 && want == kWhite);  // margin past the edge is fine
        }
    if (ink == 0 || differ)
        return ::testing::AssertionFailure()
               << differ << " pixels differ from \"" << text << "\" at (" << x << ", " << baseline << ")";
    return ::testing::AssertionSuccess();
}

void pumpEvents() {
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

FD::ObjectRef signalFrame(float left, float right) {
    auto* m = new FD::Matrix<float>(2, 160);
    for (int i = 0; i < 160; ++i) (*m)(0, i) = left, (*m)(1, i) = right;
    return FD::ObjectRef(m);
}

FD::ObjectRef spectrumFrame(int columns, const std::function<std::complex<float>(int ch, int k)>& bin) {
    auto* m = new FD::Matrix<std::complex<float>>(2, columns);
    for (int ch = 0; ch < 2; ++ch)
        for (int k = 0; k < columns; ++k) (*m)(ch, k) = bin(ch, k);
    return FD::ObjectRef(m);
}

FD::ObjectRef sourceList(const std::vector<float>& azimuths) {
    auto* list = new FD::Vector<FD::ObjectRef>();
    for (size_t i = 0; i < azimuths.size(); ++i) {
        auto* s = new FD::Source();
        s->x[0] = float(std::cos(azimuths[i] * M_PI / 180.0));
        s->x[1] = float(std::sin(azimuths[i] * M_PI / 180.0));
        s->power = 1.0f;
        s->id = int(i);
        list->push_back(FD::ObjectRef(s));
    }
    return FD::ObjectRef(list);
}

FD::testing::Params windowParams(float seconds, const std::string& title) {
    return FD::testing::Params()
        .f("VISUALIZATION_TIME_LENGTH", seconds)
        .s("WINDOW_NAME", title)
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
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

static FD::ObjectRef frameFor(const std::string& input, int count) {
    if (input == "INPUT_AUDIO_SPECTRUM")
        return spectrumFrame(
            257, [count](int ch, int k) { return std::complex<float>(1000 * ((k + count + ch) % 200)); });
    if (input == "INPUT_TRACKED_DOA")
        return sourceList(std::vector<float>(count % 3 != 0, float(count % 360 - 180)));
    if (input == "INPUT_VAD_DECISION") return sourceList(std::vector<float>((count / 25) % 2, 0.0f));
    return signalFrame(float((count % 64) * 300), float(-(count % 32) * 500));
}

Rig::Rig(const Kind& k, Scripts scripts, const FD::ParameterSet& p)
    : kind(k), node(k.make("win", p)), harness(node) {
    for (const std::string& in : k.inputs) {
        FD::testing::ScriptedSource::Script script =
            scripts.count(in) ? scripts[in] : [in](int count) { return frameFor(in, count); };
        sources[in] = &harness.feed(in, [this, in, script](int count) {
            FD::ObjectRef& slot = frames[in][count];
            if (!slot) slot = script(count);
            return slot;
        });
    }
    harness.initialize();
}

}  // namespace vistest
