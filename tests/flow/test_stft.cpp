// Short-time spectrum and overlap-add kernels: window, sign convention, exact
// reconstruction at the stream's start and in the middle.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
#include <vector>

#include "flow/nodes/Stft.h"

using namespace FD::nodes;

namespace {

// Frame k of `signal` with the node framing: samples k*A - (N - A) ... k*A + A - 1,
// zero outside the signal.
std::vector<float> frameOf(const std::vector<float>& signal, int k, int n, int a) {
    std::vector<float> f(size_t(n), 0.0f);
    long start = long(k) * a - (n - a);
    for (int i = 0; i < n; ++i)
        if (start + i >= 0 && start + i < long(signal.size())) f[size_t(i)] = signal[size_t(start + i)];
    return f;
}

std::vector<float> noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-10000.0f, 10000.0f);
    std::vector<float> v(n);
    for (float& x : v) x = u(gen);
    return v;
}

}  // namespace

TEST(Stft, SquaredWindowsAddUpToOneWhateverTheOverlap) {
    EXPECT_EQ(analysisWindow(6, 6), std::vector<float>(6, 1.0f));
    for (auto [n, a] : {std::pair{8, 6}, {8, 4}, {512, 256}, {9, 5}}) {
        std::vector<float> w = analysisWindow(n, a);
        for (int pos = 0; pos < a; ++pos) {
            double sum = 0;
            for (int i = pos; i < n; i += a) sum += double(w[i]) * w[i];
            EXPECT_NEAR(sum, 1.0, 1e-6) << n << "/" << a << " at " << pos;
        }
    }
}

TEST(Stft, DelayMultipliesBinsByNegativePhase) {
    // A delay of d samples of a periodic signal turns bin k by e^(-j 2 pi k d / N).
    const int n = 64, d = 3;
    SpectrumAnalyzer fft(n, n / 2);
    ASSERT_EQ(fft.bins(), 33);
    std::vector<float> w = analysisWindow(n, n / 2);
    std::vector<float> x(n), y(n);
    for (int i = 0; i < n; ++i) {  // divided by the window: the frames are the plain signals
        x[i] = float(std::cos(2 * M_PI * 5 * i / n)) / w[i];
        y[i] = float(std::cos(2 * M_PI * 5 * (i - d) / n)) / w[i];
    }
    std::vector<std::complex<float>> X(33), Y(33);
    fft.forward(x.data(), X.data());
    fft.forward(y.data(), Y.data());
    EXPECT_NEAR(std::abs(X[5]), n / 2.0, 1e-3);
    EXPECT_NEAR(std::arg(Y[5] / X[5]), float(-2 * M_PI * 5 * d / n), 1e-4);
}

TEST(Stft, OverlapAddGivesBackEverySampleFromTheFirst) {
    struct Case {
        int n, a, channels;
    };
    for (Case c : {Case{512, 160, 2}, Case{64, 64, 1}, Case{64, 48, 1}, Case{63, 20, 3}}) {
        SCOPED_TRACE("N=" + std::to_string(c.n) + " A=" + std::to_string(c.a));
        const int frames = 40, bins = c.n / 2 + 1;
        std::vector<std::vector<float>> signal;
        for (int r = 0; r < c.channels; ++r) signal.push_back(noise(size_t(frames * c.a), 7 + r));
        SpectrumAnalyzer fft(c.n, c.a);
        OverlapAdd ola(c.n, c.a, c.channels);
        std::vector<std::complex<float>> spectra(size_t(bins * c.channels));
        std::vector<float> out(size_t(c.n * c.channels));
        int ahead = overlapFrames(c.n, c.a);
        double worst = 0;
        for (int k = 0; k < frames; ++k) {
            for (int j = ola.added(); j <= k + ahead; ++j) {
                for (int r = 0; r < c.channels; ++r)
                    fft.forward(frameOf(signal[r], j, c.n, c.a).data(), spectra.data() + r * bins);
                ola.add(spectra.data());
            }
            ola.take(out.data());
            for (int r = 0; r < c.channels; ++r) {
                std::vector<float> expected = frameOf(signal[r], k, c.n, c.a);
                // Samples before the stream's first are never written.
                for (int i = std::max(0, c.n - c.a - k * c.a); i < c.n; ++i)
                    worst = std::max(worst, double(std::abs(out[r * c.n + i] - expected[i])));
            }
        }
        EXPECT_LT(worst, 0.01);  // far below half a 16-bit step
    }
}

TEST(Stft, OverlapAddRefusesToRunAheadOrBehind) {
    OverlapAdd ola(8, 4, 1);
    std::vector<std::complex<float>> spectrum(5);
    std::vector<float> out(8);
    ola.add(spectrum.data());
    EXPECT_THROW(ola.take(out.data()), std::logic_error);  // frame 1 not added yet
    ola.add(spectrum.data());
    EXPECT_THROW(ola.add(spectrum.data()), std::logic_error);  // frame 2 before frame 0 was taken
    ola.take(out.data());
    EXPECT_THROW(OverlapAdd(8, 9, 1), std::invalid_argument);
    EXPECT_THROW(OverlapAdd(8, 4, 0), std::invalid_argument);
}
