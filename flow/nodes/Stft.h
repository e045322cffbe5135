// Short-time spectrum analysis and its exact inverse by weighted overlap-add.
//
// Frames are LENGTH (N) samples, ADVANCE (A) samples apart; frame k holds samples
// k*A - (N - A) ... k*A + A - 1 of the stream, so its last A samples are the new
// ones and frame 0 starts with N - A samples of silence before the stream. This
// alignment makes the analysis and the resynthesis add no delay: a resynthesised
// frame k holds the very samples of input frame k.
//
// Window: power-complementary sine tapers of T = min(N/2, N - A) samples at
// both ends, flat in between: w(i) = sin(pi (i + 1/2) / (2T)) on the first T
// samples, mirrored on the last T, 1 elsewhere. For A <= N/2 this is the sine
// window sin(pi (i + 1/2) / N), the square root of a Hann window shifted by half
// a sample; for A = N it is rectangular. The tapers of overlapping frames add up
// in w^2, so every sample of the stream is seen with a weight sum of w^2 of at
// least 1/2, which keeps the inverse exact whatever the overlap. Analysis:
// X = DFT(w . x), unnormalised, with the forward sign (a delay t multiplies bin k
// by e^(-j 2 pi k t / N)); N/2 + 1 bins, the half-rate bin kept. Synthesis: each
// frame's inverse DFT (divided by N) is weighted by w again and added at its
// place; every sample is divided by the sum of w^2 over the frames (of index 0
// and up) that cover it. An unmodified spectrum thus gives back the input to
// within float rounding, the first samples included; in the middle of the
// stream, where the sum of w^2 is constant for A = N/2, N/4, ..., this is plain
// weighted overlap-add.
#pragma once

#include <complex>
#include <vector>

typedef struct fftwf_plan_s* fftwf_plan;

namespace FD {
namespace nodes {

std::vector<float> analysisWindow(int length, int advance);

// Frames beyond frame k that overlap its last sample: the look-ahead the
// resynthesis needs, floor((N - 1) / A).
int overlapFrames(int length, int advance);

// Windowed real forward DFT of one channel of a frame. Owns its FFTW plan and
// buffers; not copyable.
class SpectrumAnalyzer {
public:
    SpectrumAnalyzer(int length, int advance);
    ~SpectrumAnalyzer();
    SpectrumAnalyzer(const SpectrumAnalyzer&) = delete;
    SpectrumAnalyzer& operator=(const SpectrumAnalyzer&) = delete;

    int length() const { return length_; }
    int bins() const { return length_ / 2 + 1; }
    // `frame`: length() samples; `bins`: bins() values.
    void forward(const float* frame, std::complex<float>* bins);

private:
    int length_;
    std::vector<float> window_;
    float* in_;
    std::complex<float>* out_;
    fftwf_plan plan_;
};

// Rebuilds signal frames from a stream of spectra of the same framing. Add the
// spectra of frames 0, 1, 2, ... in order; once frame k + overlapFrames() has
// been added, take() yields signal frame k.
class OverlapAdd {
public:
    OverlapAdd(int length, int advance, int channels);
    ~OverlapAdd();
    OverlapAdd(const OverlapAdd&) = delete;
    OverlapAdd& operator=(const OverlapAdd&) = delete;

    int channels() const { return channels_; }
    int added() const { return added_; }
    int taken() const { return taken_; }
    // One frame's spectra: `channels` rows of N/2 + 1 bins, row r at spectra + r * bins.
    void add(const std::complex<float>* spectra);
    // The next signal frame: `channels` rows of N samples, row r at out + r * N.
    void take(float* out);

private:
    int length_, advance_, channels_, ahead_, span_;
    std::vector<float> synthesis_;  // w(i) / N
    std::vector<float> square_;     // w(i)^2
    std::vector<float> sum_;        // per channel, span_ samples from the next frame's start
    std::vector<float> weight_;     // sum of w^2 over the frames added, same positions
    std::complex<float>* in_;
    float* out_;
    fftwf_plan plan_;
    int added_ = 0, taken_ = 0;
};

}  // namespace nodes
}  // namespace FD
