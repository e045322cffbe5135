// networks/enhance.n run by flowrun: after learning the background drops, a harmonic tone stays.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

constexpr int kRate = 16000, kSamples = 3 * kRate;

// RMS level in dB of seconds [from, to) of the interleaved stereo signal.
static double level(const std::vector<float>& x, double from, double to) {
    double sum = 0.0;
    const size_t a = size_t(from * kRate) * 2, b = size_t(to * kRate) * 2;
    for (size_t i = a; i < b; ++i) sum += double(x[i]) * x[i];
    return 10.0 * std::log10(sum / double(b - a) + 1e-30);
}

TEST(EnhanceNetwork, BackgroundDropsAndTheToneStays) {
    const std::string dir = "/tmp/test_enhance_network." + std::to_string(getpid());
    const std::string in = dir + ".in.wav", out = dir + ".out.wav";
    std::mt19937 rng(11);  // white noise; harmonics of 200 Hz 20 dB above it from 1.5 s to 2.5 s
    std::normal_distribution<float> g(0.0f, 0.01f);
    std::vector<float> x(2 * kSamples), y;
    for (size_t i = 0; i < x.size(); ++i) {
        float voice = 0.0f;
        for (int h = 1; i / 2 >= 24000 && i / 2 < 40000 && h <= 10; ++h)
            voice += 0.03f * std::sin(2.0f * float(M_PI) * 200.0f * h * int(i / 2) / kRate);
        x[i] = voice + g(rng);
    }
    SF_INFO info{kSamples, kRate, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* f = sf_open(in.c_str(), SFM_WRITE, &info);
    ASSERT_TRUE(f && sf_writef_float(f, x.data(), kSamples) == kSamples && sf_close(f) == 0);
    const int status = std::system(
        (std::string(FLOWRUN) + " " + NETWORKS_DIR + "/enhance.n --quiet INPUT=" + in + " OUTPUT=" + out +
         " METHOD=MINIMUM_MEAN_SQUARE_ERROR" + " HARMONIC_REGENERATION=USE NOISE_PERIOD=1.0 </dev/null")
            .c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);  // its messages went to stderr
    info = SF_INFO{};
    if ((f = sf_open(out.c_str(), SFM_READ, &info))) {
        y.resize(size_t(info.frames) * 2);
        sf_readf_float(f, y.data(), info.frames);
        sf_close(f);
    }
    for (const std::string& file : {in, out}) std::remove(file.c_str());
    ASSERT_TRUE(info.channels == 2 && info.frames == kSamples && info.samplerate == kRate);
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
