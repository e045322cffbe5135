// Noise that keeps being learned (NOISE_UPDATE "CONTINUOUS") against the noise learned once
// ("NONE"): synthetic spectra of two rows, coloured Gaussian noise and voiced harmonics, 10 ms
// frames; the speech and noise parts are kept apart, so that the noise left in the output
// (the bin gain |Y| / |X| applied to the noise part) and the SNR can be measured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <random>
#include <vector>

#include "enhancement/noise_tracker.h"
#include "enhancement/speech_enhancer.h"

using cfloat = std::complex<float>;
using enhancement::NoiseReductionMethod;
using enhancement::NoiseUpdate;
using enhancement::SpeechEnhancer;

namespace {

constexpr int kRows = 2, kCols = 257, kBins = kCols - 1, kLearning = 50;  // 0.5 s of noise first

// Noise power and harmonic power per frame; the harmonics of a 125 Hz voice sit on every 4th bin
// (power / h for harmonic h), their neighbours 10 dB lower.
struct Scene {
    std::function<float(int)> noise;
    std::function<float(int)> voice;
    std::function<float(int)> input = [](int) { return 1.0f; };  // 0: digital silence, NaN: broken frame
};

// Bursts of voice, 0.4 s on and 0.4 s off, from 0.6 s.
float bursts(int c) { return c >= 60 && (c - 60) % 80 < 40 ? 10.0f : 0.0f; }

struct Measured {
    std::vector<double> speech, noise, residual, error;  // per frame, summed over rows and bins
    std::vector<double> voiceOut;                        // output power on the harmonic bins
    bool finite = true;
};

Measured run(const Scene& scene, int frames, NoiseUpdate update,
             NoiseReductionMethod method = NoiseReductionMethod::WienerFiltering) {
    SpeechEnhancer enh(method, false, kLearning, update, 0.01);
    enh.start(kRows, kCols);
    std::mt19937 rng(77);
    std::normal_distribution<float> g(0.0f, std::sqrt(0.5f));
    std::uniform_real_distribution<float> phase(0.0f, 6.2831853f), jitter(-0.12f, 0.12f);
    std::vector<cfloat> s(kRows * kCols), n(kRows * kCols), x(kRows * kCols), y(kRows * kCols);
    Measured m;
    for (int c = 0; c < frames; ++c) {
        const float noise = scene.noise(c), voice = scene.voice(c);
        double sp = 0, np = 0, res = 0, err = 0, vo = 0;
        for (int r = 0; r < kRows; ++r)
            for (int k = 0; k < kCols; ++k) {
                const size_t i = size_t(r * kCols + k);
                const float shape = 1.0f / (1.0f + float(k) / 64.0f);
                n[i] = std::sqrt(noise * shape) * cfloat(g(rng), g(rng));
                const int h = (k + 1) / 4, off = k - 4 * h;
                const float harmonic =
                    h >= 1 && k < kBins && off != 2 ? voice / float(h) * (off == 0 ? 1.0f : 0.1f) : 0.0f;
                s[i] = std::polar(std::sqrt(harmonic) * (1.0f + jitter(rng)), phase(rng));
                x[i] = scene.input(c) * (s[i] + n[i]);
            }
        enh.processFrame(c, x.data(), y.data());
        for (int r = 0; r < kRows; ++r)
            for (int k = 0; k < kBins; ++k) {
                const size_t i = size_t(r * kCols + k);
                m.finite = m.finite && std::isfinite(y[i].real()) && std::isfinite(y[i].imag());
                const double gain = std::abs(x[i]) > 0 ? std::abs(y[i]) / std::abs(x[i]) : 0.0;
                sp += std::norm(s[i]);
                np += std::norm(n[i]);
                res += gain * gain * std::norm(n[i]);
                err += std::norm(y[i] - s[i]);
                if (std::norm(s[i]) > 0) vo += std::norm(y[i]);
            }
        m.speech.push_back(sp), m.noise.push_back(np), m.residual.push_back(res);
        m.error.push_back(err), m.voiceOut.push_back(vo);
    }
    return m;
}

double sum(const std::vector<double>& v, int from, int to) {
    double t = 0;
    for (int c = from; c < to; ++c) t += v[size_t(c)];
    return t;
}
double dB(double v) { return 10.0 * std::log10(v); }

// SNR gain over frames [from, to).
double snrGain(const Measured& m, int from, int to) {
    return dB(sum(m.speech, from, to) / sum(m.error, from, to)) -
           dB(sum(m.speech, from, to) / sum(m.noise, from, to));
}
// Noise left in the output over frames [from, to), relative to the noise in, in dB.
double residual(const Measured& m, int from, int to) {
    return dB(sum(m.residual, from, to) / sum(m.noise, from, to));
}

}  // namespace

TEST(NoiseUpdate, StationaryNoiseGivesTheSameGainAsNoiseLearnedOnce) {
    const Scene scene{[](int) { return 1.0f; }, bursts};
    for (auto method :
         {NoiseReductionMethod::SpectralSubtraction, NoiseReductionMethod::WienerFiltering,
          NoiseReductionMethod::TwoStepWienerFiltering, NoiseReductionMethod::MinimumMeanSquareError}) {
        const double once = snrGain(run(scene, 1000, NoiseUpdate::None, method), kLearning, 1000);
        const double kept = snrGain(run(scene, 1000, NoiseUpdate::Continuous, method), kLearning, 1000);
        EXPECT_NEAR(kept, once, 1.0) << int(method);
    }
}

TEST(NoiseUpdate, ANoiseStepIsLearnedWithinThreeSecondsAndASustainedVowelIsNot) {
    // 15 dB more noise from 5 s on, the bursts going on; the stationary case has it from the start.
    const Measured stepped =
        run({[](int c) { return c < 500 ? 1.0f : 31.6f; }, bursts}, 900, NoiseUpdate::Continuous);
    const Measured steady = run({[](int) { return 31.6f; }, bursts}, 900, NoiseUpdate::Continuous);
    EXPECT_GT(residual(stepped, 500, 550), residual(steady, 500, 550) + 6.0);   // not learned at once
    EXPECT_NEAR(residual(stepped, 775, 800), residual(steady, 775, 800), 3.0);  // by 3 s after the step

    // A vowel held for 2 s from 1.5 s: its output level stays where it started and where the
    // noise learned once leaves it.
    const Scene vowel{[](int) { return 1.0f; }, [](int c) { return c >= 150 && c < 350 ? 30.0f : 0.0f; }};
    const Measured kept = run(vowel, 400, NoiseUpdate::Continuous), once = run(vowel, 400, NoiseUpdate::None);
    for (int from : {150, 325})
        EXPECT_NEAR(dB(sum(kept.voiceOut, from, from + 25)), dB(sum(once.voiceOut, from, from + 25)), 2.0)
            << from;
}

TEST(NoiseUpdate, SilenceNaNFramesAndANoiseStepDownDoNotBreakIt) {
    // Digital silence from 2 s to 3 s, NaN frames at 3.5 s, 15 dB less noise from 5 s on.
    Scene scene{[](int c) { return c < 500 ? 31.6f : 1.0f; }, bursts,
                [](int c) { return c >= 200 && c < 300    ? 0.0f
                                   : c == 350 || c == 351 ? NAN
                                                          : 1.0f; }};
    const Measured m = run(scene, 900, NoiseUpdate::Continuous);
    const Measured steady = run({[](int) { return 1.0f; }, bursts}, 900, NoiseUpdate::Continuous);
    const Measured loud = run({[](int) { return 31.6f; }, bursts}, 900, NoiseUpdate::Continuous);
    EXPECT_TRUE(m.finite);
    EXPECT_NEAR(residual(m, 400, 500), residual(loud, 400, 500), 3.0);  // the noise of before the silence
    EXPECT_NEAR(residual(m, 700, 900), residual(steady, 700, 900), 3.0);
}

TEST(NoiseTracker, HoldsItsTimesInSecondsAtAnyFrameShift) {
    // Independent exponential powers (mean 1), 15 dB more from 5 s on; a tone 20 dB over the
    // noise held on every 8th bin from 0.5 s to 2.5 s.
    for (double shift : {0.004, 0.01, 0.016, 0.032}) {
        SCOPED_TRACE(shift);
        const int bins = 64;
        enhancement::NoiseTracker tracker(shift);
        tracker.start(bins);
        std::mt19937 rng(5);
        std::exponential_distribution<float> e(1.0f);
        std::vector<float> power(bins), noise(bins, 1.0f);
        double learned = -1.0, toneNoise = 0.0;
        for (int c = 0; c * shift < 9.0; ++c) {
            const double t = c * shift;
            for (int k = 0; k < bins; ++k)
                power[size_t(k)] =
                    e(rng) * (t >= 5.0 ? 31.6f : 1.0f) + (t >= 0.5 && t < 2.5 && k % 8 == 0 ? 100.0f : 0.0f);
            tracker.observe(power.data());
            tracker.follow(noise.data(), power.data());
            double mean = 0.0;  // of the bins between the tones
            for (int k = 4; k < bins; k += 8) mean += noise[size_t(k)] / (bins / 8);
            if (t >= 5.0 && learned < 0.0 && mean > 31.6 / 2.0) learned = t - 5.0;
            if (t < 5.0) toneNoise = std::max(toneNoise, double(noise[8]));
        }
        EXPECT_GT(learned, 2.0);  // not before the minimum window has passed
        EXPECT_LT(learned, 2.8);
        EXPECT_LT(toneNoise, 3.0);  // the held tone is not learned
    }
}
