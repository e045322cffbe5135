#include "tests/localization/synthetic.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace synthetic {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kSpeedOfSound = 34050.0;
}  // namespace

FD::RCPtr<Spectrum> delayedPair(int bins, int samplingRate, double delaySeconds, float magnitude,
                                std::mt19937& rng, const std::vector<bool>* useBin) {
    FD::RCPtr<Spectrum> s(new Spectrum(2, bins));
    std::uniform_real_distribution<double> phase(-kPi, kPi);
    const double binHz = double(samplingRate) / (2.0 * (bins - 1));
    for (int k = 0; k + 1 < bins; ++k) {
        const double p = phase(rng);
        if (useBin && !(*useBin)[size_t(k)]) continue;
        const double omega = 2.0 * kPi * binHz * k;
        (*s)(1, k) = std::polar(double(magnitude), p);
        (*s)(0, k) = std::polar(double(magnitude), p - omega * delaySeconds);
    }
    return s;
}

FD::RCPtr<Spectrum> uncorrelated(int bins, float magnitude, std::mt19937& rng) {
    FD::RCPtr<Spectrum> s(new Spectrum(2, bins));
    std::uniform_real_distribution<double> phase(-kPi, kPi);
    for (int r = 0; r < 2; ++r)
        for (int k = 0; k + 1 < bins; ++k) (*s)(r, k) = std::polar(double(magnitude), phase(rng));
    return s;
}

FD::ObjectRef sourceList(const std::vector<double>& degrees) {
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

std::vector<double> azimuths(const FD::ObjectRef& list) {
    std::vector<double> out;
    FD::RCPtr<FD::Vector<FD::ObjectRef>> v(list);
    for (const FD::ObjectRef& e : *v) {
        FD::RCPtr<FD::Source> s(e);
        out.push_back(std::atan2(double(s->x[1]), double(s->x[0])) * 180.0 / kPi);
    }
    return out;
}

Stereo renderFreeField(double azimuthDeg, double micsDistanceCm, int samplingRate, double seconds,
                       double onsetSeconds, double snrDb, unsigned seed) {
    const int n = int(seconds * samplingRate);
    const int onset = int(onsetSeconds * samplingRate);
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double amplitude = 3000.0;
    const double noiseAmplitude = amplitude * std::pow(10.0, -snrDb / 20.0);

    // The source, silent before the onset and for a few samples at the end so that
    // the circular delay below wraps nothing around.
    std::vector<double> s(size_t(n), 0.0);
    for (int i = onset; i < n - 64; ++i) s[size_t(i)] = amplitude * gauss(rng);

    // Fractional delay of the left channel in the frequency domain.
    const double delay = micsDistanceCm * std::sin(azimuthDeg * kPi / 180.0) / kSpeedOfSound;
    const int nf = n / 2 + 1;
    fftw_complex* spec = fftw_alloc_complex(size_t(nf));
    std::vector<double> buf(s);
    fftw_plan fwd = fftw_plan_dft_r2c_1d(n, buf.data(), spec, FFTW_ESTIMATE);
    fftw_execute(fwd);
    for (int k = 0; k < nf; ++k) {
        const double omega = 2.0 * kPi * double(k) * samplingRate / n;
        const std::complex<double> x(spec[k][0], spec[k][1]);
        std::complex<double> y = x * std::polar(1.0 / n, -omega * delay);
        if (n % 2 == 0 && k == nf - 1) y = std::complex<double>(y.real(), 0.0);
        spec[k][0] = y.real();
        spec[k][1] = y.imag();
    }
    Stereo out;
    out.left.assign(size_t(n), 0.0);
    fftw_plan inv = fftw_plan_dft_c2r_1d(n, spec, out.left.data(), FFTW_ESTIMATE);
    fftw_execute(inv);
    fftw_destroy_plan(fwd);
    fftw_destroy_plan(inv);
    fftw_free(spec);
    out.right = s;

    for (int i = 0; i < n; ++i) {
        out.left[size_t(i)] += noiseAmplitude * gauss(rng);
        out.right[size_t(i)] += noiseAmplitude * gauss(rng);
    }
    return out;
}

std::vector<FD::ObjectRef> shortTimeSpectra(const Stereo& signal, int length, int advance) {
    const int bins = length / 2 + 1;
    std::vector<double> window(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i)
        window[size_t(i)] = std::sqrt(0.5 - 0.5 * std::cos(2.0 * kPi * i / length));
    std::vector<double> frame(static_cast<size_t>(length));
    fftw_complex* spec = fftw_alloc_complex(size_t(bins));
    fftw_plan plan = fftw_plan_dft_r2c_1d(length, frame.data(), spec, FFTW_ESTIMATE);

    std::vector<FD::ObjectRef> frames;
    const int n = int(signal.left.size());
    for (int start = 0; start + length <= n; start += advance) {
        auto* m = new Spectrum(2, bins);
        const std::vector<double>* rows[2] = {&signal.left, &signal.right};
        for (int r = 0; r < 2; ++r) {
            for (int i = 0; i < length; ++i)
                frame[size_t(i)] = (*rows[r])[size_t(start + i)] * window[size_t(i)];
            fftw_execute(plan);
            for (int k = 0; k + 1 < bins; ++k)
                (*m)(r, k) = std::complex<float>(float(spec[k][0]), float(spec[k][1]));
        }
        frames.push_back(FD::ObjectRef(m));
    }
    fftw_destroy_plan(plan);
    fftw_free(spec);
    return frames;
}

bool writeWav(const std::string& path, const Stereo& signal, int samplingRate) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    auto put16 = [f](uint32_t v) { std::fputc(int(v & 0xff), f), std::fputc(int((v >> 8) & 0xff), f); };
    auto put32 = [&](uint32_t v) { put16(v & 0xffff), put16(v >> 16); };
    const uint32_t bytes = uint32_t(signal.left.size() * 4);
    std::fputs("RIFF", f), put32(36 + bytes), std::fputs("WAVEfmt ", f), put32(16), put16(1), put16(2);
    put32(uint32_t(samplingRate)), put32(uint32_t(samplingRate) * 4), put16(4), put16(16);
    std::fputs("data", f), put32(bytes);
    auto sample = [](double v) {
        return uint32_t(uint16_t(int16_t(std::lround(std::max(-32768.0, std::min(32767.0, v))))));
    };
    for (size_t i = 0; i < signal.left.size(); ++i)
        put16(sample(signal.left[i])), put16(sample(signal.right[i]));
    return std::fclose(f) == 0;
}

}  // namespace synthetic
