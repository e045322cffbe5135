// networks/enhance.n as a user runs it with flowrun: the background after the learning
// stretch drops while a harmonic tone keeps its level, with every method; a
// spectrum regeneration cannot take stops the run with one readable line.
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

constexpr int kRate = 16000;
constexpr int kSamples = 3 * kRate;

class EnhanceNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/test_enhance_network.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        writeRecording();
    }
    void TearDown() override {
        for (const char* f : {"in.wav", "out.wav", "stderr"}) std::remove((dir_ + "/" + f).c_str());
        rmdir(dir_.c_str());
    }

    // 3 s, two channels of independent white noise; harmonics of 200 Hz, 20 dB above the
    // noise, from 1.5 s to 2.5 s.
    void writeRecording() {
        std::mt19937 rng(11);
        std::normal_distribution<float> g(0.0f, 0.01f);
        std::vector<float> x(2 * kSamples);
        for (int i = 0; i < kSamples; ++i) {
            float voice = 0.0f;
            if (i >= 24000 && i < 40000)
                for (int h = 1; h <= 10; ++h)
                    voice += 0.03f * std::sin(2.0f * float(M_PI) * 200.0f * h * i / kRate);
            x[2 * size_t(i)] = voice + g(rng);
            x[2 * size_t(i) + 1] = voice + g(rng);
        }
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((dir_ + "/in.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_float(f, x.data(), kSamples);
        sf_close(f);
    }

    int run(const std::string& extra) {
        const std::string cmd = std::string(FLOWRUN) + " " + NETWORKS_DIR +
                                "/enhance.n --quiet INPUT=" + dir_ + "/in.wav OUTPUT=" + dir_ + "/out.wav " +
                                extra + " 2>" + dir_ + "/stderr </dev/null";
        const int raw = std::system(cmd.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }

    // Samples of both channels, interleaved.
    std::vector<float> read(const std::string& name, SF_INFO& info) const {
        SNDFILE* f = sf_open((dir_ + "/" + name).c_str(), SFM_READ, &info);
        if (!f) return {};
        std::vector<float> x(size_t(info.frames) * size_t(info.channels));
        sf_readf_float(f, x.data(), info.frames);
        sf_close(f);
        return x;
    }

    // RMS level in dB of seconds [from, to) of both channels.
    static double level(const std::vector<float>& x, double from, double to) {
        double sum = 0.0;
        const size_t a = size_t(from * kRate) * 2, b = size_t(to * kRate) * 2;
        for (size_t i = a; i < b; ++i) sum += double(x[i]) * x[i];
        return 10.0 * std::log10(sum / double(b - a) + 1e-30);
    }

    std::string text(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_;
};

}  // namespace

TEST_F(EnhanceNetwork, BackgroundDropsAndTheToneStays) {
    SF_INFO inInfo{};
    const std::vector<float> in = read("in.wav", inInfo);
    for (const char* method : {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                               "MINIMUM_MEAN_SQUARE_ERROR"}) {
        for (const char* regen : {"NO", "USE"}) {
            SCOPED_TRACE(std::string(method) + " " + regen);
            ASSERT_EQ(run(std::string("METHOD=") + method + " HARMONIC_REGENERATION=" + regen +
                          " NOISE_PERIOD=1.0"),
                      0)
                << text("stderr");
            SF_INFO info{};
            const std::vector<float> out = read("out.wav", info);
            ASSERT_EQ(info.channels, 2);
            ASSERT_EQ(info.frames, inInfo.frames);
            ASSERT_EQ(info.samplerate, kRate);
            EXPECT_LT(level(out, 0.0, 0.9), -90.0);  // learning stretch: silent
            // Power subtraction leaves (P - lambda) where the noise peaks above its mean, about
            // 4 dB below the noise; the other rules take far more away.
            const double drop = std::string(method) == "SPECTRAL_SUBTRACTION" ? 3.0 : 10.0;
            EXPECT_LT(level(out, 1.1, 1.4), level(in, 1.1, 1.4) - drop);
            EXPECT_NEAR(level(out, 1.7, 2.3), level(in, 1.7, 2.3), 3.0);
        }
    }
}

TEST_F(EnhanceNetwork, RegenerationOnASpectrumItCannotTakeStopsTheRun) {
    EXPECT_NE(run("HARMONIC_REGENERATION=USE LENGTH=500"), 0);
    EXPECT_NE(text("stderr").find("SpeechEnhancement \"enhance\": HARMONIC_REGENERATION needs a spectrum of "
                                  "2^k+1 columns (k >= 1), got 251 (frame 0)"),
              std::string::npos)
        << text("stderr");
    // Without regeneration the same length is fine.
    EXPECT_EQ(run("LENGTH=500"), 0) << text("stderr");
}
