// Binaural direction scoring by noise-weighted GCC-PHAT on a fixed azimuth grid.
//
// Two microphone spectra L (row 0) and R (row 1) give, per frequency bin k, the
// cross-spectrum G = L * conj(R). Its phase is compared with the phase e^(j w_k tau)
// that each of 181 candidate azimuths (-90 .. +90 degrees, one per degree) would
// produce, tau being the inter-microphone delay of the candidate under a head model:
//   - free field:     tau = d sin(theta) / c
//   - spherical head: tau = r (theta + sin theta) / c minus a diffraction term,
//                     r = d / 2 (the head sits between the microphones)
// with d in centimetres and c = 34050 cm/s. The score of azimuth a is the band
// average of Re(G / |G| * e^(j w_k tau_a)), each bin weighted by how far |G| rises
// above the noise level learned at start-up: w = 1 - noise / |G|, floored at 1e-6.
// Local maxima of the score above a threshold are the detected directions; a
// positive azimuth means the sound reaches the second microphone (row 1) first.
//
// Everything here is plain arrays: spectra as std::complex<float> rows, the score as
// one float per azimuth (padded to kDirectionLanes). Per-bin arithmetic is single
// precision; the steering phases are computed in double precision and stored as floats.
#pragma once

#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <vector>

namespace localization {

constexpr int kDirections = 181;           // azimuths -90 .. +90 degrees; index a is a - 90 degrees
constexpr int kDirectionLanes = 192;       // a score row padded for whole vector registers
constexpr int kMaxPeaks = 91;              // maxima of 181 points lie at least two apart
constexpr double kSpeedOfSound = 34050.0;  // cm/s
constexpr float kWeightFloor = 1e-6f;      // smallest weight a bin can get

enum class HeadModel { FreeSpace, SphericalHead };

// "FREE_SPACE" or "SPHERICAL_HEAD", exact and case-sensitive. False for anything else.
bool parseHeadModel(const std::string& text, HeadModel* model);

// The analysed bins low <= k < high of a spectrum.
struct Band {
    int low = 0;
    int high = 0;
    int size() const { return high - low; }
};

// Bin spacing in Hz of a spectrum with `bins` columns, in integer arithmetic:
// (samplingRate / 2) / (bins - 1), both divisions truncating. Needs bins >= 2.
int binSpacing(int samplingRate, int bins);

// The bins FREQUENCY_LOW / df and FREQUENCY_HIGH / df (single precision, truncated),
// before any range check. They are floats so that absurd edges stay representable.
struct BandEdges {
    float low = 0.0f;
    float high = 0.0f;
};
BandEdges bandEdges(float frequencyLow, float frequencyHigh, int samplingRate, int bins);

// True when the edges give a non-empty band inside bins 0 .. bins - 2 (the top bin,
// half the sampling rate, is never analysed); then *band holds it.
bool bandFits(const BandEdges& edges, int bins, Band* band);

// Inter-microphone delay (seconds, single precision) of azimuth index a (0 .. 180).
float steeringDelay(HeadModel model, float micsDistanceCm, int a);

// Angular frequency (rad/s) of bin k of a spectrum whose top bin is nb.
double angularFrequency(int k, int samplingRate, int nb);

// cos and sin of w_k * tau_a for every band bin and azimuth, laid out bin by bin:
// for band bin k, kDirectionLanes cosines then kDirectionLanes sines (lanes past 180 zero).
class SteeringTables {
public:
    SteeringTables() = default;
    SteeringTables(HeadModel model, float micsDistanceCm, int samplingRate, int bins, Band band);

    bool empty() const { return values_.empty(); }
    Band band() const { return band_; }
    const float* cosRow(int k) const { return &values_[rowOffset(k)]; }
    const float* sinRow(int k) const { return &values_[rowOffset(k) + kDirectionLanes]; }
    float cosAt(int a, int k) const { return cosRow(k)[a]; }
    float sinAt(int a, int k) const { return sinRow(k)[a]; }

private:
    size_t rowOffset(int k) const { return size_t(k - band_.low) * 2 * kDirectionLanes; }

    Band band_;
    std::vector<float> values_;  // band.size() * 2 * kDirectionLanes floats
};

// Cross-spectrum of one bin: gr + j gi = l * conj(r), and its magnitude.
struct CrossBin {
    float gr;
    float gi;
    float magnitude;
};
inline CrossBin crossSpectrum(std::complex<float> l, std::complex<float> r) {
    CrossBin g;
    g.gr = l.real() * r.real() + l.imag() * r.imag();
    g.gi = l.imag() * r.real() - l.real() * r.imag();
    g.magnitude = std::sqrt(g.gr * g.gr + g.gi * g.gi);
    return g;
}

// Adds |G| of every band bin to noiseSum[k]. Bins whose |G| is not finite (a corrupt
// frame) are left out so that they cannot spoil the noise level for good.
void accumulateNoise(const std::complex<float>* left, const std::complex<float>* right, Band band,
                     float* noiseSum);

// Weight of a bin of magnitude |G| against its learned noise mean. A bin with no
// learned noise (mean 0) gets full weight, as does one whose noise is negligible
// beside it (the ratio overflows).
inline float noiseWeight(float magnitude, float noiseMean) {
    if (!(noiseMean > 0.0f)) return 1.0f;
    const float q = magnitude / noiseMean - 1.0f;
    if (q > std::numeric_limits<float>::max()) return 1.0f;
    float w = q / (q + 1.0f);  // 1 - noiseMean / magnitude
    if (w < kWeightFloor) w = kWeightFloor;
    return w;
}

// Direction score of one frame: score[a] for a = 0 .. kDirectionLanes - 1 (lanes past
// 180 are scratch). Bins whose cross-spectrum is 0 or not finite contribute nothing.
void directionScore(const SteeringTables& tables, const std::complex<float>* left,
                    const std::complex<float>* right, const float* noiseMean, float* score);

// Local extrema of the score: indices i where the slope changes sign, the slope being
// +1 before index 0, -1 after index 180, and a flat step counting as falling.
// Writes at most kDirections indices in increasing order and returns their number.
int findExtrema(const float* score, int* extrema);

// Marks the reported maxima among the extrema (even positions are maxima). A maximum
// that does not rise above both neighbouring minima hands its height on to the next.
void selectPeaks(const float* score, const int* extrema, int m, bool* selected);

// A reported direction: azimuth index (0 .. 180) and its score.
struct Peak {
    int index;
    float score;
};

// Extrema, selection and threshold: the peaks scoring strictly above `threshold`, in
// increasing azimuth. Writes at most kMaxPeaks and returns their number.
int pickPeaks(const float* score, float threshold, Peak* peaks);

// Unit direction (cos theta, sin theta) of azimuth index a, theta = a - 90 degrees.
void directionVector(int a, float* x0, float* x1);

}  // namespace localization
