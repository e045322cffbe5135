#include "enhancement/harmonic_regeneration.h"

#include "enhancement/gain_rules.h"
#include "enhancement/simd.h"

namespace enhancement {

float regeneratedGain(float xi) {
    if (!(xi >= 0.0f)) return kEpsilon;  // negative, or not a number
    return wienerGain(xi);
}

namespace {

using simd::f32x4;
using simd::i32x4;
using simd::splat;

inline void storeBins(f32x4 re, f32x4 im, std::complex<float>* y) {
    const i32x4 first = {0, 4, 1, 5}, second = {2, 6, 3, 7};
    float* out = reinterpret_cast<float*>(y);
    simd::store(out, __builtin_shuffle(re, im, first));
    simd::store(out + 4, __builtin_shuffle(re, im, second));
}

// Four bins of the regenerated row, the same operations as the scalar loop below.
inline void regeneratedLanes(const RegenerationRow& row, const std::complex<float>* h, int k,
                             std::complex<float>* y) {
    const f32x4 h0 = simd::load(reinterpret_cast<const float*>(h + k));
    const f32x4 h1 = simd::load(reinterpret_cast<const float*>(h + k + 2));
    const i32x4 even = {0, 2, 4, 6}, odd = {1, 3, 5, 7};
    const f32x4 hr = __builtin_shuffle(h0, h1, even), hi = __builtin_shuffle(h0, h1, odd);
    const f32x4 a = simd::load(row.amplitude + k), rho = simd::load(row.gain + k);
    const f32x4 h2 = simd::mulExact(hr, hr) + simd::mulExact(hi, hi);
    const f32x4 mixed = simd::mulExact(simd::mulExact(a, a), rho) + simd::mulExact(splat(1.0f) - rho, h2);
    const f32x4 xi = simd::divExact(mixed, simd::load(row.noise + k));
    const f32x4 gain = simd::select(xi >= splat(0.0f), simd::wienerGain(xi), splat(kEpsilon));
    const f32x4 g = simd::mulExact(gain, simd::load(row.magnitude + k));
    storeBins(simd::mulExact(g, simd::load(row.cosPhase + k)),
              simd::mulExact(g, simd::load(row.sinPhase + k)), y + k);
}

}  // namespace

void polarToBins(int count, const float* amplitude, const float* cosPhase, const float* sinPhase,
                 std::complex<float>* y) {
    int k = 0;
    for (; k + simd::kLanes <= count; k += simd::kLanes) {
        const f32x4 a = simd::load(amplitude + k);
        storeBins(simd::mulExact(a, simd::load(cosPhase + k)), simd::mulExact(a, simd::load(sinPhase + k)),
                  y + k);
    }
    for (; k < count; ++k) y[k] = std::complex<float>(amplitude[k] * cosPhase[k], amplitude[k] * sinPhase[k]);
}

void regenerateHarmonics(rfft<float>& fft, const RegenerationRow& row, std::complex<float>* y) {
    const int m = row.bins;
    fft.setup(m, m + 1);
    for (int k = 0; k < m; ++k) fft.spectrum[size_t(k)] = y[k];
    fft.spectrum[size_t(m)] = std::complex<float>(0.0f, 0.0f);
    fft.synthesize();

    const int length = fft.length;
    const float scale = 1.0f / float(length);
    float* s = fft.samples.data();
    int n = 0;
    for (; n + simd::kLanes <= length; n += simd::kLanes) {
        const f32x4 v = simd::load(s + n);
        simd::store(s + n, simd::select(v < splat(0.0f), splat(0.0f), splat(scale) * v));
    }
    for (; n < length; ++n) s[n] = s[n] < 0.0f ? 0.0f : scale * s[n];
    fft.analyze();

    const std::complex<float>* h = fft.spectrum.data();
    int k = 0;
    for (; k + simd::kLanes <= m; k += simd::kLanes) regeneratedLanes(row, h, k, y);
    for (; k < m; ++k) {
        const float hr = h[k].real(), hi = h[k].imag();
        const float a = row.amplitude[k], rho = row.gain[k];
        const float xi = ((a * a) * rho + (1.0f - rho) * (hr * hr + hi * hi)) / row.noise[k];
        const float g = regeneratedGain(xi) * row.magnitude[k];
        y[k] = std::complex<float>(g * row.cosPhase[k], g * row.sinPhase[k]);
    }
}

}  // namespace enhancement
