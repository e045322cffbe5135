// networks/localize.n run by flowrun on a recording from a known direction.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/localization/synthetic.h"

namespace {

// The "azimuth" values of each line of a SourceListWriter file, checking the frame numbers.
std::vector<std::vector<double>> readAzimuths(const std::string& path) {
    std::vector<std::vector<double>> frames;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        EXPECT_EQ(std::atoi(line.c_str() + line.find("\"frame\":") + 8), int(frames.size())) << line;
        frames.emplace_back();
        for (size_t at = line.find("\"azimuth\":"); at != std::string::npos;
             at = line.find("\"azimuth\":", at + 1)) {
            EXPECT_NE(line.substr(at + 10, 4), "null") << line;
            frames.back().push_back(std::atof(line.c_str() + at + 10));
        }
    }
    return frames;
}

}  // namespace

TEST(LocalizeNetwork, RecordingFromAKnownDirection) {
    char dirTemplate[] = "/tmp/test_localize.XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    ASSERT_TRUE(synthetic::writeWav(dir + "/in.wav", synthetic::renderFreeField(-35.0, 77)));
    const std::string cmd = std::string(FLOWRUN) + " " + NETWORKS_DIR + "/localize.n --quiet INPUT=" + dir +
                            "/in.wav LOCALIZED=" + dir + "/localized.jsonl TRACKED=" + dir +
                            "/tracked.jsonl 2>" + dir + "/stderr </dev/null";
    const int status = std::system(cmd.c_str());
    std::ostringstream err;
    err << std::ifstream(dir + "/stderr").rdbuf();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err.str();

    const std::vector<std::vector<double>> localized = readAzimuths(dir + "/localized.jsonl");
    const std::vector<std::vector<double>> tracked = readAzimuths(dir + "/tracked.jsonl");
    for (const char* f : {"/in.wav", "/localized.jsonl", "/tracked.jsonl", "/stderr"})
        std::remove((dir + f).c_str());
    rmdir(dir.c_str());
    ASSERT_GE(localized.size(), 300u);
    ASSERT_EQ(tracked.size(), localized.size());
    for (int c = 0; c <= 50; ++c) EXPECT_TRUE(localized[size_t(c)].empty()) << c;  // the noise period
    for (int c = 65; c < 300; ++c) {
        ASSERT_FALSE(localized[size_t(c)].empty()) << c;
        EXPECT_NEAR(localized[size_t(c)][0], -35.0, 2.0) << "frame " << c;
    }
    for (int c = 90; c < 270; ++c) {
        ASSERT_EQ(tracked[size_t(c)].size(), 1u) << "frame " << c;
        EXPECT_NEAR(tracked[size_t(c)][0], -35.0, 2.0) << "frame " << c;
    }
}
