#include "enhancement/harmonic_regeneration.h"

#include "enhancement/gain_rules.h"

namespace enhancement {

float regeneratedGain(float xi) {
    if (!(xi >= 0.0f)) return kEpsilon;  // negative, or not a number
    return wienerGain(xi);
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
    for (int n = 0; n < length; ++n) s[n] = s[n] < 0.0f ? 0.0f : scale * s[n];
    fft.analyze();

    const std::complex<float>* h = fft.spectrum.data();
    for (int k = 0; k < m; ++k) {
        const float hr = h[k].real(), hi = h[k].imag();
        const float a = row.amplitude[k], rho = row.gain[k];
        const float xi = ((a * a) * rho + (1.0f - rho) * (hr * hr + hi * hi)) / row.noise[k];
        const float g = regeneratedGain(xi) * row.magnitude[k];
        y[k] = std::complex<float>(g * row.cosPhase[k], g * row.sinPhase[k]);
    }
}

}  // namespace enhancement
