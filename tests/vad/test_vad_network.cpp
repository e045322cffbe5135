#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <random>

TEST(VadNetwork, LoudStretchAfterTheLeadInIsOneSegment) {
    const std::string in = ::testing::TempDir() + "vad_in.wav", out = in + ".txt";
    // 4 s at 16 kHz of quiet noise; harmonics of 200 Hz 30 dB above it from 1.5 s to 2.5 s.
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0.0f, 0.003f);
    std::vector<float> x(2 * 64000);
    for (size_t i = 0; i < x.size(); ++i) {
        for (size_t t = i / 2, h = 1; h <= 15 && t >= 24000 && t < 40000; ++h)
            x[i] += 0.03f * std::sin(2.0f * float(M_PI) * 200.0f * h * t / 16000.0f);
        x[i] += g(rng);
    }
    SF_INFO info{64000, 16000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* f = sf_open(in.c_str(), SFM_WRITE, &info);
    ASSERT_TRUE(f && sf_writef_float(f, x.data(), 64000) == 64000 && sf_close(f) == 0);

    const std::string run = std::string(FLOWRUN) + " " + NETWORKS_DIR + "/vad.n --quiet INPUT=" + in;
    const int status = std::system((run + " OUTPUT=" + out + " </dev/null").c_str());
    std::ifstream lines(out);
    std::string label;
    double start = 0, end = 0;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && lines >> start >> end >> label);
    EXPECT_NEAR(start, 1.5, 0.05);
    EXPECT_NEAR(end, 2.5, 0.05);
    EXPECT_EQ(label, "speech");
    while (lines >> start >> end >> label) EXPECT_GE(start, 4.0);  // the padded last frame may score
    for (const std::string& file : {in, out}) std::remove(file.c_str());
}
