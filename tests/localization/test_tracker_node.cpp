// The tracker node through the host: window length and look-ahead, what enters and
// leaves the window, clustering of two groups, robustness against bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "localization/BinauralMultisourceTracker.h"
#include "tests/localization/synthetic.h"
#include "tests/support/NodeHarness.h"

using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

Params trackerParams(float seconds) {
    Params p;
    p.i("ADVANCE", 160).i("SAMPLING_RATE", 16000).f("CLUSTERING_DURATION", seconds);
    return p;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (FD::BaseException* e) {
        std::string m = e->message();
        delete e;
        return m;
    }
    return "";
}

// Degrees a little away from 0 so that the read-back truncates to the whole number.
double exactly(int degrees) { return degrees + (degrees < 0 ? -0.3 : 0.3); }

std::vector<int> ids(const FD::ObjectRef& list) {
    std::vector<int> out;
    for (const FD::ObjectRef& e : *FD::RCPtr<FD::Vector<FD::ObjectRef>>(list)) {
        FD::RCPtr<FD::Source> s(e);
        EXPECT_EQ(s->power, 1.0f);
        out.push_back(s->id);
    }
    return out;
}

}  // namespace

TEST(TrackerNode, RefusesUnusableParameters) {
    auto build = [](const Params& p) { delete new BinauralMultisourceTracker("trk", p); };
    EXPECT_NE(errorOf([&] { build(trackerParams(0.5f).i("ADVANCE", -160)); }).find("\"trk\": ADVANCE"),
              std::string::npos);
    EXPECT_NE(errorOf([&] { build(trackerParams(0.5f).i("SAMPLING_RATE", 0)); }).find("SAMPLING_RATE"),
              std::string::npos);
    for (float bad : {std::numeric_limits<float>::infinity(), std::nanf(""), -1.0f, 1e30f})
        EXPECT_NE(errorOf([&] { build(trackerParams(bad)); }).find("CLUSTERING_DURATION"), std::string::npos)
            << bad;
}

TEST(TrackerNode, WindowIsCentredAndReadsHalfAWindowAhead) {
    // 0.5 s at 160 / 16000: N = 50, frame c reads input c + 25. 0.015 s gives N = 2 in
    // single precision (1 in double), so frame c reads input c + 1.
    for (auto [seconds, ahead] : {std::pair<float, int>{0.5f, 25}, {0.015f, 1}}) {
        NodeHarness h(new BinauralMultisourceTracker("trk", trackerParams(seconds)));
        auto& in = h.feed("ESTIMATED_DOA", [](int) { return synthetic::sourceList({}); });
        h.initialize();
        h.pull("TRACKED_DOA", 0);
        EXPECT_EQ(in.requested(), std::vector<int>{ahead});
        h.pull("TRACKED_DOA", 3);
        EXPECT_EQ(in.maxRequested(), 3 + ahead);
    }
}

TEST(TrackerNode, DetectionsEnterAndLeaveTheWindow) {
    // N = 4 (0.04 s), reading 2 frames ahead. Input frame 2 holds three detections at
    // 17 degrees and every other frame is empty: output frames 0 .. 3 see them, frame 4
    // no longer does (the empty frames pushed it out).
    NodeHarness h(new BinauralMultisourceTracker("trk", trackerParams(0.04f)));
    h.feed("ESTIMATED_DOA", [](int c) {
        return c == 2 ? synthetic::sourceList({exactly(17), exactly(17), exactly(17)})
                      : synthetic::sourceList({});
    });
    h.initialize();
    const std::vector<FD::ObjectRef> out = h.run("TRACKED_DOA", 6);
    for (int c = 0; c < 4; ++c) {
        const std::vector<double> az = synthetic::azimuths(out[size_t(c)]);
        ASSERT_EQ(az.size(), 1u) << "frame " << c;
        EXPECT_NEAR(az[0], 17.0, 1e-5);
        EXPECT_EQ(ids(out[size_t(c)]), std::vector<int>{0});
    }
    EXPECT_TRUE(synthetic::azimuths(out[4]).empty());

    // Two detections are never clustered, whatever their directions.
    NodeHarness two(new BinauralMultisourceTracker("trk", trackerParams(0.04f)));
    two.feed("ESTIMATED_DOA", [](int c) {
        return c == 2 ? synthetic::sourceList({exactly(17), exactly(17)}) : synthetic::sourceList({});
    });
    two.initialize();
    for (const FD::ObjectRef& frame : two.run("TRACKED_DOA", 4))
        EXPECT_TRUE(synthetic::azimuths(frame).empty());

    // Detections at one direction give that direction as read back from the records:
    // whole degrees of the single-precision arc tangent, here of a record at 40 degrees.
    NodeHarness same(new BinauralMultisourceTracker("trk", trackerParams(0.015f)));
    same.feed("ESTIMATED_DOA", [](int) { return synthetic::sourceList({40.0, 40.0, 40.0}); });
    same.initialize();
    FD::RCPtr<FD::Vector<FD::ObjectRef>> probe(synthetic::sourceList({40.0}));
    int readBack = 0;
    ASSERT_TRUE(localization::wholeDegrees(FD::RCPtr<FD::Source>((*probe)[0])->x[0],
                                           FD::RCPtr<FD::Source>((*probe)[0])->x[1], &readBack));
    EXPECT_TRUE(readBack == 39 || readBack == 40);
    for (const FD::ObjectRef& frame : same.run("TRACKED_DOA", 3)) {
        const std::vector<double> az = synthetic::azimuths(frame);
        ASSERT_EQ(az.size(), 1u);
        EXPECT_NEAR(az[0], readBack, 1e-5);
    }

    // A window shorter than half a frame (N = 0) keeps nothing.
    NodeHarness none(new BinauralMultisourceTracker("trk", trackerParams(0.004f)));
    none.feed("ESTIMATED_DOA", [](int) { return synthetic::sourceList({40.0, 40.0, 40.0}); });
    none.initialize();
    for (const FD::ObjectRef& frame : none.run("TRACKED_DOA", 3))
        EXPECT_TRUE(synthetic::azimuths(frame).empty());
}

TEST(TrackerNode, TwoGroupsGiveTwoDirections) {
    // A window of 50 frames alternating detections around -40 and +20 degrees (+-2).
    NodeHarness h(new BinauralMultisourceTracker("trk", trackerParams(0.5f)));
    h.feed("ESTIMATED_DOA", [](int c) {
        const int wobble = c % 5 - 2;
        return synthetic::sourceList({exactly(-40 + wobble), exactly(20 - wobble)});
    });
    h.initialize();
    std::srand(42);
    // Frame 0 sees only input frame 25 (two detections: no clustering).
    EXPECT_TRUE(synthetic::azimuths(h.pull("TRACKED_DOA", 0)).empty());
    for (int c = 1; c < 60; ++c) {
        const FD::ObjectRef out = h.pull("TRACKED_DOA", c);
        std::vector<double> az = synthetic::azimuths(out);
        ASSERT_EQ(az.size(), 2u) << "frame " << c;
        EXPECT_EQ(ids(out), (std::vector<int>{0, 1}));
        std::sort(az.begin(), az.end());
        EXPECT_NEAR(az[0], -40.0, 2.0);
        EXPECT_NEAR(az[1], 20.0, 2.0);
    }
}

TEST(TrackerNode, DrawsOnlyWhenClusteringAndSkipsNonFiniteDirections) {
    // Windows of at most two detections draw nothing from rand(); non-finite directions
    // do not count as detections.
    const float nan = std::nanf("");
    NodeHarness h(new BinauralMultisourceTracker("trk", trackerParams(0.04f)));
    h.feed("ESTIMATED_DOA", [nan](int c) {
        FD::ObjectRef list = synthetic::sourceList(c == 2 ? std::vector<double>{exactly(5), exactly(6), 0, 0}
                                                          : std::vector<double>{});
        if (c == 2) {
            auto& v = *FD::RCPtr<FD::Vector<FD::ObjectRef>>(list);
            FD::RCPtr<FD::Source>(v[2])->x[0] = nan;
            FD::RCPtr<FD::Source>(v[3])->x[1] = std::numeric_limits<float>::infinity();
        }
        return list;
    });
    h.initialize();
    std::srand(7);
    const int first = std::rand();
    std::srand(7);
    for (const FD::ObjectRef& frame : h.run("TRACKED_DOA", 6))
        EXPECT_TRUE(synthetic::azimuths(frame).empty());
    EXPECT_EQ(std::rand(), first);
}

TEST(TrackerNode, BadListsAreNamedAndObjectsReleased) {
    const long before = FD::Object::liveCount();
    {
        NodeHarness h(new BinauralMultisourceTracker("trk", trackerParams(0.04f)));
        h.feed("ESTIMATED_DOA", [](int c) -> FD::ObjectRef {
            if (c == 4) return FD::ObjectRef(new FD::Int(3));
            FD::ObjectRef list = synthetic::sourceList({exactly(10), exactly(11), exactly(12)});
            if (c == 3)
                FD::RCPtr<FD::Vector<FD::ObjectRef>>(list)->push_back(FD::ObjectRef(new FD::Float(1)));
            return list;
        });
        h.initialize();
        EXPECT_EQ(synthetic::azimuths(h.pull("TRACKED_DOA", 0)).size(), 1u);
        const std::string err = errorOf([&] { h.pull("TRACKED_DOA", 1); });
        for (const char* part :
             {"BinauralMultisourceTracker \"trk\"", "frame 1", "element 3", "frame 3", "float"})
            EXPECT_NE(err.find(part), std::string::npos) << part << " in: " << err;
    }
    EXPECT_EQ(FD::Object::liveCount(), before);
    {
        NodeHarness h(new BinauralMultisourceTracker("trk", trackerParams(0.04f)));
        h.feed("ESTIMATED_DOA", [](int) { return FD::ObjectRef(); });
        h.initialize();
        EXPECT_NE(errorOf([&] { h.pull("TRACKED_DOA", 0); }).find("got nil"), std::string::npos);
    }
}
