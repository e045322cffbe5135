// Cost of the live windows on a private Xvfb display: every 20th frame a window
// redraws its whole time window; the other frames only pass their data through.
//
// Each window shows 3 s at a 10 ms hop (300 frames over 545 columns) of 16 kHz
// two-channel data: signal frames of 160 samples, spectra of 257 bins, two tracked
// sources per frame, speech on half the frames. Frames come from precomputed rings,
// so the time is the window's own. A refresh has to stay well under the 20 frames
// (200 ms) of stream between two refreshes. For the spectrogram, the point-by-point
// painting (a temporary pen and colour per point) is timed over a slice of the
// window and scaled up, to show why the pixels go through an image buffer.
#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "flow/Gui.h"
#include "tests/support/NodeHarness.h"
#include "tests/visualization/XvfbServer.h"
#include "visualization/SSLvisualization.h"
#include "visualization/SpectrumVisualization.h"
#include "visualization/VADvisualization.h"
#include "visualization/WaveVisualization.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 1500;  // 15 s of stream: 60 refreshes of a full window
constexpr int kRing = 400;
constexpr double kHopMs = 10.0;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

FD::testing::Params params(const std::string& title) {
    FD::testing::Params p;
    p.f("VISUALIZATION_TIME_LENGTH", 3.0f)
        .s("WINDOW_NAME", title)
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

struct Rings {
    std::vector<FD::ObjectRef> signal, spectrum, sources, speech;
};

Rings makeRings() {
    std::mt19937 rng(99);
    std::normal_distribution<float> g(0.0f, 1.0f);
    Rings r;
    for (int f = 0; f < kRing; ++f) {
        float loud = 2000.0f + 1500.0f * float(f % 50) / 50.0f;
        auto* s = new FD::Matrix<float>(2, 160);
        for (size_t i = 0; i < s->size(); ++i) s->data()[i] = loud * g(rng);
        r.signal.push_back(FD::ObjectRef(s));

        auto* x = new FD::Matrix<std::complex<float>>(2, 257);
        for (int ch = 0; ch < 2; ++ch)
            for (int k = 0; k < 256; ++k)
                (*x)(ch, k) = {40000.0f * std::abs(g(rng)) / (1.0f + 0.02f * float(k)), 0.0f};
        r.spectrum.push_back(FD::ObjectRef(x));

        auto* list = new FD::Vector<FD::ObjectRef>();
        for (int id = 0; id < 2; ++id) {
            auto* src = new FD::Source();
            float a = (id ? 40.0f : -30.0f) * 3.14159265f / 180.0f;
            src->x[0] = std::cos(a);
            src->x[1] = std::sin(a);
            src->id = id;
            list->push_back(FD::ObjectRef(src));
        }
        r.sources.push_back(FD::ObjectRef(list));

        auto* decision = new FD::Vector<FD::ObjectRef>();
        if ((f / 30) % 2) decision->push_back(FD::ObjectRef(new FD::Source()));
        r.speech.push_back(FD::ObjectRef(decision));
    }
    return r;
}

struct Result {
    int refreshes = 0;
    double refreshMean = 0, refreshMax = 0, otherMeanUs = 0, realTimeFactor = 0;
};

// Runs a window over kFrames frames and times each frame's pull.
Result run(FD::Node* node,
           const std::vector<std::pair<std::string, const std::vector<FD::ObjectRef>*>>& inputs,
           const std::string& output) {
    FD::testing::NodeHarness h(node);
    for (const auto& in : inputs) {
        const std::vector<FD::ObjectRef>* ring = in.second;
        h.feed(in.first, [ring](int count) { return (*ring)[size_t(count % kRing)]; });
    }
    h.initialize();
    Result r;
    double refreshTotal = 0, otherTotal = 0, all = 0;
    int others = 0;
    for (int c = 0; c < kFrames; ++c) {
        Clock::time_point t = Clock::now();
        h.pull(output, c);
        double ms = msSince(t);
        all += ms;
        if (c % 20 == 0 && c >= 300) {  // a full window
            ++r.refreshes;
            refreshTotal += ms;
            r.refreshMax = std::max(r.refreshMax, ms);
        } else if (c % 20 != 0) {
            ++others;
            otherTotal += ms;
        }
    }
    r.refreshMean = refreshTotal / r.refreshes;
    r.otherMeanUs = 1000.0 * otherTotal / others;
    r.realTimeFactor = all / (kFrames * kHopMs);
    return r;
}

void print(const char* name, const Result& r) {
    std::printf("%-22s %9d %9.2f %9.2f %12.2f %10.4f\n", name, r.refreshes, r.refreshMean, r.refreshMax,
                r.otherMeanUs, r.realTimeFactor);
}

}  // namespace

int main() {
    vistest::XvfbServer server;
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "bench_visualization: %s\n", error.c_str());
        return 1;
    }
    if (!FD::gui::start()) return 1;
    Rings rings = makeRings();

    std::printf(
        "Live windows on Xvfb %s: 3 s time window = 300 frames at a 10 ms hop, redrawn every 20 frames\n",
        server.display().c_str());
    std::printf("(a refresh must stay under 200 ms, the stream time between two refreshes)\n\n");
    std::printf("%-22s %9s %9s %9s %12s %10s\n", "window", "refreshes", "mean ms", "max ms", "other us/fr",
                "real-time");
    print("WaveVisualization", run(new WaveVisualization("wave", params("Waveform")),
                                   {{"INPUT_AUDIO_SIGNAL", &rings.signal}}, "OUTPUT_AUDIO_SIGNAL"));
    print("SpectrumVisualization", run(new SpectrumVisualization("spec", params("Spectrogram")),
                                       {{"INPUT_AUDIO_SPECTRUM", &rings.spectrum}}, "OUTPUT_AUDIO_SPECTRUM"));
    print("SSLvisualization",
          run(new SSLvisualization("ssl", params("Directions")),
              {{"INPUT_AUDIO_SIGNAL", &rings.signal}, {"INPUT_TRACKED_DOA", &rings.sources}},
              "OUTPUT_TRACKED_DOA"));
    print("VADvisualization",
          run(new VADvisualization("vad", params("Voice activity")),
              {{"INPUT_AUDIO_SIGNAL", &rings.signal}, {"INPUT_VAD_DECISION", &rings.speech}},
              "OUTPUT_VAD_DECISION"));

    // The spectrogram of a full window point by point: 30 of its 300 frames, scaled.
    GdkPixmap* pixmap = gdk_pixmap_new(gdk_get_default_root_window(), 620, 572, -1);
    GdkGC* gc = gdk_gc_new(pixmap);
    std::vector<guchar> scratch;
    auto paintWindowSlice = [&](bool perPoint) {
        Clock::time_point t = Clock::now();
        for (int f = 0; f < 30; ++f) {
            const auto& frame =
                static_cast<const FD::Matrix<std::complex<float>>&>(*rings.spectrum[size_t(f)]);
            int x0 = 50 + f * 545 / 300, x1 = 50 + (f + 1) * 545 / 300;
            if (perPoint)
                vis::paintSpectrumFramePerPoint(pixmap, frame, x0, x1);
            else
                vis::paintSpectrumFrame(pixmap, gc, frame, x0, x1, scratch);
        }
        gdk_flush();
        return 10.0 * msSince(t);
    };
    double buffered = paintWindowSlice(false), perPoint = paintWindowSlice(true);
    std::printf(
        "\nspectrogram of a full window, painting alone: image buffer %.1f ms, point by point %.0f ms\n",
        buffered, perPoint);
    g_object_unref(gc);
    g_object_unref(pixmap);
    return 0;
}
