// White noise from a known direction, rendered for the localization tests.
#pragma once

#include <fftw3.h>

#include <array>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

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

}  // namespace synthetic
