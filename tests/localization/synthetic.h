// White noise from a known direction, rendered for the localization tests.
#pragma once

#include <fftw3.h>

#include <array>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "flow/Types.h"

namespace synthetic {

constexpr double kPi = 3.141592653589793;

// 3 s at 16 kHz: white noise from `azimuthDeg` (free field, 18 cm, left channel delayed by
// d sin(theta) / c) from 0.6 s on, plus independent sensor noise 20 dB below.
using Stereo = std::array<std::vector<double>, 2>;  // left, right
inline Stereo renderFreeField(double azimuthDeg, unsigned seed) {
    const int n = 48000, nf = n / 2 + 1;
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> s(size_t(n), 0.0);  // last samples silent: the circular delay wraps nothing
    for (int i = 9600; i < n - 64; ++i) s[size_t(i)] = 3000.0 * gauss(rng);
    const double delay = 18.0 * std::sin(azimuthDeg * kPi / 180.0) / 34050.0;
    fftw_complex* spec = fftw_alloc_complex(size_t(nf));
    Stereo out{s, s};
    fftw_plan fwd = fftw_plan_dft_r2c_1d(n, s.data(), spec, FFTW_ESTIMATE);
    fftw_plan inv = fftw_plan_dft_c2r_1d(n, spec, out[0].data(), FFTW_ESTIMATE);
    fftw_execute(fwd);
    for (int k = 0; k < nf; ++k) {
        std::complex<double> y = std::complex<double>(spec[k][0], spec[k][1]) *
                                 std::polar(1.0 / n, -2.0 * kPi * k * 16000.0 / n * delay);
        if (k == nf - 1) y = y.real();
        spec[k][0] = y.real(), spec[k][1] = y.imag();
    }
    fftw_execute(inv);
    fftw_destroy_plan(fwd), fftw_destroy_plan(inv), fftw_free(spec);
    for (size_t i = 0; i < size_t(n); ++i) out[0][i] += 300.0 * gauss(rng), out[1][i] += 300.0 * gauss(rng);
    return out;
}

// 2 x 257 spectra of 512-point frames 160 apart, weighted by `window(i)`, top bin 0, as the
// host's analysis; the first frame ends at sample `firstEnd` (zeros before the start).
template <class Window>
std::vector<FD::ObjectRef> spectraOf(const Stereo& x, int firstEnd, Window window) {
    std::vector<FD::ObjectRef> spectra;
    std::vector<double> frame(512);
    fftw_complex* spec = fftw_alloc_complex(257);
    fftw_plan plan = fftw_plan_dft_r2c_1d(512, frame.data(), spec, FFTW_ESTIMATE);
    for (int end = firstEnd; end <= int(x[0].size()); end += 160) {
        auto* m = new FD::Matrix<std::complex<float>>(2, 257);
        for (int r = 0; r < 2; ++r) {
            for (int i = 0; i < 512; ++i)
                frame[size_t(i)] = end - 512 + i < 0 ? 0.0 : x[size_t(r)][size_t(end - 512 + i)] * window(i);
            fftw_execute(plan);
            for (int k = 0; k < 256; ++k) (*m)(r, k) = {float(spec[k][0]), float(spec[k][1])};
        }
        spectra.push_back(FD::ObjectRef(m));
    }
    fftw_destroy_plan(plan), fftw_free(spec);
    return spectra;
}

}  // namespace synthetic
