#include "flow/nodes/Stft.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace FD {
namespace nodes {

std::vector<float> analysisWindow(int length, int advance) {
    if (length < 1) return {};
    std::vector<float> w(size_t(length), 1.0f);
    const int taper = std::min(length / 2, length - std::min(advance, length));
    const double pi = 3.141592653589793;
    for (int i = 0; i < taper; ++i) {
        float v = float(std::sin(pi * (i + 0.5) / (2.0 * taper)));
        w[size_t(i)] = v;
        w[size_t(length - 1 - i)] = v;
    }
    return w;
}

int overlapFrames(int length, int advance) { return (length - 1) / advance; }

// ---------------------------------------------------------------- SpectrumAnalyzer

SpectrumAnalyzer::SpectrumAnalyzer(int length, int advance)
    : length_(length), window_(analysisWindow(length, advance)) {
    if (length < 1)
        throw std::invalid_argument("frame length must be at least 1, got " + std::to_string(length));
    in_ = fftwf_alloc_real(size_t(length));
    out_ = reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(size_t(bins())));
    // Estimated plans: the same transform, hence the same bits, on every run.
    plan_ = fftwf_plan_dft_r2c_1d(length, in_, reinterpret_cast<fftwf_complex*>(out_), FFTW_ESTIMATE);
}

SpectrumAnalyzer::~SpectrumAnalyzer() {
    fftwf_destroy_plan(plan_);
    fftwf_free(in_);
    fftwf_free(out_);
}

void SpectrumAnalyzer::forward(const float* frame, std::complex<float>* bins) {
    for (int i = 0; i < length_; ++i) in_[i] = frame[i] * window_[size_t(i)];
    fftwf_execute(plan_);
    std::memcpy(static_cast<void*>(bins), out_, sizeof(std::complex<float>) * size_t(this->bins()));
}

// ---------------------------------------------------------------- OverlapAdd

OverlapAdd::OverlapAdd(int length, int advance, int channels)
    : length_(length), advance_(advance), channels_(channels) {
    if (length < 1 || advance < 1 || advance > length)
        throw std::invalid_argument("frame advance must be 1 to the frame length");
    if (channels < 1) throw std::invalid_argument("no channel to resynthesise");
    ahead_ = overlapFrames(length, advance);
    span_ = length + ahead_ * advance;
    std::vector<float> w = analysisWindow(length, advance);
    synthesis_.resize(size_t(length));
    square_.resize(size_t(length));
    for (int i = 0; i < length; ++i) {
        synthesis_[size_t(i)] = w[size_t(i)] / float(length);
        square_[size_t(i)] = w[size_t(i)] * w[size_t(i)];
    }
    sum_.assign(size_t(channels) * size_t(span_), 0.0f);
    weight_.assign(size_t(span_), 0.0f);
    int bins = length / 2 + 1;
    in_ = reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(size_t(bins)));
    out_ = fftwf_alloc_real(size_t(length));
    plan_ = fftwf_plan_dft_c2r_1d(length, reinterpret_cast<fftwf_complex*>(in_), out_, FFTW_ESTIMATE);
}

OverlapAdd::~OverlapAdd() {
    fftwf_destroy_plan(plan_);
    fftwf_free(in_);
    fftwf_free(out_);
}

void OverlapAdd::add(const std::complex<float>* spectra) {
    if (added_ - taken_ > ahead_) throw std::logic_error("overlap-add: frame added too far ahead");
    const int bins = length_ / 2 + 1;
    const size_t offset = size_t(added_ - taken_) * size_t(advance_);
    for (int r = 0; r < channels_; ++r) {
        // The inverse transform overwrites its input: work on a copy.
        std::memcpy(static_cast<void*>(in_), spectra + size_t(r) * bins,
                    sizeof(std::complex<float>) * size_t(bins));
        fftwf_execute(plan_);
        float* sum = sum_.data() + size_t(r) * span_ + offset;
        for (int i = 0; i < length_; ++i) sum[i] += out_[i] * synthesis_[size_t(i)];
    }
    float* weight = weight_.data() + offset;
    for (int i = 0; i < length_; ++i) weight[i] += square_[size_t(i)];
    ++added_;
}

void OverlapAdd::take(float* out) {
    if (added_ < taken_ + ahead_ + 1)
        throw std::logic_error("overlap-add: frame taken before its spectra were added");
    for (int r = 0; r < channels_; ++r) {
        float* sum = sum_.data() + size_t(r) * span_;
        float* row = out + size_t(r) * length_;
        for (int i = 0; i < length_; ++i) row[i] = sum[i] / weight_[size_t(i)];
        std::memmove(sum, sum + advance_, sizeof(float) * size_t(span_ - advance_));
        std::memset(sum + span_ - advance_, 0, sizeof(float) * size_t(advance_));
    }
    std::memmove(weight_.data(), weight_.data() + advance_, sizeof(float) * size_t(span_ - advance_));
    std::memset(weight_.data() + span_ - advance_, 0, sizeof(float) * size_t(advance_));
    ++taken_;
}

}  // namespace nodes
}  // namespace FD
