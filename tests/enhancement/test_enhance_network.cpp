// networks/enhance.n as a user runs it with flowrun: after the learning stretch the
// background drops while a harmonic tone keeps its level.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 16000, kSamples = 3 * kRate;

// RMS level in dB of seconds [from, to) of both channels, interleaved.
double level(const std::vector<float>& x, double from, double to) {
    double sum = 0.0;
    const size_t a = size_t(from * kRate) * 2, b = size_t(to * kRate) * 2;
    for (size_t i = a; i < b; ++i) sum += double(x[i]) * x[i];
    return 10.0 * std::log10(sum / double(b - a) + 1e-30);
}

}  // namespace

TEST(EnhanceNetwork, BackgroundDropsAndTheToneStays) {
    char dirTemplate[] = "/tmp/test_enhance_network.XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate, in = dir + "/in.wav", out = dir + "/out.wav", err = dir + "/stderr";
    // Two channels of white noise; harmonics of 200 Hz, 20 dB above it, from 1.5 s to 2.5 s.
    std::mt19937 rng(11);
    std::normal_distribution<float> g(0.0f, 0.01f);
    std::vector<float> x(2 * kSamples);
    for (int i = 0; i < kSamples; ++i) {
        float voice = 0.0f;
        if (i >= 24000 && i < 40000)
            for (int h = 1; h <= 10; ++h) voice += 0.03f * std::sin(2.0f * float(M_PI) * 200.0f * h * i / kRate);
        x[2 * size_t(i)] = voice + g(rng);
        x[2 * size_t(i) + 1] = voice + g(rng);
    }
    SF_INFO info{kSamples, kRate, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* f = sf_open(in.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_float(f, x.data(), kSamples);
    sf_close(f);

    const std::string cmd = std::string(FLOWRUN) + " " + NETWORKS_DIR + "/enhance.n --quiet INPUT=" + in +
                            " OUTPUT=" + out + " METHOD=MINIMUM_MEAN_SQUARE_ERROR HARMONIC_REGENERATION=USE" +
                            " NOISE_PERIOD=1.0 2>" + err + " </dev/null";
    const int status = std::system(cmd.c_str());
    std::ostringstream stderrText;
    stderrText << std::ifstream(err).rdbuf();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << stderrText.str();

    SF_INFO outInfo{};
    f = sf_open(out.c_str(), SFM_READ, &outInfo);
    std::vector<float> y(size_t(outInfo.frames) * 2);
    if (f) {
        sf_readf_float(f, y.data(), outInfo.frames);
        sf_close(f);
    }
    for (const std::string& file : {in, out, err}) std::remove(file.c_str());
    rmdir(dir.c_str());
    ASSERT_EQ(outInfo.channels, 2);
    ASSERT_EQ(outInfo.frames, kSamples);
    ASSERT_EQ(outInfo.samplerate, kRate);
    EXPECT_LT(level(y, 0.0, 0.9), -90.0);  // learning stretch: silent
    EXPECT_LT(level(y, 1.1, 1.4), level(x, 1.1, 1.4) - 10.0);
    EXPECT_NEAR(level(y, 1.7, 2.3), level(x, 1.7, 2.3), 3.0);
}
