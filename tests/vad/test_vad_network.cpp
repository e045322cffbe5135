// networks/vad.n as a user runs it with flowrun: a loud stretch after a quiet lead-in
// comes out as one speech segment; a sampling rate too low for the band stops the run
// with one readable line.
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

class VadNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/test_vad_network.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        writeRecording();
    }
    void TearDown() override {
        for (const char* f : {"in.wav", "segments.txt", "stderr"}) std::remove((dir_ + "/" + f).c_str());
        rmdir(dir_.c_str());
    }

    // 4 s at 16 kHz, two channels: quiet noise, with harmonics of 200 Hz 30 dB above
    // it from 1.5 s to 2.5 s.
    void writeRecording() {
        std::mt19937 rng(7);
        std::normal_distribution<float> g(0.0f, 0.003f);
        std::vector<float> x(2 * 64000);
        for (size_t i = 0; i < 64000; ++i) {
            float voice = 0.0f;
            if (i >= 24000 && i < 40000)
                for (int h = 1; h <= 15; ++h)
                    voice += 0.03f * std::sin(2.0f * float(M_PI) * 200.0f * h * i / 16000.0f);
            x[2 * i] = voice + g(rng);
            x[2 * i + 1] = voice + g(rng);
        }
        SF_INFO info{};
        info.samplerate = 16000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((dir_ + "/in.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_float(f, x.data(), 64000);
        sf_close(f);
    }

    int run(const std::string& extra = "") {
        const std::string cmd = std::string(FLOWRUN) + " " + NETWORKS_DIR + "/vad.n --quiet INPUT=" + dir_ +
                                "/in.wav OUTPUT=" + dir_ + "/segments.txt " + extra + " 2>" + dir_ +
                                "/stderr </dev/null";
        const int raw = std::system(cmd.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
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

TEST_F(VadNetwork, LoudStretchAfterTheLeadInIsOneSegment) {
    ASSERT_EQ(run(), 0) << text("stderr");
    std::istringstream lines(text("segments.txt"));
    double start = 0, end = 0;
    std::string label;
    ASSERT_TRUE(lines >> start >> end >> label) << text("segments.txt");
    EXPECT_NEAR(start, 1.5, 0.05);
    EXPECT_NEAR(end, 2.5, 0.05);
    EXPECT_EQ(label, "speech");
    // The stream's last frame is mostly the silence after the file: far quieter than
    // the learned noise, it scores as unlike it as a loud frame. Nothing else is found.
    while (lines >> start >> end >> label) EXPECT_GE(start, 4.0) << text("segments.txt");
}

TEST_F(VadNetwork, BandBeyondTheSpectrumStopsTheRun) {
    EXPECT_NE(run("SAMPLING_RATE=6000"), 0);
    EXPECT_NE(
        text("stderr").find("VoiceActivityDetection \"vad\": AUDIO_SPECTRUM needs the 300-3400 Hz band"),
        std::string::npos)
        << text("stderr");
}
