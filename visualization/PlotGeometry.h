// Plot geometry of the live windows: where frames, samples, spectrum levels,
// directions and labels land, in drawing-area pixels. Plain arithmetic, no
// toolkit, so every rule can be checked without a display.
//
// Time runs left to right: frame f of a window that starts at frame `windowStart`
// and spans `windowFrames` frames over `plotWidth` pixels stands at column
//   x(f) = plotX + ((f - windowStart) * plotWidth) / windowFrames   (integer division),
// and owns the columns up to, not including, x(f + 1). Where a float enters a
// position it is computed in single precision and truncated toward zero.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace FD {
class NodeErrors;
}

namespace vis {

// The windows are redrawn on every 20th frame (frame 0 included).
constexpr int kRefreshInterval = 20;
// A refresh scrolls by half a window; with fewer than 40 frames that is less than
// the 20 frames the stream advances between refreshes, and the window falls behind.
constexpr int kMinWindowFrames = 40;
// Keeps column arithmetic and the frames kept for redrawing within bounds.
constexpr int kMaxWindowFrames = 1000000;

// ------------------------------------------------------------------ time base

struct TimeBase {
    float secondsPerFrame;  // ADVANCE / SAMPLING_RATE, single precision
    int windowFrames;       // frames across the plot width
};

// The time window of a node from its parameters (ADVANCE and SAMPLING_RATE
// positive). A time length that cannot make a usable window (not a positive
// number, fewer than kMinWindowFrames or more than kMaxWindowFrames frames) is
// the node's error about VISUALIZATION_TIME_LENGTH.
TimeBase timeBase(const FD::NodeErrors& errors, float seconds, int advance, int samplingRate);

// windowStart after the refresh of frame `count`: half a window further on once
// `count` has run past the right edge.
int scrolledWindowStart(int count, int windowStart, int windowFrames);

// Column of frame f, and the first column after its band (x(f + 1)).
int frameColumn(int f, int windowStart, int plotX, int plotWidth, int windowFrames);
int frameColumnEnd(int f, int windowStart, int plotX, int plotWidth, int windowFrames);

// ------------------------------------------------------------------ signal envelope

// Screen row of a sample around a centre line: trunc(centre + (trunc(sample) >> 9)).
// Larger samples lie lower. Samples beyond the int range (or NaN, taken as 0) are
// held at its ends, and the row within the X coordinate range.
int envelopeY(float centre, float sample);

// Rows of the smallest and the largest of `n` samples; false when n is 0.
bool envelopeRows(const float* samples, int n, float centre, int& yOfSmallest, int& yOfLargest);

// ------------------------------------------------------------------ spectrogram

// Top and bottom of the two spectrogram boxes: rows climb from the bottom edge of
// each box, which is 276 pixels below the previous one.
constexpr int kSpectrumBottomRow = 266;
constexpr int kSpectrumChannelStep = 276;

struct Colour16 {
    unsigned red, green, blue;  // 0 .. 65535
};

// Black through red and yellow to white: red = m, green = m - 65535, blue =
// m - 131070, each held within 0 .. 65535.
Colour16 spectrumColour(uint64_t level);

// Bins per pixel row for a spectrum of `columns` bins: (columns - 1) / 256 rounded
// half up. Narrow spectra (fewer than 129 bins) would give 0: one bin per row then.
int spectrumBinsPerRow(int columns);

// Pixel rows a channel fills: one per P bins of bins 0 .. columns - 2 (the last
// bin is never drawn); 0 for fewer than two columns.
int spectrumRowCount(int columns, int binsPerRow);

// Row of the bins starting at k on a channel.
inline int spectrumRowY(int channel, int k, int binsPerRow) {
    return kSpectrumBottomRow + kSpectrumChannelStep * channel - k / binsPerRow;
}

// Level of P bins from `bins`: m = trunc(m + |X| / P) after each bin, |X| the
// single-precision sqrt(re^2 + im^2); only the first `available` bins are read.
// Levels past the top of the ramp (infinite or NaN magnitudes included) are held
// far above it.
uint64_t spectrumLevel(const std::complex<float>* bins, int binsPerRow, int available);

// ------------------------------------------------------------------ directions

// Heights of the direction box (0.61 h) and of each signal box (0.16 h) of the
// direction window, for a plot rectangle h pixels high.
float directionBoxHeight(int plotHeight);
float signalBoxHeight(int plotHeight);

// Azimuth of a direction vector in whole degrees, truncated toward zero.
int azimuthDegrees(float x0, float x1);

// Row of azimuth a: +180 on the top edge of the direction box, -180 on its bottom.
int azimuthRowY(int plotY, float directionBoxHeight, int degrees);

// ------------------------------------------------------------------ labels

struct Label {
    int x, y;  // left end of the baseline
    std::string text;
};

// Seconds along the time axis: k = 0, windowFrames / 4, ... up to windowFrames,
// "%0.2fs" of (windowStart + k) * secondsPerFrame, on the row `y`.
std::vector<Label> timeLabels(int plotX, int plotWidth, int y, int windowStart, int windowFrames,
                              float secondsPerFrame);

// kHz along a spectrogram box whose bottom edge is `boxBottom`: 0 to the Nyquist
// frequency (whole kHz) in quarters, 64 pixels apart upward. Empty below 2000 Hz.
std::vector<Label> frequencyLabels(int plotX, int boxBottom, int samplingRate);

// Azimuths -180, -150, ... 180 of the direction box, "% 4d".
std::vector<Label> directionLabels(int plotX, int plotY, float directionBoxHeight);

// "-1", " 0", " 1" against a signal box `boxHeight` pixels high whose top is `boxTop`.
std::vector<Label> valueLabels(int plotX, float boxTop, float boxHeight);

}  // namespace vis
