// The identity tracker on synthetic detection lists (10-ms frames, default settings):
// lasting ids through pauses, motion, crossings and twins; strays and bad input; the
// node's parameters, causality and output records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>

#include "localization/BinauralMultisourceLocalization.h"
#include "localization/SourceIdentityTracker.h"
#include "localization/identity_tracker.h"
#include "flow/Source.h"
#include "tests/localization/synthetic.h"
#include "tests/support/NodeHarness.h"

using namespace localization;
using FD::testing::hostError;
using FD::testing::Params;
using List = FD::Vector<FD::ObjectRef>;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.141592653589793;

// A talker: azimuth at time t (s), and whether it is heard then.
struct Talker {
    std::function<double(double)> azimuth;
    std::function<bool(double)> speaking;
};

// Runs the tracker for `seconds`; each speaking talker is detected in a frame with
// probability 0.6, its azimuth jittered by up to 2 degrees, score 0.6. Returns the
// reports per frame.
std::vector<std::vector<TrackReport>> track(const std::vector<Talker>& talkers, double seconds,
                                            unsigned seed = 1) {
    IdentityTracker tracker{IdentityTrackerSettings()};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::vector<TrackReport>> out;
    for (int k = 0; k * 0.01 < seconds; ++k) {
        std::vector<TrackDetection> d;
        for (const Talker& t : talkers)
            if (t.speaking(k * 0.01) && u(rng) < 0.6)
                d.push_back({t.azimuth(k * 0.01) + 4.0 * u(rng) - 2.0, 0.6});
        out.push_back(tracker.step(d.data(), int(d.size())));
    }
    return out;
}

// The id of the report nearest to `azimuth` if within `tolerance`, else -1.
int idNear(const std::vector<TrackReport>& reports, double azimuth, double tolerance = 5.0) {
    int id = -1;
    for (const TrackReport& r : reports)
        if (std::fabs(r.azimuth - azimuth) <= tolerance)
            id = r.id, tolerance = std::fabs(r.azimuth - azimuth);
    return id;
}

Talker still(
    double azimuth, std::function<bool(double)> speaking = [](double) { return true; }) {
    return {[azimuth](double) { return azimuth; }, std::move(speaking)};
}

}  // namespace

TEST(IdentityTracker, KeepsIdsThroughPausesMotionCrossingsAndCloseTalkers) {
    struct Case {
        const char* what;
        std::vector<Talker> talkers;
        double seconds;
    };
    const Case cases[] = {
        {"still talker pausing 1.2 s twice",
         {still(30, [](double t) { return t < 2.0 || (t > 3.2 && t < 5.0) || t > 6.2; })},
         8.0},
        {"one walks across another who is silent meanwhile",
         {{[](double t) { return -50.0 + 20.0 * t; }, [](double) { return true; }},
          still(0, [](double t) { return t < 1.9 || t > 3.1; })},
         4.5},
        {"two talkers 20 deg apart at once", {still(10), still(30)}, 5.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto reports = track(c.talkers, c.seconds);
        std::set<int> everId;
        for (const auto& frame : reports)
            for (const TrackReport& r : frame) everId.insert(r.id);
        EXPECT_EQ(everId.size(), c.talkers.size());
        std::map<size_t, int> idOf;  // talker -> its id, once confirmed
        for (size_t k = 30; k < reports.size(); ++k) {
            for (size_t i = 0; i < c.talkers.size(); ++i) {
                const double at = c.talkers[i].azimuth(k * 0.01);
                if (!c.talkers[i].speaking(k * 0.01)) continue;  // a silent talker's track may drift
                if (c.talkers.size() == 2 && std::fabs(c.talkers[1 - i].azimuth(k * 0.01) - at) < 10)
                    continue;
                const int id = idNear(reports[k], at);
                ASSERT_GE(id, 0) << "talker " << i << " untracked at frame " << k;
                ASSERT_EQ(idOf.emplace(i, id).first->second, id) << "talker " << i << " at frame " << k;
            }
        }
        EXPECT_TRUE(c.talkers.size() == 1 || idOf[0] != idOf[1]);
    }
}

TEST(IdentityTracker, NeverConfirmsStraysNorKeepsTwinsNorReusesIds) {
    // Strays: one detection every 3rd frame somewhere else, beside a talker at -40 degrees.
    IdentityTracker tracker{IdentityTrackerSettings()};
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> anywhere(-90.0, 90.0);
    for (int k = 0; k < 1000; ++k) {
        std::vector<TrackDetection> d{{-40.0 + (k % 3), 0.5}};
        if (k % 3 == 0) d.push_back({anywhere(rng), 0.9});
        const auto& r = tracker.step(d.data(), int(d.size()));
        ASSERT_LE(r.size(), 1u) << "frame " << k;
        ASSERT_TRUE(k <= 10 || (r.size() == 1 && r[0].id == 0)) << "frame " << k;
    }

    // Twins: two streams start 12 degrees apart (two ids), converge within 0.5 s onto one
    // talker seen as two peaks 2 degrees apart: one track remains, with the older id.
    const auto twins =
        track({{[](double t) { return 20.0 + 5.0 * std::min(1.0, std::max(0.0, 2 * (t - 1))); },
                [](double) { return true; }},
               {[](double t) { return 32.0 - 5.0 * std::min(1.0, std::max(0.0, 2 * (t - 1))); },
                [](double) { return true; }}},
              4.0);
    EXPECT_EQ(twins[90].size(), 2u);
    for (size_t k = 200; k < twins.size(); ++k) {
        ASSERT_EQ(twins[k].size(), 1u) << "frame " << k;
        EXPECT_EQ(twins[k][0].id, 0);
        EXPECT_NEAR(twins[k][0].azimuth, 26.0, 3.0);
    }

    // A talker silent for longer than the survival time comes back under a new id.
    const auto back = track({still(-10, [](double t) { return t < 1.0 || t > 3.0; })}, 4.0);
    EXPECT_EQ(idNear(back[90], -10), 0);
    EXPECT_TRUE(back[280].empty());
    EXPECT_EQ(idNear(back[390], -10), 1);
}

TEST(IdentityTracker, HungarianAssignmentMatchesExhaustiveSearch) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    for (int trial = 0; trial < 200; ++trial) {
        const int rows = 1 + trial % 4, cols = rows + trial % 3;
        std::vector<double> cost(size_t(rows * cols));
        for (double& c : cost) c = trial % 2 ? std::round(u(rng)) : u(rng);  // with ties, and without
        std::vector<int> columnOf(static_cast<size_t>(rows)), perm(static_cast<size_t>(cols));
        assignMinimumCost(cost.data(), rows, cols, columnOf.data());
        double got = 0.0, best = std::numeric_limits<double>::infinity();
        for (int r = 0; r < rows; ++r) got += cost[size_t(r * cols + columnOf[size_t(r)])];
        EXPECT_EQ(std::set<int>(columnOf.begin(), columnOf.end()).size(), size_t(rows));
        for (int c = 0; c < cols; ++c) perm[size_t(c)] = c;
        do {
            double sum = 0.0;
            for (int r = 0; r < rows; ++r) sum += cost[size_t(r * cols + perm[size_t(r)])];
            best = std::min(best, sum);
        } while (std::next_permutation(perm.begin(), perm.end()));
        EXPECT_NEAR(got, best, 1e-9) << "trial " << trial;
    }
}

namespace {

Params nodeParams() { return std::move(Params().i("ADVANCE", 160).i("SAMPLING_RATE", 16000)); }

FD::ObjectRef sources(const std::vector<std::array<float, 3>>& xyPower) {
    auto* list = new List();
    for (const auto& s : xyPower) {
        auto* src = new FD::Source();
        src->x[0] = s[0], src->x[1] = s[1], src->power = s[2];
        list->push_back(FD::ObjectRef(src));
    }
    return FD::ObjectRef(list);
}

}  // namespace

TEST(SourceIdentityTrackerNode, RefusesUnusableParametersNamingThem) {
    const std::pair<Params, const char*> cases[] = {
        {nodeParams().f("GATE", 0), "GATE"},
        {nodeParams().f("GATE", NAN), "GATE"},
        {nodeParams().f("MERGE_DISTANCE", -1), "MERGE_DISTANCE"},
        {nodeParams().f("CONFIRMATION_TIME", 0.7f), "CONFIRMATION_TIME"},  // 70 frames > 64
        {nodeParams().i("CONFIRMATION_HITS", 21), "CONFIRMATION_HITS"},    // of 20 frames
        {nodeParams().i("CONFIRMATION_HITS", 0), "CONFIRMATION_HITS"},
        {nodeParams().f("SURVIVAL_TIME", INFINITY), "SURVIVAL_TIME"},
        {nodeParams().f("PROCESS_NOISE", -1), "PROCESS_NOISE"},
        {nodeParams().f("MEASUREMENT_NOISE", 0), "MEASUREMENT_NOISE"},
        {nodeParams().f("SCORE_TIME", -0.1f), "SCORE_TIME"},
        {nodeParams().i("ADVANCE", 0), "ADVANCE"},
    };
    for (const auto& [params, name] : cases) {
        const std::string e = hostError([&] { delete new SourceIdentityTracker("ids", params); });
        EXPECT_NE(e.find("SourceIdentityTracker \"ids\": " + std::string(name) + " must"), std::string::npos)
            << e;
        EXPECT_NE(e.find("got"), std::string::npos) << e;
    }
    EXPECT_EQ(
        hostError([] { delete new SourceIdentityTracker("ids", nodeParams().i("CONFIRMATION_HITS", 20)); }),
        "");
}

TEST(SourceIdentityTrackerNode, CausalAndFiniteOnEmptyOrNonFiniteInput) {
    // Frames: a talker at +30 degrees (power 0.8), amid empty lists, NaN and infinite
    // directions and NaN powers.
    const float c = std::cos(0.5235988f), s = std::sin(0.5235988f), inf = INFINITY;
    FD::testing::NodeHarness h(new SourceIdentityTracker("ids", nodeParams()));
    auto& input = h.feed("ESTIMATED_DOA", [&](int k) {
        switch (k % 4) {
            case 0:
                return sources({});
            case 1:
                return sources({{c, s, 0.8f}, {float(kNaN), 0.5f, 0.5f}});
            case 2:
                return sources({{c, s, float(kNaN)}, {inf, inf, 1.0f}, {0.0f, 0.0f, 0.2f}});
            default:
                return sources({{c, s, 0.8f}});
        }
    });
    h.initialize();
    std::set<int> ids;
    for (int k = 0; k < 200; ++k) {
        const FD::RCPtr<List> out(h.pull("TRACKED_DOA", k));
        ASSERT_EQ(input.maxRequested(), k) << "looked ahead";
        for (const FD::ObjectRef& e : *out) {
            const FD::RCPtr<FD::Source> src(e);
            ASSERT_TRUE(std::isfinite(src->x[0] + src->x[1] + src->power)) << "frame " << k;
            if (std::fabs(std::atan2(src->x[1], src->x[0]) * 57.29578f - 30.0f) < 1.0f) ids.insert(src->id);
            EXPECT_TRUE(k <= 100 || std::fabs(src->power - 0.4f) < 0.05f)
                << src->power;  // 0.8 in 2 frames of 4
        }
    }
    EXPECT_EQ(ids, std::set<int>{0});
}

namespace {

// The three-talker scene of scripts/talkers_scene.py with noise bursts for voices (150 to
// 400 ms on, 50 to 300 ms off): 24 s at 16 kHz, 18 cm free field, delays changing sample
// by sample (16-tap windowed-sinc reads), sensor noise 40 dB below.
struct SceneTalker {
    std::vector<std::pair<double, double>> speaking;  // intervals, s
    double t0, a0, t1, a1;                            // azimuth a0 until t0, linear to a1 at t1
    double azimuth(double t) const {
        return t <= t0 ? a0 : t >= t1 ? a1 : a0 + (a1 - a0) * (t - t0) / (t1 - t0);
    }
    bool active(double t) const {
        for (auto [a, b] : speaking)
            if (t >= a && t < b) return true;
        return false;
    }
};
const SceneTalker kScene[] = {{{{1.0, 11.0}, {12.2, 23.0}}, 1.0, -60.0, 21.0, 30.0},
                              {{{3.0, 13.0}, {14.3, 23.5}}, 0.0, 50.0, 1.0, 50.0},
                              {{{2.5, 9.5}}, 0.0, -5.0, 1.0, -5.0}};
constexpr int kRate = 16000, kSamples = 24 * kRate;

std::array<std::vector<double>, 2> renderScene() {
    std::mt19937 rng(13);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::array<std::vector<double>, 2> out{std::vector<double>(kSamples), std::vector<double>(kSamples)};
    for (const SceneTalker& talker : kScene) {
        std::vector<double> s(kSamples, 0.0);
        for (auto [start, end] : talker.speaking)
            for (double t = start; t < end;) {
                const double on = 0.15 + 0.25 * u(rng), gain = 2000.0 * (0.5 + 0.5 * u(rng));
                for (int n = int(t * kRate); n < std::min(end, t + on) * kRate; ++n)
                    s[size_t(n)] = gain * gauss(rng);
                t += on + 0.05 + 0.25 * u(rng);
            }
        for (int n = 0; n < kSamples; ++n) {
            const double tau =
                18.0 * std::sin(talker.azimuth(double(n) / kRate) * kPi / 180) / 34050.0 * kRate;
            for (int ch = 0; ch < 2; ++ch) {  // left hears it tau / 2 late, right tau / 2 early
                const double at = n + (ch ? tau / 2 : -tau / 2), base = std::floor(at), f = at - base;
                const double sinPf = std::sin(kPi * f);
                double y = 0.0;
                for (int k = -7; k <= 8; ++k) {
                    const int i = int(base) + k;
                    if (i < 0 || i >= kSamples) continue;
                    const double x = k - f, w = 1.0 - (x / 8.5) * (x / 8.5);
                    y += s[size_t(i)] * w * w *
                         (std::fabs(x) < 1e-9 ? 1.0 : -((k % 2) ? -1 : 1) * sinPf / (kPi * x));
                }
                out[size_t(ch)][size_t(n)] += y;
            }
        }
    }
    for (auto& ch : out)
        for (double& v : ch) v += 20.0 * gauss(rng);
    return out;
}

}  // namespace

TEST(IdentityTrackerScene, ThreeTalkersWalkingPausingAndOverlapping) {
    const auto x = renderScene();
    const std::vector<FD::ObjectRef> spectra =  // sqrt-Hann, as the host's analysis
        synthetic::spectraOf(x, 160, [](int i) { return std::sin(kPi * (i + 0.5) / 512); });
    const int frames = int(spectra.size());

    FD::testing::NodeHarness loc(
        new BinauralMultisourceLocalization("loc", Params()
                                                       .f("MICS_DISTANCE", 18)
                                                       .f("GCCPHAT_THRESHOLD", 0.2f)
                                                       .s("SOUND_DIFFRACTION_COMPENSATION", "FREE_SPACE")
                                                       .i("ADVANCE", 160)
                                                       .i("SAMPLING_RATE", 16000)
                                                       .f("FREQUENCY_HIGH", 4000)
                                                       .f("FREQUENCY_LOW", 500)
                                                       .f("NOISE_DURATION", 0.5f)));
    loc.feed("AUDIO_SPECTRUM", FD::testing::framesScript(spectra));
    loc.initialize();
    FD::testing::NodeHarness ids(new SourceIdentityTracker("ids", nodeParams()));
    ids.feed("ESTIMATED_DOA", FD::testing::framesScript(loc.run("ESTIMATED_DOA", frames)));
    ids.initialize();
    const std::vector<FD::ObjectRef> tracks = ids.run("TRACKED_DOA", frames);

    // Coverage within 10 degrees and id changes per talker; entries near no present talker.
    int idChanges = 0, entries = 0, stray = 0;
    for (const SceneTalker& talker : kScene) {
        int active = 0, covered = 0, last = -1;
        for (int k = 0; k < frames; ++k) {
            const double t = k * 0.01;
            if (!talker.active(t)) continue;
            ++active;
            double best = 10.0;
            int id = -1;
            for (const FD::ObjectRef& e : *FD::RCPtr<List>(tracks[size_t(k)])) {
                const FD::RCPtr<FD::Source> s(e);
                const double d = std::fabs(std::atan2(s->x[1], s->x[0]) * 180 / kPi - talker.azimuth(t));
                if (d <= best) best = d, id = s->id;
            }
            if (id < 0) continue;
            ++covered, idChanges += last >= 0 && id != last, last = id;
        }
        EXPECT_GE(covered, 0.8 * active) << "talker at " << talker.a0;
    }
    for (int k = 0; k < frames; ++k)
        for (const FD::ObjectRef& e : *FD::RCPtr<List>(tracks[size_t(k)])) {
            const FD::RCPtr<FD::Source> s(e);
            bool near = false;
            for (const SceneTalker& talker : kScene)
                near =
                    near ||
                    (k * 0.01 >= talker.speaking.front().first && k * 0.01 < talker.speaking.back().second &&
                     std::fabs(std::atan2(s->x[1], s->x[0]) * 180 / kPi - talker.azimuth(k * 0.01)) <= 10);
            ++entries, stray += !near;
        }
    EXPECT_LE(idChanges, 3);
    EXPECT_LE(stray, 0.1 * entries) << stray << " of " << entries;
}
