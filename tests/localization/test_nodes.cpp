// Both nodes through the host: refused configurations, the noise period, ids and threshold,
// the tracker's window, and corrupt input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "localization/BinauralMultisourceLocalization.h"
#include "localization/BinauralMultisourceTracker.h"
#include "localization/gcc_phat.h"
#include "tests/localization/synthetic.h"

using FD::testing::hostError;
using FD::testing::Params;
using Script = FD::testing::ScriptedSource::Script;
using namespace synthetic;

namespace {

const float kInf = std::numeric_limits<float>::infinity(), kNaN = std::nanf("");

float freeDelay(int degrees) {
    return localization::steeringDelay(localization::HeadModel::FreeSpace, 18.0f, degrees + 90);
}

std::vector<FD::ObjectRef> localize(const Params& p, int frames, const Script& script) {
    FD::testing::NodeHarness h(new BinauralMultisourceLocalization("loc", p));
    h.feed("AUDIO_SPECTRUM", script);
    h.initialize();
    return h.run("ESTIMATED_DOA", frames);
}

std::vector<FD::ObjectRef> track(float seconds, int frames, const Script& script) {
    FD::testing::NodeHarness h(new BinauralMultisourceTracker("trk", trackParams(seconds)));
    h.feed("ESTIMATED_DOA", script);
    h.initialize();
    return h.run("TRACKED_DOA", frames);
}

// Degrees a little away from 0 so that the read-back truncates to the whole number.
double exactly(int degrees) { return degrees + (degrees < 0 ? -0.3 : 0.3); }

void expectAll(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& p : parts) EXPECT_NE(text.find(p), std::string::npos) << p << " in: " << text;
    EXPECT_TRUE(!parts.empty() || text.empty()) << text;
}

}  // namespace

TEST(Nodes, RefuseUnusableParameters) {
    std::vector<std::pair<Params, std::vector<std::string>>> loc = {
        {locParams().s("SOUND_DIFFRACTION_COMPENSATION", "free_space"),
         {"BinauralMultisourceLocalization \"loc\"", "\"free_space\"", "\"FREE_SPACE\"",
          "\"SPHERICAL_HEAD\""}},
        {locParams().s("SOUND_DIFFRACTION_COMPENSATION", "SPHERICAL_HEAD"), {}},
        {locParams().i("ADVANCE", 0), {"\"loc\"", "ADVANCE", "0"}},
        {locParams().i("SAMPLING_RATE", -16000), {"SAMPLING_RATE", "-16000"}}};
    std::vector<std::pair<Params, std::vector<std::string>>> trk = {
        {trackParams(0.5f).i("ADVANCE", -160), {"BinauralMultisourceTracker \"trk\": ADVANCE"}},
        {trackParams(0.5f).i("SAMPLING_RATE", 0), {"SAMPLING_RATE"}}};
    for (float bad : {kInf, kNaN, 1e30f}) {
        loc.push_back({locParams().f("NOISE_DURATION", bad), {"\"loc\"", "NOISE_DURATION"}});
        trk.push_back({trackParams(bad), {"\"trk\"", "CLUSTERING_DURATION"}});
    }
    for (const auto& [p, parts] : loc)
        expectAll(hostError([&] { delete new BinauralMultisourceLocalization("loc", p); }), parts);
    for (const auto& [p, parts] : trk)
        expectAll(hostError([&] { delete new BinauralMultisourceTracker("trk", p); }), parts);
}

TEST(LocalizationNode, RefusesSpectraThatDoNotFit) {
    const std::tuple<Params, int, int, std::vector<std::string>> first[] = {
        {locParams().f("FREQUENCY_HIGH", 9000.0f),
         2,
         257,
         {"\"loc\"", "frame 0", "FREQUENCY_HIGH 9000", "bins 16 up to 290", "257 bins", "0 to 255"}},
        {locParams().f("FREQUENCY_LOW", 4000.0f).f("FREQUENCY_HIGH", 500.0f), 2, 257, {"bins 129 up to 16"}},
        {locParams(), 1, 257, {"frame 0", "AUDIO_SPECTRUM", "2 rows", "1 x 257"}},
        {locParams(), 2, 1, {"frame 0", "2 columns", "2 x 1"}},
        {locParams(), 2, 129, {}},  // 62 Hz per bin: bins 8 up to 64
        {locParams(), 3, 257, {}},  // further rows are ignored
    };
    for (const auto& [p, rows, cols, parts] : first) {
        SCOPED_TRACE(testing::Message() << rows << " x " << cols);
        expectAll(
            hostError([&] { localize(p, 1, [&](int) { return FD::ObjectRef(new Spectrum(rows, cols)); }); }),
            parts);
    }
    // A spectrum that changes size later, or an object that is no spectrum, names its frame.
    const std::pair<FD::ObjectRef, std::vector<std::string>> later[] = {
        {FD::ObjectRef(new Spectrum(2, 513)), {"\"loc\"", "frame 3", "257 bins", "2 x 513"}},
        {FD::ObjectRef(new Spectrum(2, 129)), {"\"loc\"", "frame 3", "257 bins", "2 x 129"}},
        {FD::ObjectRef(new FD::Float(1.0f)),
         {"frame 3", "AUDIO_SPECTRUM", "Matrix<complex<float>>", "got float"}},
    };
    for (const auto& [bad, parts] : later)
        expectAll(hostError([&] {
                      localize(locParams(), 4,
                               [&](int c) { return c < 3 ? FD::ObjectRef(new Spectrum(2, 257)) : bad; });
                  }),
                  parts);
}

TEST(LocalizationNode, LearnsNoiseOverFramesOneToNnMinusOneThenReports) {
    // Frames 0 and Nn are loud and must not count; frames 1 .. Nn - 1 carry the noise, the sum
    // divided by Nn: with Nn = 50 and |G| = 1e4 the noise is 9800, and |G| = 4e4 weighs 0.755.
    // No learned noise (Nn = 1, or silence) gives full weight, not NaN.
    const struct {
        float seconds;
        int nn;
        float noise, power, tolerance;
    } cases[] = {
        {0.5f, 50, 100.0f, 0.755f, 5e-4f}, {0.0f, 1, 0.0f, 1.0f, 1e-4f}, {0.05f, 5, 0.0f, 1.0f, 1e-4f}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.seconds);
        std::mt19937 rng(5);
        const std::vector<FD::ObjectRef> out =
            localize(locParams().f("NOISE_DURATION", k.seconds), k.nn + 3, [&](int c) -> FD::ObjectRef {
                if (c == 0 || c == k.nn) return delayedPair(257, freeDelay(25), 1e4f, rng);
                if (c < k.nn) return uncorrelated(257, k.noise, rng);
                return delayedPair(257, freeDelay(25), 200.0f, rng);
            });
        for (int c = 0; c <= k.nn; ++c) EXPECT_TRUE(detections(out[size_t(c)]).empty()) << "frame " << c;
        for (int c = k.nn + 1; c < k.nn + 3; ++c) {
            const std::vector<Detection> d = detections(out[size_t(c)]);
            ASSERT_EQ(d.size(), 1u) << "frame " << c;
            EXPECT_NEAR(d[0].azimuth, 25.0, 1e-4);
            EXPECT_EQ(d[0].id, 0);
            EXPECT_NEAR(d[0].power, k.power, k.tolerance);
        }
    }
}

TEST(LocalizationNode, TwoSourcesGetIdsInAzimuthOrderAndTheThresholdConsumesNoId) {
    // Even bins: +40 degrees, |G| 4e4; odd bins: -30 degrees, |G| 2e4; noise 1e4. Each
    // pattern tilts the other's peak by up to a degree.
    std::vector<bool> even(256), odd(256);
    for (int k = 0; k < 256; ++k) (k % 2 ? odd : even)[size_t(k)] = true;
    auto run = [&](float threshold) {
        std::mt19937 rng(8);
        Params p = locParams().f("GCCPHAT_THRESHOLD", threshold).f("NOISE_DURATION", 0.03f);  // Nn = 3
        return detections(localize(p, 5, [&](int c) {
                              if (c < 3) return FD::ObjectRef(uncorrelated(257, 100.0f, rng));
                              auto s = delayedPair(257, freeDelay(40), 200.0f, rng, &even);
                              auto t = delayedPair(257, freeDelay(-30), 141.42136f, rng, &odd);
                              for (int k = 0; k < 257; ++k)
                                  (*s)(0, k) += (*t)(0, k), (*s)(1, k) += (*t)(1, k);
                              return FD::ObjectRef(s);
                          }).back());
    };
    const std::vector<Detection> both = run(0.1f);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_NEAR(both[0].azimuth, -30.0, 1.0 + 1e-4);
    EXPECT_NEAR(both[1].azimuth, 40.0, 1.0 + 1e-4);
    EXPECT_EQ(std::make_pair(both[0].id, both[1].id), std::make_pair(0, 1));
    EXPECT_GT(both[1].power, both[0].power);
    // Between the two heights the -30 degree peak is dropped and takes no id; the threshold
    // equal to the louder score drops that one too.
    const std::vector<Detection> louder = run((both[0].power + both[1].power) / 2);
    ASSERT_EQ(louder.size(), 1u);
    EXPECT_NEAR(louder[0].azimuth, 40.0, 1.0 + 1e-4);
    EXPECT_EQ(louder[0].id, 0);
    EXPECT_EQ(run(both[1].power).size(), 0u);
}

TEST(LocalizationNode, CorruptAndSilentSpectraNeverGiveNaN) {
    const std::complex<float> bad[] = {{kNaN, kNaN}, {kInf, -kInf}, 0.0f, {3e30f, -3e30f}};
    std::mt19937 rng(9);
    const long before = FD::Object::liveCount();
    {
        // Frames 4, 9, ... are clean; the others are corrupt (every third bin for infinity) or silent.
        const std::vector<FD::ObjectRef> out =
            localize(locParams().f("NOISE_DURATION", 0.05f), 40, [&](int c) {
                auto s = delayedPair(257, freeDelay(10), 300.0f, rng);
                for (int k = 0; c % 5 < 4 && k < 257; k += c % 5 == 1 ? 3 : 1)
                    (*s)(0, k) = (*s)(1, k) = bad[c % 5];
                return FD::ObjectRef(s);
            });
        for (const FD::ObjectRef& frame : out)
            for (const Detection& d : detections(frame)) ASSERT_TRUE(std::isfinite(d.azimuth + d.power));
        EXPECT_EQ(detections(out[39]).size(), 1u);  // corrupt frames spoil no later one
    }
    EXPECT_EQ(FD::Object::liveCount(), before);
}

TEST(TrackerNode, WindowIsCentredAndReadsHalfAWindowAhead) {
    // 0.5 s: N = 50, reads c + 25. 0.015 s: N = 2 in single precision (1 in double), reads c + 1.
    for (auto [seconds, ahead] : {std::pair<float, int>{0.5f, 25}, {0.015f, 1}}) {
        FD::testing::NodeHarness h(new BinauralMultisourceTracker("trk", trackParams(seconds)));
        auto& in = h.feed("ESTIMATED_DOA", [](int) { return sourceList({}); });
        h.initialize();
        h.pull("TRACKED_DOA", 0);
        EXPECT_EQ(in.requested(), std::vector<int>{ahead});
        h.pull("TRACKED_DOA", 3);
        EXPECT_EQ(in.maxRequested(), 3 + ahead);
    }
}

TEST(TrackerNode, DetectionsEnterAndLeaveTheWindow) {
    // N = 4, reading 2 ahead: three detections at 17 degrees in input frame 2 are seen by
    // output frames 0 .. 3 only.
    const std::vector<FD::ObjectRef> out =
        track(0.04f, 6, [](int c) { return sourceList(std::vector<double>(c == 2 ? 3 : 0, exactly(17))); });
    for (int c = 0; c < 6; ++c) {
        const std::vector<Detection> d = detections(out[size_t(c)]);
        ASSERT_EQ(d.size(), c < 4 ? 1u : 0u) << "frame " << c;
        EXPECT_TRUE(c >= 4 || (std::fabs(d[0].azimuth - 17.0) < 1e-5 && d[0].id == 0));
    }
    // A window shorter than half a frame (N = 0) keeps nothing.
    for (const FD::ObjectRef& frame : track(0.004f, 3, [](int) { return sourceList({40, 40, 40}); }))
        EXPECT_TRUE(detections(frame).empty());
}

TEST(TrackerNode, TwoGroupsGiveTwoDirections) {
    std::srand(42);
    const std::vector<FD::ObjectRef> out = track(0.5f, 60, [](int c) {
        return sourceList({exactly(-40 + c % 5 - 2), exactly(20 - c % 5 + 2)});
    });
    EXPECT_TRUE(detections(out[0]).empty());  // only input frame 25: two detections
    for (int c = 1; c < 60; ++c) {
        std::vector<Detection> d = detections(out[size_t(c)]);
        ASSERT_EQ(d.size(), 2u) << "frame " << c;
        EXPECT_EQ(std::make_pair(d[0].id, d[1].id), std::make_pair(0, 1));
        if (d[0].azimuth > d[1].azimuth) std::swap(d[0].azimuth, d[1].azimuth);
        EXPECT_NEAR(d[0].azimuth, -40.0, 2.0);
        EXPECT_NEAR(d[1].azimuth, 20.0, 2.0);
    }
}

TEST(TrackerNode, BadAndEmptyListsNeitherCrashNorDraw) {
    // Empty lists and non-finite directions: no detections, no draw from rand().
    std::srand(7);
    const int first = std::rand();
    std::srand(7);
    for (const FD::ObjectRef& frame : track(0.04f, 6, [](int c) {
             FD::ObjectRef list = sourceList(c == 2 ? std::vector<double>{exactly(5), exactly(6), 0, 0}
                                                    : std::vector<double>{});
             if (c == 2) {
                 auto& v = *FD::RCPtr<FD::Vector<FD::ObjectRef>>(list);
                 FD::RCPtr<FD::Source>(v[2])->x[0] = kNaN;
                 FD::RCPtr<FD::Source>(v[3])->x[1] = kInf;
             }
             return list;
         }))
        EXPECT_TRUE(detections(frame).empty());
    EXPECT_EQ(std::rand(), first);

    // A list holding something else, or no list at all, is named.
    const long before = FD::Object::liveCount();
    expectAll(
        hostError([] {
            track(0.04f, 2, [](int c) {
                FD::ObjectRef list = sourceList({exactly(10), exactly(11), exactly(12)});
                if (c == 4) list = FD::ObjectRef(new FD::Int(3));
                if (c == 3)
                    FD::RCPtr<FD::Vector<FD::ObjectRef>>(list)->push_back(FD::ObjectRef(new FD::Float(1)));
                return list;
            });
        }),
        {"BinauralMultisourceTracker \"trk\"", "frame 1", "element 3", "frame 3", "float"});
    EXPECT_EQ(FD::Object::liveCount(), before);
    expectAll(hostError([] { track(0.04f, 1, [](int) { return FD::ObjectRef(); }); }), {"got nil"});
}
