// The runner as a user meets it: exit status, one readable line per error, the
// round trip of a recording, resampling.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>

#include "tests/flow/AudioFiles.h"

using namespace FD::testing;

namespace {

struct Result {
    int status = -1;
    std::string err;
    size_t lines() const { return size_t(std::count(err.begin(), err.end(), '\n')); }
};

Result flowrun(const ScratchDir& dir, const std::string& args) {
    std::string cmd = std::string(FLOWRUN) + " " + args + " >/dev/null 2>" + (dir / "stderr") + " </dev/null";
    int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), slurp(dir / "stderr")};
}

const std::string kRoundTrip = std::string(NETWORKS_DIR) + "/roundtrip.n";

}  // namespace

TEST(Flowrun, RoundTripReproducesAStereoRecording) {
    ScratchDir dir;
    std::vector<short> s = noise(2 * 16037, 11);
    writeWav(dir / "a.wav", 16000, 2, s);
    Result r = flowrun(dir, kRoundTrip + " INPUT=" + (dir / "a.wav") + " OUTPUT=" + (dir / "b.wav"));
    EXPECT_EQ(r.status, 0) << r.err;
    // 16037 samples: frames up to the one whose 512 samples still reach the last sample.
    EXPECT_EQ(r.err.find("flowrun: " + kRoundTrip + ": 103 frames, 1.00 s of audio in "), 0u) << r.err;
    Wav b = readWav(dir / "b.wav");
    EXPECT_EQ(b.rate, 16000);
    EXPECT_EQ(b.channels, 2);
    EXPECT_TRUE(b.samples == s);
}

TEST(Flowrun, ResamplesToTheNetworkRate) {
    ScratchDir dir;
    std::vector<short> s(2 * 44100);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = short(5000 * std::sin(2 * M_PI * 440 * double(i / 2) / 44100));
    writeWav(dir / "a.wav", 44100, 2, s);
    Result r = flowrun(dir, kRoundTrip + " INPUT=" + (dir / "a.wav") + " OUTPUT=" + (dir / "b.wav") +
                                " SAMPLING_RATE=16000");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("is at 44100 Hz: resampling to 16000 Hz"), std::string::npos) << r.err;
    Wav b = readWav(dir / "b.wav");
    EXPECT_EQ(b.rate, 16000);
    EXPECT_EQ(b.frames(), 16000);
}

TEST(Flowrun, ErrorsAreOneLineEachAndFail) {
    ScratchDir dir;
    const std::string run = "flowrun: " + kRoundTrip + ": ";
    Result r = flowrun(dir, kRoundTrip + " OUTPUT=" + (dir / "b.wav") + " LENGTH=5l2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, run + "argument INPUT (string) has no value: give INPUT=... on the command line\n" + run +
                         "argument LENGTH=5l2 is not an int\n");

    r = flowrun(dir, kRoundTrip + " INPUT=" + (dir / "none.wav") + " OUTPUT=" + (dir / "b.wav"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.lines(), 1u) << r.err;
    EXPECT_NE(r.err.find("AudioFileSource \"audio\": cannot open " + (dir / "none.wav")), std::string::npos);

    // A file that breaks off in the middle of the run: an error naming it, no output.
    writeWav(dir / "cut.flac", 16000, 1, noise(64000, 5), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::filesystem::resize_file(dir / "cut.flac", std::filesystem::file_size(dir / "cut.flac") / 2);
    r = flowrun(dir, kRoundTrip + " INPUT=" + (dir / "cut.flac") + " OUTPUT=" + (dir / "b.wav"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.lines(), 1u) << r.err;
    EXPECT_NE(r.err.find("cut.flac is truncated"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "b.wav"));

    std::ofstream(dir / "bad.n") << "<document><network>\n<node name='a' type='AudioFileSource'>\n</document>";
    r = flowrun(dir, dir / "bad.n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "flowrun: " + (dir / "bad.n") + ":3: not well-formed XML: Start-end tags mismatch\n");
}
