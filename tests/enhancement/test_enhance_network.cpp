// networks/enhance.n run by flowrun: after learning the background drops, a harmonic tone stays.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/support/Files.h"

using namespace FD::testing;

constexpr int kRate = 16000, kSamples = 3 * kRate;

// RMS level in dB of seconds [from, to) of the interleaved stereo signal.
static double level(const std::vector<float>& x, double from, double to) {
    double sum = 0.0;
    const size_t a = size_t(from * kRate) * 2, b = size_t(to * kRate) * 2;
    for (size_t i = a; i < b; ++i) sum += double(x[i]) * x[i];
    return 10.0 * std::log10(sum / double(b - a) + 1e-30);
}

TEST(EnhanceNetwork, BackgroundDropsAndTheToneStays) {
    TempDir dir;
    std::mt19937 rng(11);  // white noise; harmonics of 200 Hz 20 dB above it from 1.5 s to 2.5 s
    std::normal_distribution<float> g(0.0f, 0.01f);
    std::vector<float> x(2 * kSamples);
    for (size_t i = 0; i < x.size(); ++i) {
        float voice = 0.0f;
        for (int h = 1; i / 2 >= 24000 && i / 2 < 40000 && h <= 10; ++h)
            voice += 0.03f * std::sin(2.0f * float(M_PI) * 200.0f * h * int(i / 2) / kRate);
        x[i] = voice + g(rng);
    }
    writeWav(dir / "in.wav", kRate, 2, x);
    const Outcome run =
        flowrun(network("enhance.n") + " --quiet INPUT=" + (dir / "in.wav") + " OUTPUT=" + (dir / "out.wav") +
                " METHOD=MINIMUM_MEAN_SQUARE_ERROR HARMONIC_REGENERATION=USE" + " NOISE_PERIOD=1.0");
    EXPECT_EQ(run.status, 0) << run.err;
    const Wav out = readWav(dir / "out.wav");
    ASSERT_TRUE(out.channels == 2 && out.frames() == kSamples && out.rate == kRate);
    const std::vector<float> y = out.normalized();
    EXPECT_LT(level(y, 0.0, 0.9), -90.0);  // learning: silent
    EXPECT_LT(level(y, 1.1, 1.4), level(x, 1.1, 1.4) - 10.0);
    EXPECT_NEAR(level(y, 1.7, 2.3), level(x, 1.7, 2.3), 3.0);
}

TEST(EnhanceNetwork, AFanStartingMidRecordingIsLearnedByBothNetworks) {
    // espeak-ng speech; a fan (band-limited noise and mains hum) from 6 s at 5 dB SNR.
    // enhance.n and vad.n with their defaults: at least +4 dB SNR after the fan starts, and
    // at least 55 % of the speech frames found with at most 15 % false alarms.
    const int status = std::system((std::string("/usr/bin/python3 ") + SCRIPTS_DIR +
                                    "/eval_noise_update.py --check --flowrun " + FLOWRUN + " </dev/null")
                                       .c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
