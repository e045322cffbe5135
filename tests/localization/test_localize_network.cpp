// networks/localize.n run by flowrun on a recording from a known direction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "tests/localization/synthetic.h"
#include "tests/support/Files.h"

using namespace FD::testing;

TEST(LocalizeNetwork, RecordingFromAKnownDirection) {
    TempDir dir;
    {  // 16-bit stereo WAV at 16 kHz
        const synthetic::Stereo x = synthetic::renderFreeField(-35.0, 77);
        std::vector<short> samples;
        for (size_t i = 0; i < x[0].size(); ++i)
            for (double v : {x[0][i], x[1][i]})
                samples.push_back(short(std::lround(std::clamp(v, -32768.0, 32767.0))));
        writeWav(dir / "in.wav", 16000, 2, samples);
    }
    const Outcome run = flowrun(network("localize.n") + " --quiet INPUT=" + (dir / "in.wav") +
                                " LOCALIZED=" + (dir / "localized.jsonl") +
                                " TRACKED=" + (dir / "tracked.jsonl") + " TRACKS=" + (dir / "tracks.jsonl"));
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::vector<double>> azimuths[3];  // per line of the localized, tracked and tracks files
    int otherIds = 0;                              // one talker: the tracks file holds id 0 only
    for (int i = 0; i < 3; ++i) {
        std::ifstream in(dir / (i == 0 ? "localized.jsonl" : i == 1 ? "tracked.jsonl" : "tracks.jsonl"));
        for (std::string line; std::getline(in, line);) {
            azimuths[i].emplace_back();
            for (size_t at = line.find("\"azimuth\":"); at != std::string::npos;
                 at = line.find("\"azimuth\":", at + 1))
                azimuths[i].back().push_back(std::atof(line.c_str() + at + 10));
            for (size_t at = line.find("\"id\":"); i == 2 && at != std::string::npos;
                 at = line.find("\"id\":", at + 1))
                otherIds += line.compare(at, 7, "\"id\":0,") != 0;
        }
    }
    ASSERT_GE(azimuths[0].size(), 300u);
    ASSERT_EQ(azimuths[1].size(), azimuths[0].size());
    ASSERT_EQ(azimuths[2].size(), azimuths[0].size());
    EXPECT_EQ(otherIds, 0);
    for (size_t c = 0; c < 300; ++c) {  // nothing in the noise period, then -35 degrees
        SCOPED_TRACE(c);
        const std::vector<double>&loc = azimuths[0][c], &trk = azimuths[1][c], &lasting = azimuths[2][c];
        EXPECT_TRUE(c > 50 || loc.empty());
        EXPECT_TRUE(c < 65 || (!loc.empty() && std::fabs(loc[0] + 35.0) <= 2.0))
            << testing::PrintToString(loc);
        EXPECT_TRUE(c < 90 || c >= 270 || (trk.size() == 1 && std::fabs(trk[0] + 35.0) <= 2.0))
            << testing::PrintToString(trk);
        EXPECT_TRUE(c < 75 || (lasting.size() == 1 && std::fabs(lasting[0] + 35.0) <= 2.0))
            << testing::PrintToString(lasting);
    }
}
