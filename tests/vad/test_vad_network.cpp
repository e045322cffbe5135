// networks/vad.n run by flowrun: a loud stretch after the lead-in is one segment.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "tests/support/Files.h"

using namespace FD::testing;

TEST(VadNetwork, LoudStretchAfterTheLeadInIsOneSegment) {
    TempDir dir;
    // 4 s at 16 kHz of quiet noise; harmonics of 200 Hz 30 dB above it from 1.5 s to 2.5 s.
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0.0f, 0.003f);
    std::vector<float> x(2 * 64000);
    for (size_t i = 0; i < x.size(); ++i) {
        for (size_t t = i / 2, h = 1; h <= 15 && t >= 24000 && t < 40000; ++h)
            x[i] += 0.03f * std::sin(2.0f * float(M_PI) * 200.0f * h * t / 16000.0f);
        x[i] += g(rng);
    }
    writeWav(dir / "in.wav", 16000, 2, x);

    const Outcome run =
        flowrun(network("vad.n") + " --quiet INPUT=" + (dir / "in.wav") + " OUTPUT=" + (dir / "out.txt"));
    std::ifstream lines(dir / "out.txt");
    std::string label;
    double start = 0, end = 0;
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(lines >> start >> end >> label);
    EXPECT_NEAR(start, 1.5, 0.05);
    EXPECT_NEAR(end, 2.5, 0.05);
    EXPECT_EQ(label, "speech");
    while (lines >> start >> end >> label) EXPECT_GE(start, 4.0);  // the padded last frame may score
}
