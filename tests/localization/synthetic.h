// Synthetic input for the localization tests: spectra with a known inter-microphone delay,
// white noise rendered from a known direction, source lists, and the usual parameters.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "flow/Types.h"
#include "plugin/Source.h"
#include "tests/support/NodeHarness.h"

namespace synthetic {

using Spectrum = FD::Matrix<std::complex<float>>;
constexpr double kPi = 3.141592653589793;

inline FD::testing::Params locParams() {
    FD::testing::Params p;
    p.f("MICS_DISTANCE", 18.0f)
        .f("GCCPHAT_THRESHOLD", 0.1f)
        .s("SOUND_DIFFRACTION_COMPENSATION", "FREE_SPACE");
    p.i("ADVANCE", 160).i("SAMPLING_RATE", 16000).f("FREQUENCY_HIGH", 4000.0f).f("FREQUENCY_LOW", 500.0f);
    return p.f("NOISE_DURATION", 0.5f);
}

inline FD::testing::Params trackParams(float seconds) {
    FD::testing::Params p;
    return p.i("ADVANCE", 160).i("SAMPLING_RATE", 16000).f("CLUSTERING_DURATION", seconds);
}

// 16 kHz, two rows: the left (row 0) is the right delayed by `delay` seconds. Random phases,
// top bin 0; bins outside `useBin` (if given) silent.
inline FD::RCPtr<Spectrum> delayedPair(int bins, double delay, float magnitude, std::mt19937& rng,
                                       const std::vector<bool>* useBin = nullptr) {
    FD::RCPtr<Spectrum> s(new Spectrum(2, bins));
    std::uniform_real_distribution<double> phase(-kPi, kPi);
    for (int k = 0; k + 1 < bins; ++k) {
        const double p = phase(rng), omega = 2.0 * kPi * 8000.0 / (bins - 1) * k;
        if (useBin && !(*useBin)[size_t(k)]) continue;
        (*s)(1, k) = std::polar(double(magnitude), p);
        (*s)(0, k) = std::polar(double(magnitude), p - omega * delay);
    }
    return s;
}

inline FD::RCPtr<Spectrum> uncorrelated(int bins, float magnitude, std::mt19937& rng) {
    FD::RCPtr<Spectrum> s(new Spectrum(2, bins));
    std::uniform_real_distribution<double> phase(-kPi, kPi);
    for (int r = 0; r < 2; ++r)
        for (int k = 0; k + 1 < bins; ++k) (*s)(r, k) = std::polar(double(magnitude), phase(rng));
    return s;
}

// Source list at the given azimuths (degrees), ids 0, 1, ...
inline FD::ObjectRef sourceList(const std::vector<double>& degrees) {
    auto* list = new FD::Vector<FD::ObjectRef>();
    for (size_t i = 0; i < degrees.size(); ++i) {
        auto* s = new FD::Source();
        s->x[0] = float(std::cos(degrees[i] * kPi / 180.0));
        s->x[1] = float(std::sin(degrees[i] * kPi / 180.0));
        s->power = 1.0f;
        s->id = int(i);
        list->push_back(FD::ObjectRef(s));
    }
    return FD::ObjectRef(list);
}

struct Detection {
    double azimuth;
    float power;
    int id;
};
inline std::vector<Detection> detections(const FD::ObjectRef& list) {
    std::vector<Detection> out;
    for (const FD::ObjectRef& e : *FD::RCPtr<FD::Vector<FD::ObjectRef>>(list)) {
        FD::RCPtr<FD::Source> s(e);
        out.push_back({std::atan2(double(s->x[1]), double(s->x[0])) * 180.0 / kPi, s->power, s->id});
    }
    return out;
}

// 3 s at 16 kHz: white noise from `azimuthDeg` (free field, 18 cm, the left channel delayed
// by d sin(theta) / c) starting at 0.6 s, plus independent sensor noise 20 dB below.
struct Stereo {
    std::vector<double> left, right;
};
inline Stereo renderFreeField(double azimuthDeg, unsigned seed) {
    const int n = 48000, onset = 9600;
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double amplitude = 3000.0, noiseAmplitude = 300.0;
    std::vector<double> s(size_t(n), 0.0);  // last samples silent: the circular delay wraps nothing
    for (int i = onset; i < n - 64; ++i) s[size_t(i)] = amplitude * gauss(rng);

    const double delay = 18.0 * std::sin(azimuthDeg * kPi / 180.0) / 34050.0;
    const int nf = n / 2 + 1;
    fftw_complex* spec = fftw_alloc_complex(size_t(nf));
    std::vector<double> buf(s);
    Stereo out{std::vector<double>(size_t(n)), s};
    fftw_plan fwd = fftw_plan_dft_r2c_1d(n, buf.data(), spec, FFTW_ESTIMATE);
    fftw_plan inv = fftw_plan_dft_c2r_1d(n, spec, out.left.data(), FFTW_ESTIMATE);
    fftw_execute(fwd);
    for (int k = 0; k < nf; ++k) {
        std::complex<double> y = std::complex<double>(spec[k][0], spec[k][1]) *
                                 std::polar(1.0 / n, -2.0 * kPi * k * 16000.0 / n * delay);
        if (k == nf - 1) y = y.real();
        spec[k][0] = y.real(), spec[k][1] = y.imag();
    }
    fftw_execute(inv);
    fftw_destroy_plan(fwd), fftw_destroy_plan(inv), fftw_free(spec);
    for (int i = 0; i < n; ++i) {
        out.left[size_t(i)] += noiseAmplitude * gauss(rng);
        out.right[size_t(i)] += noiseAmplitude * gauss(rng);
    }
    return out;
}

// 512-point sqrt-Hann frames 160 apart, 257 bins with the top one 0.
inline std::vector<FD::ObjectRef> shortTimeSpectra(const Stereo& signal) {
    const int length = 512, bins = 257;
    std::vector<double> frame(512);
    fftw_complex* spec = fftw_alloc_complex(size_t(bins));
    fftw_plan plan = fftw_plan_dft_r2c_1d(length, frame.data(), spec, FFTW_ESTIMATE);
    std::vector<FD::ObjectRef> frames;
    for (size_t start = 0; start + length <= signal.left.size(); start += 160) {
        auto* m = new Spectrum(2, bins);
        for (int r = 0; r < 2; ++r) {
            const std::vector<double>& x = r == 0 ? signal.left : signal.right;
            for (int i = 0; i < length; ++i)
                frame[size_t(i)] =
                    x[start + size_t(i)] * std::sqrt(0.5 - 0.5 * std::cos(2.0 * kPi * i / length));
            fftw_execute(plan);
            for (int k = 0; k + 1 < bins; ++k) (*m)(r, k) = {float(spec[k][0]), float(spec[k][1])};
        }
        frames.push_back(FD::ObjectRef(m));
    }
    fftw_destroy_plan(plan), fftw_free(spec);
    return frames;
}

// 16-bit stereo WAV at 16 kHz. False on failure.
inline bool writeWav(const std::string& path, const Stereo& signal) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    auto put16 = [f](uint32_t v) { std::fputc(int(v & 0xff), f), std::fputc(int((v >> 8) & 0xff), f); };
    auto put32 = [&](uint32_t v) { put16(v & 0xffff), put16(v >> 16); };
    const uint32_t bytes = uint32_t(signal.left.size() * 4);
    std::fputs("RIFF", f), put32(36 + bytes), std::fputs("WAVEfmt ", f), put32(16), put16(1), put16(2);
    put32(16000), put32(64000), put16(4), put16(16), std::fputs("data", f), put32(bytes);
    auto sample = [](double v) {
        return uint32_t(uint16_t(int16_t(std::lround(std::clamp(v, -32768.0, 32767.0)))));
    };
    for (size_t i = 0; i < signal.left.size(); ++i)
        put16(sample(signal.left[i])), put16(sample(signal.right[i]));
    return std::fclose(f) == 0;
}

}  // namespace synthetic
