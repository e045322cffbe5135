// networks/localize.n as a user runs it with flowrun: a recording from a known
// direction comes out localized and tracked there; a silent or very short recording
// gives empty lists and no error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "localization/gcc_phat.h"
#include "tests/localization/synthetic.h"

namespace {

struct Frame {
    int frame = -1;
    std::vector<double> azimuths;
};

// Frames of a SourceListWriter file: the frame number and every "azimuth" value.
std::vector<Frame> readJsonLines(const std::string& path) {
    std::vector<Frame> frames;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        Frame f;
        f.frame = std::atoi(line.c_str() + line.find("\"frame\":") + 8);
        for (size_t at = line.find("\"azimuth\":"); at != std::string::npos;
             at = line.find("\"azimuth\":", at + 1)) {
            const std::string value = line.substr(at + 10, 4);
            EXPECT_NE(value, "null") << line;
            f.azimuths.push_back(std::atof(line.c_str() + at + 10));
        }
        frames.push_back(f);
    }
    return frames;
}

// The azimuth whose spherical-head delay is nearest to `delay`.
double sphericalAzimuthOf(double delay) {
    int best = 0;
    for (int a = 1; a < localization::kDirections; ++a)
        if (std::fabs(localization::steeringDelay(localization::HeadModel::SphericalHead, 18.0f, a) - delay) <
            std::fabs(localization::steeringDelay(localization::HeadModel::SphericalHead, 18.0f, best) -
                      delay))
            best = a;
    return best - 90;
}

class LocalizeNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/test_localize.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        for (const char* f : {"in.wav", "localized.jsonl", "tracked.jsonl", "stderr"})
            std::remove((dir_ + "/" + f).c_str());
        rmdir(dir_.c_str());
    }
    // Runs the network on `signal`; returns flowrun's exit status.
    int run(const synthetic::Stereo& signal, const std::string& extra = "") {
        EXPECT_TRUE(synthetic::writeWav(dir_ + "/in.wav", signal, 16000));
        const std::string cmd = std::string(FLOWRUN) + " " + NETWORKS_DIR +
                                "/localize.n --quiet INPUT=" + dir_ + "/in.wav LOCALIZED=" + dir_ +
                                "/localized.jsonl TRACKED=" + dir_ + "/tracked.jsonl " + extra + " 2>" +
                                dir_ + "/stderr </dev/null";
        const int raw = std::system(cmd.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    std::string stderrText() const {
        std::ifstream in(dir_ + "/stderr");
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_;
};

}  // namespace

TEST_F(LocalizeNetwork, RecordingFromAKnownDirectionBothHeadModels) {
    // Free field at -35 degrees; 3 s, the source starting at 0.6 s.
    const synthetic::Stereo audio = synthetic::renderFreeField(-35.0, 18.0, 16000, 3.0, 0.6, 20.0, 77);
    const double freeDelay = 18.0 * std::sin(-35.0 * 3.141592653589793 / 180.0) / 34050.0;
    for (const char* model : {"FREE_SPACE", "SPHERICAL_HEAD"}) {
        ASSERT_EQ(run(audio, std::string("HEAD_MODEL=") + model), 0) << stderrText();
        const std::vector<Frame> localized = readJsonLines(dir_ + "/localized.jsonl");
        const std::vector<Frame> tracked = readJsonLines(dir_ + "/tracked.jsonl");
        ASSERT_GE(localized.size(), 300u);  // every frame of 3 s, and those the last samples end
        ASSERT_EQ(tracked.size(), localized.size());
        for (int c = 0; c <= 50; ++c) EXPECT_TRUE(localized[size_t(c)].azimuths.empty()) << c;
        // The spherical head explains the same delay by another azimuth (-37 degrees).
        const double expected = std::string(model) == "FREE_SPACE" ? -35.0 : sphericalAzimuthOf(freeDelay);
        const double tolerance = 2.0;
        for (int c = 65; c < 300; ++c) {
            ASSERT_FALSE(localized[size_t(c)].azimuths.empty()) << c;
            EXPECT_NEAR(localized[size_t(c)].azimuths[0], expected, tolerance) << model << " frame " << c;
        }
        for (int c = 90; c < 270; ++c) {
            ASSERT_EQ(tracked[size_t(c)].azimuths.size(), 1u) << model << " frame " << c;
            EXPECT_NEAR(tracked[size_t(c)].azimuths[0], expected, tolerance) << model << " frame " << c;
            EXPECT_EQ(tracked[size_t(c)].frame, c);
        }
    }
}

TEST_F(LocalizeNetwork, SilentAndShortRecordingsGiveEmptyLists) {
    synthetic::Stereo silence;
    silence.left.assign(16000, 0.0);
    silence.right.assign(16000, 0.0);
    ASSERT_EQ(run(silence), 0) << stderrText();
    for (const char* file : {"/localized.jsonl", "/tracked.jsonl"}) {
        const std::vector<Frame> frames = readJsonLines(dir_ + file);
        EXPECT_GE(frames.size(), 100u);
        for (const Frame& f : frames) EXPECT_TRUE(f.azimuths.empty()) << file << " frame " << f.frame;
    }
    // Shorter than the noise period: every frame is still written, and empty.
    synthetic::Stereo blip;
    blip.left.assign(800, 1000.0);
    blip.right.assign(800, -1000.0);
    ASSERT_EQ(run(blip), 0) << stderrText();
    const std::vector<Frame> frames = readJsonLines(dir_ + "/tracked.jsonl");
    EXPECT_GE(frames.size(), 5u);
    for (const Frame& f : frames) EXPECT_TRUE(f.azimuths.empty());

    // A band beyond the spectrum stops the run with one readable line.
    EXPECT_NE(run(silence, "FREQUENCY_HIGH=9000"), 0);
    EXPECT_NE(stderrText().find("FREQUENCY_HIGH 9000"), std::string::npos) << stderrText();
}
