// Score and clustering kernels, both nodes through the host, and white noise from known
// directions localized and tracked.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>
#include <type_traits>

#include "localization/BinauralMultisourceLocalization.h"
#include "localization/BinauralMultisourceTracker.h"
#include "localization/SourceIdentityTracker.h"
#include "localization/direction_clustering.h"
#include "localization/gcc_phat.h"
#include "localization/score_kernel.h"
#include "flow/Source.h"
#include "tests/localization/synthetic.h"
#include "tests/support/NodeHarness.h"

using namespace localization;
using namespace synthetic;
using FD::testing::hostError;
using FD::testing::Params;
using Script = FD::testing::ScriptedSource::Script;
using List = FD::Vector<FD::ObjectRef>;
using Spectrum = FD::Matrix<std::complex<float>>;

namespace {

const float kInf = std::numeric_limits<float>::infinity(), kNaN = std::nanf("");

using Loc = BinauralMultisourceLocalization;
using Trk = BinauralMultisourceTracker;

Params params(float clustering = 0.5f) {
    Params p;
    p.f("MICS_DISTANCE", 18).f("GCCPHAT_THRESHOLD", 0.1f).s("SOUND_DIFFRACTION_COMPENSATION", "FREE_SPACE");
    p.i("ADVANCE", 160).i("SAMPLING_RATE", 16000).f("FREQUENCY_HIGH", 4000).f("FREQUENCY_LOW", 500);
    return p.f("NOISE_DURATION", 0.5f).f("CLUSTERING_DURATION", clustering);
}

float freeDelay(int degrees) { return steeringDelay(HeadModel::FreeSpace, 18.0f, degrees + 90); }

// 257 bins at 16 kHz, random phases, row 0 row 1 delayed by `delay` s; if given, odd or even bins only.
FD::RCPtr<Spectrum> delayedPair(double delay, float magnitude, std::mt19937& rng, int parity = -1) {
    FD::RCPtr<Spectrum> s(new Spectrum(2, 257));
    std::uniform_real_distribution<double> phase(-kPi, kPi);
    for (int k = 0; k < 256; ++k) {
        const double p = phase(rng);
        if (parity >= 0 && k % 2 != parity) continue;
        (*s)(1, k) = std::polar(double(magnitude), p);
        (*s)(0, k) = std::polar(double(magnitude), p - 2.0 * kPi * 31.25 * k * delay);
    }
    return s;
}

// Source list at whole degrees, set a little away from 0 so that the read-back truncates to them.
FD::ObjectRef sourceList(const std::vector<int>& degrees) {
    auto* list = new List();
    for (size_t i = 0; i < degrees.size(); ++i) {
        auto* s = new FD::Source();
        const double a = (degrees[i] + (degrees[i] < 0 ? -0.3 : 0.3)) * kPi / 180;
        s->x[0] = float(std::cos(a)), s->x[1] = float(std::sin(a));
        s->power = 1.0f, s->id = int(i);
        list->push_back(FD::ObjectRef(s));
    }
    return FD::ObjectRef(list);
}

struct Detection {
    double azimuth;
    float power;
    int id;
};
std::vector<Detection> detections(const FD::ObjectRef& list) {
    std::vector<Detection> out;
    for (const FD::ObjectRef& e : *FD::RCPtr<List>(list)) {
        FD::RCPtr<FD::Source> s(e);
        out.push_back({std::atan2(double(s->x[1]), double(s->x[0])) * 180 / kPi, s->power, s->id});
    }
    return out;
}

// Frames 0 .. n - 1 of the node's output, its input fed by `script`.
template <class N>
std::vector<FD::ObjectRef> run(const Params& p, int n, const Script& script) {
    const bool loc = std::is_same_v<N, Loc>;
    FD::testing::NodeHarness h(new N(loc ? "loc" : "trk", p));
    h.feed(loc ? "AUDIO_SPECTRUM" : "ESTIMATED_DOA", script);
    h.initialize();
    return h.run(loc ? "ESTIMATED_DOA" : "TRACKED_DOA", n);
}

void expectAll(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& p : parts) EXPECT_NE(text.find(p), std::string::npos) << p << " in: " << text;
    EXPECT_TRUE(!parts.empty() || text.empty()) << text;
}

// Clustering draws landing on the given positions among n angles, in order.
DirectionClustering::Draw scripted(std::vector<int> positions, int n) {
    return [positions, n, i = size_t(0)]() mutable {
        EXPECT_LT(i, positions.size()) << "more draws than scripted";
        return int(((i < positions.size() ? positions[i++] : 0) + 0.5) / n * 2147483648.0);
    };
}

}  // namespace

TEST(Score, EveryVariantMatchesTheStraightforwardLoopBitForBit) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1000.0f, 1000.0f);
    for (HeadModel model : {HeadModel::FreeSpace, HeadModel::SphericalHead}) {
        SteeringTables t(model, 18.0f, 16000, 257, Band{16, 129});
        for (int trial = 0; trial < 6; ++trial) {
            std::vector<std::complex<float>> l(257), r(257);
            std::vector<float> noise(256), expected(kDirections, 0.0f);
            for (int k = 0; k < 257; ++k) l[size_t(k)] = {u(rng), u(rng)}, r[size_t(k)] = {u(rng), u(rng)};
            for (float& n : noise) n = std::fabs(u(rng)) * float(trial % 3) * 200.0f;  // some all-zero
            l[20] = 0.0f, r[40] = {kInf, 0.0f};
            for (int k = 16; k < 129; ++k) {
                const CrossBin g = crossSpectrum(l[size_t(k)], r[size_t(k)]);
                if (g.magnitude == 0.0f || !std::isfinite(g.magnitude)) continue;
                const float gr = g.gr / g.magnitude, gi = g.gi / g.magnitude;
                const float w = noiseWeight(g.magnitude, noise[size_t(k)]);
                for (int a = 0; a < kDirections; ++a)
                    expected[size_t(a)] += ((t.cosAt(a, k) * gr - t.sinAt(a, k) * gi) * w) / 113.0f;
            }
            for (detail::Isa isa : {detail::Isa::Generic, detail::Isa::Avx2}) {
                if (!detail::isaAvailable(isa)) continue;
                alignas(64) float score[kDirectionLanes];
                detail::scoreKernelFor(isa)(t, l.data(), r.data(), noise.data(), score);
                for (int a = 0; a < kDirections; ++a)
                    ASSERT_EQ(score[a], expected[size_t(a)]) << "isa " << int(isa) << " azimuth " << a - 90;
            }
        }
    }
}

TEST(Score, PeaksAtTheDelayedAzimuthWithBothHeadModels) {
    std::mt19937 rng(3);
    std::vector<float> noise(256, 10.0f);
    auto peaksOf = [&](HeadModel model, double delay) {
        SteeringTables t(model, 18.0f, 16000, 257, Band{16, 129});
        auto s = delayedPair(delay, 1000.0f, rng);
        alignas(64) float score[kDirectionLanes];
        directionScore(t, s->row(0), s->row(1), noise.data(), score);
        Peak peaks[kMaxPeaks];
        return std::vector<Peak>(peaks, peaks + pickPeaks(score, 0.5f, peaks));
    };
    for (HeadModel model : {HeadModel::FreeSpace, HeadModel::SphericalHead})
        for (int degrees = -85; degrees <= 85; degrees += 17) {
            const std::vector<Peak> p = peaksOf(model, steeringDelay(model, 18.0f, degrees + 90));
            ASSERT_EQ(p.size(), 1u) << degrees;
            EXPECT_EQ(p[0].index, degrees + 90);
            EXPECT_NEAR(p[0].score, 0.99, 0.011);  // weight 1 - 10/1e6 on every bin
        }
    // The second microphone leads by 0.2 ms: asin(0.2e-3 * 34050 / 18) = +22.2 degrees.
    EXPECT_EQ(peaksOf(HeadModel::FreeSpace, 0.2e-3).at(0).index - 90, 22);
}

TEST(Clustering, HandTracedRunsThirtyPercentSelectionAndAtMostSixtyCentres) {
    // Draw 1 puts a centre at 30; draw 2 adds another at 30, which loses every tie and is
    // empty, so draw 3 moves it to 0; draw 4 adds 60: {30, 0, 60}, each over 30 %.
    DirectionClustering c;
    EXPECT_EQ(c.run({0, 0, 0, 30, 30, 30, 60, 60, 60}, scripted({4, 5, 0, 8}, 9)),
              (std::vector<int>{30, 0, 60}));
    EXPECT_EQ(c.nearest(), (std::vector<int>{1, 1, 1, 0, 0, 0, 2, 2, 2}));
    // Mean distance 35 / 10 is 3 in integers: one cluster suffices.
    EXPECT_EQ(c.run({-3, -3, -3, -3, -3, 4, 4, 4, 4, 4}, scripted({0}, 10)), std::vector<int>{0});
    // 3 of 10 is not more than 30 %.
    EXPECT_EQ(c.run({50, 50, 50, 50, 50, 50, 50, -50, -50, -50}, scripted({0, 9}, 10)), std::vector<int>{50});
    EXPECT_EQ(c.centres(), (std::vector<int>{50, -50}));
    std::vector<int> angles;  // 70 far-apart groups would need 70 centres: at most 60
    for (int g = 0; g < 70; ++g) angles.insert(angles.end(), 3, g * 100);
    std::srand(1);
    EXPECT_TRUE(c.run(angles, [] { return std::rand(); }).empty());
    EXPECT_EQ(c.centres().size(), 60u);
    // float(INT_MAX) rounds up to 2^31; the position still stays in range.
    for (int n : {1, 7, 16777217}) EXPECT_EQ(randomPosition(INT_MAX, n), n - 1) << n;
}

TEST(Nodes, RefuseOtherHeadModelsNonFiniteDurationsAndSpectraThatDoNotFit) {
    auto loc = [](const Params& p) { return hostError([&] { delete new Loc("loc", p); }); };
    expectAll(loc(params().s("SOUND_DIFFRACTION_COMPENSATION", "free_space")),
              {"\"loc\"", "\"free_space\"", "\"FREE_SPACE\"", "\"SPHERICAL_HEAD\""});
    expectAll(loc(params().s("SOUND_DIFFRACTION_COMPENSATION", "SPHERICAL_HEAD")), {});
    for (float bad : {kInf, kNaN, 1e30f}) {
        expectAll(loc(params().f("NOISE_DURATION", bad)), {"NOISE_DURATION"});
        expectAll(hostError([&] { delete new Trk("trk", params(bad)); }), {"CLUSTERING_DURATION"});
    }
    const std::tuple<Params, int, FD::ObjectRef, std::vector<std::string>> cases[] = {
        {params().f("FREQUENCY_HIGH", 9000), 0, FD::ObjectRef(new Spectrum(2, 257)), {"frame 0", "9000"}},
        {params(), 0, FD::ObjectRef(new Spectrum(1, 257)), {"frame 0", "2 rows"}},
        {params(), 3, FD::ObjectRef(new Spectrum(2, 513)), {"frame 3", "257 bins", "2 x 513"}},
        {params(), 3, FD::ObjectRef(new FD::Float(1.0f)), {"frame 3", "got float"}},
    };
    for (const auto& k : cases) {
        const Script script = [&](int c) {
            return c < std::get<1>(k) ? FD::ObjectRef(new Spectrum(2, 257)) : std::get<2>(k);
        };
        expectAll(hostError([&] { run<Loc>(std::get<0>(k), 4, script); }), std::get<3>(k));
    }
}

TEST(LocalizationNode, LearnsNoiseOverFramesOneTo49ThenReports) {
    // Loud frames 0 and 50 don't count; noise = sum over 1 .. 49 / 50 = 9800 for |G| = 1e4, so
    // |G| = 4e4 weighs 0.755; silence learns no noise: full weight, not NaN.
    for (float noise : {100.0f, 0.0f}) {
        SCOPED_TRACE(noise);
        std::mt19937 rng(5);
        const std::vector<FD::ObjectRef> out = run<Loc>(params(), 53, [&](int c) -> FD::ObjectRef {
            if (c > 0 && c < 50) return delayedPair(freeDelay(-70), noise, rng);
            return delayedPair(freeDelay(25), c == 0 || c == 50 ? 1e4f : 200.0f, rng);
        });
        for (int c = 0; c < 53; ++c) {
            const std::vector<Detection> d = detections(out[size_t(c)]);
            ASSERT_EQ(d.size(), c <= 50 ? 0u : 1u) << "frame " << c;
            if (c <= 50) continue;
            EXPECT_NEAR(d[0].azimuth, 25.0, 1e-4);
            EXPECT_EQ(d[0].id, 0);
            EXPECT_NEAR(d[0].power, noise > 0 ? 0.755f : 1.0f, noise > 0 ? 5e-4f : 1e-4f);
        }
    }
}

TEST(LocalizationNode, TwoSourcesGetIdsInAzimuthOrderAndTheThresholdConsumesNoId) {
    // Even bins: +40 degrees, |G| 4e4; odd bins: -30 degrees, |G| 2e4 (each tilts the other up to 1 degree).
    auto detect = [&](float threshold) {
        std::mt19937 rng(8);
        Params p = params().f("GCCPHAT_THRESHOLD", threshold).f("NOISE_DURATION", 0.03f);  // Nn = 3
        return detections(run<Loc>(p, 5, [&](int c) {
                              if (c < 3) return FD::ObjectRef(delayedPair(freeDelay(-70), 100.0f, rng));
                              auto s = delayedPair(freeDelay(40), 200.0f, rng, 0);
                              auto t = delayedPair(freeDelay(-30), 141.42136f, rng, 1);
                              for (int k = 0; k < 514; ++k) (*s)(k / 257, k % 257) += (*t)(k / 257, k % 257);
                              return FD::ObjectRef(s);
                          }).back());
    };
    const std::vector<Detection> both = detect(0.1f);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_NEAR(both[0].azimuth, -30.0, 1.0 + 1e-4);
    EXPECT_NEAR(both[1].azimuth, 40.0, 1.0 + 1e-4);
    EXPECT_EQ(std::make_pair(both[0].id, both[1].id), std::make_pair(0, 1));
    // A threshold between the heights drops -30 degrees, taking no id; one equal to the louder, both.
    const std::vector<Detection> louder = detect((both[0].power + both[1].power) / 2);
    ASSERT_EQ(louder.size(), 1u);
    EXPECT_NEAR(louder[0].azimuth, 40.0, 1.0 + 1e-4);
    EXPECT_EQ(louder[0].id, 0);
    EXPECT_EQ(detect(both[1].power).size(), 0u);
}

TEST(LocalizationNode, CorruptAndSilentSpectraNeverGiveNaN) {
    const std::complex<float> bad[] = {{kNaN, kNaN}, {kInf, -kInf}, 0.0f, {3e30f, -3e30f}};
    std::mt19937 rng(9);
    // Frames 4, 9, ... are clean; the others are corrupt (every third bin for infinity) or silent.
    const std::vector<FD::ObjectRef> out = run<Loc>(params().f("NOISE_DURATION", 0.05f), 40, [&](int c) {
        auto s = delayedPair(freeDelay(10), 300.0f, rng);
        for (int k = 0; c % 5 < 4 && k < 257; k += c % 5 == 1 ? 3 : 1) (*s)(0, k) = (*s)(1, k) = bad[c % 5];
        return FD::ObjectRef(s);
    });
    for (const FD::ObjectRef& frame : out)
        for (const Detection& d : detections(frame)) ASSERT_TRUE(std::isfinite(d.azimuth + d.power));
    EXPECT_EQ(detections(out[39]).size(), 1u);  // corrupt frames spoil no later one
}

TEST(TrackerNode, WindowLookAheadAndBadLists) {
    // 0.04 s: N = 4, reading 2 ahead: three detections in input frame 2 reach output frames 0 .. 3.
    std::vector<FD::ObjectRef> out =
        run<Trk>(params(0.04f), 6, [](int c) { return sourceList(std::vector<int>(c == 2 ? 3 : 0, 17)); });
    for (int c = 0; c < 6; ++c) {
        const std::vector<Detection> d = detections(out[size_t(c)]);
        ASSERT_EQ(d.size(), c < 4 ? 1u : 0u) << "frame " << c;
        EXPECT_TRUE(c >= 4 || (std::fabs(d[0].azimuth - 17.0) < 1e-5 && d[0].id == 0));
    }
    // Empty lists and non-finite directions give nothing.
    out = run<Trk>(params(0.04f), 6, [](int c) {
        FD::ObjectRef list = sourceList(std::vector<int>(c == 2 ? 4 : 0, 5));
        if (c == 2) FD::RCPtr<FD::Source>((*FD::RCPtr<List>(list))[2])->x[0] = kNaN;
        if (c == 2) FD::RCPtr<FD::Source>((*FD::RCPtr<List>(list))[3])->x[1] = kInf;
        return list;
    });
    for (const FD::ObjectRef& frame : out) EXPECT_TRUE(detections(frame).empty());
}

TEST(SourceListReaders, BothTrackersNameTheFrameAndPortOfAForeignElementOrAMissingList) {
    const Script bad[] = {
        [](int c) {
            FD::ObjectRef list = sourceList({10});
            if (c == 2) FD::RCPtr<List>(list)->push_back(FD::ObjectRef(new FD::Float(1)));
            return list;
        },
        [](int) { return FD::ObjectRef(new FD::Float(1)); },
        [](int) { return FD::ObjectRef(); },
    };
    for (const Script& script : bad) {
        std::string e = hostError([&] { run<Trk>(params(0.04f), 3, script); });
        expectAll(e, {"BinauralMultisourceTracker \"trk\": frame", "ESTIMATED_DOA"});
        const Params ids = Params().i("ADVANCE", 160).i("SAMPLING_RATE", 16000);
        e = hostError([&] { run<SourceIdentityTracker>(ids, 3, script); });
        expectAll(e, {"SourceIdentityTracker \"trk\": frame", "ESTIMATED_DOA"});
    }
}

TEST(Accuracy, BroadbandSourceFromEveryDirection) {
    std::srand(1);
    for (int azimuth = -80; azimuth <= 80; azimuth += 10) {
        SCOPED_TRACE(azimuth);
        const Stereo x = renderFreeField(azimuth, unsigned(1000 + azimuth));
        const std::vector<FD::ObjectRef> spectra =  // sqrt-Hann
            spectraOf(x, 512, [](int i) { return std::sqrt(0.5 - 0.5 * std::cos(2.0 * kPi * i / 512)); });
        const int frames = int(spectra.size());
        const std::vector<FD::ObjectRef> localized = run<Loc>(
            params(), frames, FD::testing::framesScript(spectra, FD::ObjectRef(new Spectrum(2, 257))));
        const std::vector<FD::ObjectRef> tracked =
            run<Trk>(params(), frames, FD::testing::framesScript(localized, sourceList({})));
        const double tolerance = std::abs(azimuth) <= 60 ? 2.0 : 5.0;
        for (int c = 60; c < frames; ++c) {  // the source starts at 0.6 s
            const std::vector<Detection> d = detections(localized[size_t(c)]);
            ASSERT_FALSE(d.empty()) << "frame " << c;
            const auto strongest = std::max_element(
                d.begin(), d.end(), [](const auto& a, const auto& b) { return a.power < b.power; });
            ASSERT_LE(std::fabs(strongest->azimuth - azimuth), tolerance) << "frame " << c;
        }
        for (int c = 85; c + 24 < frames; ++c) {  // whole window c - 25 .. c + 24 holds the source
            const std::vector<Detection> d = detections(tracked[size_t(c)]);
            ASSERT_EQ(d.size(), 1u) << "frame " << c;
            ASSERT_LE(std::fabs(d[0].azimuth - azimuth), tolerance) << "frame " << c;
        }
    }
}
