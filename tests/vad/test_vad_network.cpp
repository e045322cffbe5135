// networks/vad.n as a user runs it with flowrun: a loud stretch after a quiet lead-in
// comes out as one speech segment.
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

TEST(VadNetwork, LoudStretchAfterTheLeadInIsOneSegment) {
    char dirTemplate[] = "/tmp/test_vad_network.XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate, in = dir + "/in.wav", out = dir + "/segments.txt", err = dir + "/stderr";
    // 4 s at 16 kHz, two channels of quiet noise; harmonics of 200 Hz 30 dB above it from 1.5 s to 2.5 s.
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0.0f, 0.003f);
    std::vector<float> x(2 * 64000);
    for (size_t i = 0; i < 64000; ++i) {
        float voice = 0.0f;
        if (i >= 24000 && i < 40000)
            for (int h = 1; h <= 15; ++h) voice += 0.03f * std::sin(2.0f * float(M_PI) * 200.0f * h * i / 16000.0f);
        x[2 * i] = voice + g(rng);
        x[2 * i + 1] = voice + g(rng);
    }
    SF_INFO info{64000, 16000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* f = sf_open(in.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_float(f, x.data(), 64000);
    sf_close(f);

    const std::string cmd = std::string(FLOWRUN) + " " + NETWORKS_DIR + "/vad.n --quiet INPUT=" + in +
                            " OUTPUT=" + out + " 2>" + err + " </dev/null";
    const int status = std::system(cmd.c_str());
    std::ostringstream segments, stderrText;
    segments << std::ifstream(out).rdbuf();
    stderrText << std::ifstream(err).rdbuf();
    for (const std::string& file : {in, out, err}) std::remove(file.c_str());
    rmdir(dir.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << stderrText.str();

    std::istringstream lines(segments.str());
    double start = 0, end = 0;
    std::string label;
    ASSERT_TRUE(lines >> start >> end >> label) << segments.str();
    EXPECT_NEAR(start, 1.5, 0.05);
    EXPECT_NEAR(end, 2.5, 0.05);
    EXPECT_EQ(label, "speech");
    // The last frame is mostly the silence after the file, far quieter than the learned
    // noise: it may score as speech. Nothing else is found.
    while (lines >> start >> end >> label) EXPECT_GE(start, 4.0) << segments.str();
}
