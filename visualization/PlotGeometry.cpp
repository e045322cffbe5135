#include "visualization/PlotGeometry.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <sstream>

#include "flow/NodeSupport.h"

namespace vis {

// ------------------------------------------------------------------ time base

TimeBase timeBase(const FD::NodeErrors& errors, float seconds, int advance, int samplingRate) {
    TimeBase t;
    t.secondsPerFrame = FD::secondsPerFrame(advance, samplingRate);
    const float frames = seconds / t.secondsPerFrame;
    const std::optional<int> windowFrames = FD::nearestFrames(frames, kMinWindowFrames, kMaxWindowFrames);
    if (!windowFrames) {
        const double rounded = double(frames) + 0.5;
        std::ostringstream m;
        m << "VISUALIZATION_TIME_LENGTH of " << seconds << " s is "
          << (std::isfinite(rounded) ? std::floor(rounded) : 0.0) << " frames at ADVANCE " << advance
          << " and SAMPLING_RATE " << samplingRate << "; the time window needs " << kMinWindowFrames << " to "
          << kMaxWindowFrames << " frames (" << float(kMinWindowFrames) * t.secondsPerFrame << " s or more)";
        errors.refuse("VISUALIZATION_TIME_LENGTH", m.str());
    }
    t.windowFrames = *windowFrames;
    return t;
}

int scrolledWindowStart(int count, int windowStart, int windowFrames) {
    if (count > windowStart + windowFrames) return windowStart + windowFrames / 2;
    return windowStart;
}

int frameColumn(int f, int windowStart, int plotX, int plotWidth, int windowFrames) {
    // 64-bit product: a wide plot times a long window stays exact.
    return plotX + int((int64_t(f - windowStart) * plotWidth) / windowFrames);
}

int frameColumnEnd(int f, int windowStart, int plotX, int plotWidth, int windowFrames) {
    return plotX + int((int64_t(f - windowStart) * plotWidth + plotWidth) / windowFrames);
}

// ------------------------------------------------------------------ signal envelope

namespace {
// X coordinates are 16-bit; rows far outside the window are held near its edges.
constexpr int kRowLimit = 16000;

int truncateSample(float s) {
    if (!(s == s)) return 0;
    if (s >= 2147483520.0f) return std::numeric_limits<int>::max();
    if (s <= -2147483648.0f) return std::numeric_limits<int>::min();
    return int(s);
}
}  // namespace

int envelopeY(float centre, float sample) {
    int shifted = truncateSample(sample) >> 9;  // arithmetic: rounds toward minus infinity
    float y = centre + float(shifted);
    if (!(y > -kRowLimit)) return -kRowLimit;
    if (y > kRowLimit) return kRowLimit;
    return int(y);
}

bool envelopeRows(const float* samples, int n, float centre, int& yOfSmallest, int& yOfLargest) {
    if (n <= 0) return false;
    float lo = samples[0], hi = samples[0];
    for (int i = 1; i < n; ++i) {
        if (samples[i] < lo) lo = samples[i];
        if (samples[i] > hi) hi = samples[i];
    }
    yOfSmallest = envelopeY(centre, lo);
    yOfLargest = envelopeY(centre, hi);
    return true;
}

// ------------------------------------------------------------------ spectrogram

Colour16 spectrumColour(uint64_t m) {
    auto part = [m](uint64_t offset) -> unsigned {
        if (m <= offset) return 0;
        uint64_t v = m - offset;
        return v > 65535 ? 65535u : unsigned(v);
    };
    return Colour16{part(0), part(65535), part(131070)};
}

int spectrumBinsPerRow(int columns) {
    int p = int(double(float(columns - 1) * 0.00390625f) + 0.5);
    return p < 1 ? 1 : p;
}

int spectrumRowCount(int columns, int binsPerRow) {
    if (columns <= 1) return 0;
    return (columns - 2) / binsPerRow + 1;
}

uint64_t spectrumLevel(const std::complex<float>* bins, int binsPerRow, int available) {
    // Far past white (196605); also keeps the conversion below defined.
    constexpr float kLevelCap = 1.0e12f;
    const float p = float(binsPerRow);
    uint64_t m = 0;
    for (int j = 0; j < binsPerRow && j < available; ++j) {
        float re = bins[j].real(), im = bins[j].imag();
        float magnitude = std::sqrt(re * re + im * im);
        float sum = float(m) + magnitude / p;
        if (!(sum < kLevelCap)) return uint64_t(kLevelCap);
        m = uint64_t(sum);
    }
    return m;
}

// ------------------------------------------------------------------ directions

float directionBoxHeight(int plotHeight) { return float(0.61 * plotHeight); }
float signalBoxHeight(int plotHeight) { return float(0.16 * plotHeight); }

int azimuthDegrees(float x0, float x1) {
    float phi = atan2f(x1, x0);
    return int(double(phi) * 57.29577951308232);
}

int azimuthRowY(int plotY, float d, int degrees) {
    return int(float(plotY) + d * float(180 - degrees) / 360.0f);
}

// ------------------------------------------------------------------ labels

namespace {
std::string format(const char* pattern, double v) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, v);
    return text;
}
}  // namespace

std::vector<Label> timeLabels(int plotX, int plotWidth, int y, int windowStart, int windowFrames,
                              float secondsPerFrame) {
    std::vector<Label> labels;
    int step = windowFrames / 4;
    if (step < 1) step = 1;  // never met: windows are at least kMinWindowFrames long
    for (int k = 0; k <= windowFrames; k += step) {
        float t = float(windowStart + k) * secondsPerFrame;
        int x = plotX + int((int64_t(plotWidth) * k) / windowFrames) - 5;
        labels.push_back(Label{x, y, format("%0.2fs", t)});
    }
    return labels;
}

std::vector<Label> frequencyLabels(int plotX, int boxBottom, int samplingRate) {
    std::vector<Label> labels;
    const float nyquist = float(samplingRate / 2000);
    const float step = 0.25f * nyquist;
    if (!(step > 0.0f)) return labels;  // below 2 kHz the quarter steps would be 0
    int k = 0;
    for (float v = 0.0f; v <= nyquist; v += step, ++k) {
        int y = int(double(boxBottom) - double(256 * k) * 0.25 + 5.0);
        labels.push_back(Label{plotX - 43, y, format("%2.1fkHz", v)});
    }
    return labels;
}

std::vector<Label> directionLabels(int plotX, int plotY, float d) {
    std::vector<Label> labels;
    for (int a = -180; a <= 180; a += 30) {
        char text[16];
        std::snprintf(text, sizeof text, "% 4d", a);
        int y = int(float(plotY) + float(180 - a) * d / 360.0f + 5.0f);
        labels.push_back(Label{plotX - 28, y, text});
    }
    return labels;
}

std::vector<Label> valueLabels(int plotX, float boxTop, float boxHeight) {
    std::vector<Label> labels;
    for (int v = -1; v <= 1; ++v) {
        char text[16];
        std::snprintf(text, sizeof text, "%2d", v);
        int y = int(boxTop + float(1 - v) * boxHeight * 0.5f + 5.0f);
        labels.push_back(Label{plotX - 20, y, text});
    }
    return labels;
}

}  // namespace vis
