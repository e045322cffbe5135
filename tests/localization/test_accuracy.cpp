// White noise rendered from a known direction (free field, 18 cm, 16 kHz, 20 dB SNR) through
// short-time spectra, the localization node and the tracker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "localization/BinauralMultisourceLocalization.h"
#include "localization/BinauralMultisourceTracker.h"
#include "tests/localization/synthetic.h"

using FD::testing::NodeHarness;

namespace {

// All frames of `node`'s only output, fed `frames` (then `after`) on `input`.
std::vector<FD::ObjectRef> runAll(FD::Node* node, const char* input, const char* output,
                                  const std::vector<FD::ObjectRef>& frames, FD::ObjectRef after) {
    NodeHarness h(node);
    h.feed(input, FD::testing::framesScript(frames, after), int(frames.size()));
    h.initialize();
    return h.run(output, int(frames.size()));
}

}  // namespace

TEST(Accuracy, BroadbandSourceFromEveryDirection) {
    constexpr int kFirstSourceFrame = 60;  // onset 0.6 s at 160 / 16000
    std::srand(1);
    for (int azimuth = -80; azimuth <= 80; azimuth += 5) {
        SCOPED_TRACE(azimuth);
        const std::vector<FD::ObjectRef> spectra =
            synthetic::shortTimeSpectra(synthetic::renderFreeField(azimuth, unsigned(1000 + azimuth)));
        const int frames = int(spectra.size());
        const std::vector<FD::ObjectRef> localized =
            runAll(new BinauralMultisourceLocalization("loc", synthetic::locParams()), "AUDIO_SPECTRUM",
                   "ESTIMATED_DOA", spectra, FD::ObjectRef(new synthetic::Spectrum(2, 257)));
        const std::vector<FD::ObjectRef> tracked =
            runAll(new BinauralMultisourceTracker("trk", synthetic::trackParams(0.5f)), "ESTIMATED_DOA",
                   "TRACKED_DOA", localized, synthetic::sourceList({}));
        const double tolerance = std::abs(azimuth) <= 60 ? 2.0 : 5.0;
        double worstLocalized = 0.0, worstTracked = 0.0;
        for (int c = kFirstSourceFrame; c < frames; ++c) {
            const std::vector<synthetic::Detection> d = synthetic::detections(localized[size_t(c)]);
            ASSERT_FALSE(d.empty()) << "frame " << c;
            const auto strongest = std::max_element(
                d.begin(), d.end(), [](const auto& a, const auto& b) { return a.power < b.power; });
            worstLocalized = std::max(worstLocalized, std::fabs(strongest->azimuth - azimuth));
        }
        // Tracked frames whose whole window (c - 25 .. c + 24) holds the source.
        for (int c = kFirstSourceFrame + 25; c + 24 < frames; ++c) {
            const std::vector<synthetic::Detection> d = synthetic::detections(tracked[size_t(c)]);
            ASSERT_EQ(d.size(), 1u) << "frame " << c;
            worstTracked = std::max(worstTracked, std::fabs(d[0].azimuth - azimuth));
        }
        std::printf("%4d degrees: worst localized error %.0f, tracked %.0f\n", azimuth, worstLocalized,
                    worstTracked);
        EXPECT_LE(worstLocalized, tolerance);
        EXPECT_LE(worstTracked, tolerance);
    }
}
