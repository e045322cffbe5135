// The direction-score, peak-picking and clustering kernels on hand-made cases.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <limits>

#include "localization/direction_clustering.h"
#include "localization/gcc_phat.h"
#include "localization/score_kernel.h"
#include "tests/localization/synthetic.h"

using namespace localization;

namespace {

const float kInf = std::numeric_limits<float>::infinity(), kNaN = std::nanf("");

// The score as the plain loop over bins and azimuths.
std::vector<float> straightforwardScore(const SteeringTables& t, const std::complex<float>* l,
                                        const std::complex<float>* r, const float* noiseMean) {
    std::vector<float> p(kDirections, 0.0f);
    const Band band = t.band();
    for (int k = band.low; k < band.high; ++k) {
        const CrossBin g = crossSpectrum(l[k], r[k]);
        if (g.magnitude == 0.0f || !std::isfinite(g.magnitude)) continue;
        const float gr = g.gr / g.magnitude, gi = g.gi / g.magnitude;
        const float w = noiseWeight(g.magnitude, noiseMean[k]);
        for (int a = 0; a < kDirections; ++a)
            p[size_t(a)] += ((t.cosAt(a, k) * gr - t.sinAt(a, k) * gi) * w) / float(band.size());
    }
    return p;
}

// Peak indices above `threshold` of a score of straight segments through (index, value) points.
std::vector<int> peakIndices(const std::vector<std::pair<int, float>>& points, float threshold) {
    std::vector<float> s(kDirectionLanes, 0.0f);
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        const auto [a0, v0] = points[i];
        const auto [a1, v1] = points[i + 1];
        for (int a = a0; a <= a1; ++a) s[size_t(a)] = v0 + (v1 - v0) * float(a - a0) / float(a1 - a0);
    }
    Peak peaks[kMaxPeaks];
    std::vector<int> out;
    for (int i = 0, n = pickPeaks(s.data(), threshold, peaks); i < n; ++i) out.push_back(peaks[i].index);
    return out;
}

// Draws landing on the given positions among n angles, in order; counts its calls.
DirectionClustering::Draw scripted(std::vector<int> positions, int n, size_t* used) {
    *used = 0;
    return [positions, n, used] {
        EXPECT_LT(*used, positions.size()) << "more draws than scripted";
        const int p = *used < positions.size() ? positions[*used] : 0;
        ++*used;
        return int((p + 0.5) / n * 2147483648.0);
    };
}

}  // namespace

TEST(BandAndFrames, BandEdgesTruncateAndMustFitBelowTheTopBin) {
    struct {
        float low, high;
        int bins, bandLow, bandHigh;  // bandHigh -1: refused
    } cases[] = {{500, 4000, 257, 16, 129}, {0, 256 * 31.0f, 257, 0, 256}, {0, 257 * 31.0f, 257, 0, -1},
                 {1000, 1000, 257, 0, -1},  {4000, 500, 257, 0, -1},       {-100, 500, 257, 0, -1},
                 {kNaN, 500, 257, 0, -1},   {0, 500, 9000, 0, -1}};  // 9000 bins: spacing 0
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.low << " " << c.high << " " << c.bins);
        Band band;
        ASSERT_EQ(bandFits(bandEdges(c.low, c.high, 16000, c.bins), c.bins, &band), c.bandHigh >= 0);
        EXPECT_TRUE(c.bandHigh < 0 || (band.low == c.bandLow && band.high == c.bandHigh))
            << band.low << " " << band.high;
    }
    // Single precision (0.03 s is 2.9999999 frames in double), at least one frame, finite.
    const std::pair<float, int> periods[] = {{0.5f, 50}, {0.03f, 3}, {0.005f, 1}, {-2.0f, 1},
                                             {kInf, -1}, {kNaN, -1}, {1e30f, -1}};
    for (auto [seconds, frames] : periods) {
        int n = 0;
        EXPECT_EQ(noiseFrames(seconds, 160, 16000, &n), frames > 0) << seconds;
        EXPECT_TRUE(frames < 0 || n == frames) << seconds << ": " << n;
    }
}

TEST(Score, EveryVariantMatchesTheStraightforwardLoopBitForBit) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1000.0f, 1000.0f);
    for (HeadModel model : {HeadModel::FreeSpace, HeadModel::SphericalHead}) {
        SteeringTables t(model, 18.0f, 16000, 257, Band{16, 129});
        for (int trial = 0; trial < 6; ++trial) {
            std::vector<std::complex<float>> l(257), r(257);
            std::vector<float> noise(256);
            for (int k = 0; k < 257; ++k) l[size_t(k)] = {u(rng), u(rng)}, r[size_t(k)] = {u(rng), u(rng)};
            for (float& n : noise) n = std::fabs(u(rng)) * float(trial % 3) * 200.0f;  // some all-zero
            l[20] = 0.0f;
            r[40] = {kInf, 0.0f};
            const std::vector<float> expected = straightforwardScore(t, l.data(), r.data(), noise.data());
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
        auto s = synthetic::delayedPair(257, delay, 1000.0f, rng);
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
    // The left microphone 0.2 ms late: asin(0.2e-3 * 34050 / 18) = +22.2 degrees.
    const std::vector<Peak> p = peaksOf(HeadModel::FreeSpace, 0.2e-3);
    ASSERT_GE(p.size(), 1u);
    EXPECT_EQ(p[0].index - 90, 22);
}

TEST(Score, NoiseWeightAndSumsStayFinite) {
    EXPECT_EQ(noiseWeight(3e38f, 1e-38f), 1.0f);  // the ratio overflows
    EXPECT_EQ(noiseWeight(1.0f, 2.0f), kWeightFloor);
    // The noise sums skip corrupt bins and bins outside the band.
    std::vector<std::complex<float>> l(257, {2.0f, 0.0f}), r(257, {3.0f, 0.0f});
    l[30] = {kNaN, 0.0f};
    std::vector<float> sums(256, 0.0f);
    accumulateNoise(l.data(), r.data(), Band{16, 129}, sums.data());
    EXPECT_EQ(std::vector<float>({sums[15], sums[16], sums[30]}), std::vector<float>({0.0f, 6.0f, 0.0f}));
}

TEST(Peaks, MaximaInAzimuthOrderStrictlyAboveTheThreshold) {
    const std::vector<std::pair<int, float>> several = {{0, 0.0f},   {30, 0.4f},  {45, 0.1f},  {60, 0.6f},
                                                        {100, 0.2f}, {130, 0.5f}, {150, 0.3f}, {180, 0.35f}};
    const struct {
        std::vector<std::pair<int, float>> points;
        float threshold;
        std::vector<int> expected;
    } cases[] = {
        {{{0, 1.0f}, {180, 0.82f}}, -1e9f, {0}},                          // falling
        {{{0, 0.0f}, {180, 0.18f}}, -1e9f, {180}},                        // rising
        {{{0, 0.25f}, {180, 0.25f}}, -1e9f, {0}},                         // flat counts as falling
        {{{0, 0.0f}, {50, 0.5f}, {60, 0.5f}, {180, 0.0f}}, -1e9f, {50}},  // flat top: where it starts
        {{{0, 0.0f}, {40, 0.3f}, {50, 0.3f}, {100, 0.9f}, {180, 0.0f}}, -1e9f, {100}},  // step on a flank
        {several, -1e9f, {30, 60, 130, 180}},
        {several, 0.4f, {60, 130}},
        {several, 0.6f, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(peakIndices(cases[i].points, cases[i].threshold), cases[i].expected);
    }
}

TEST(Clustering, WholeDegreesAndRandomPositions) {
    int d = 0;
    ASSERT_TRUE(wholeDegrees(std::cos(-0.7f), std::sin(-0.7f), &d));
    EXPECT_EQ(d, -40);  // -40.107 truncated towards 0
    EXPECT_FALSE(wholeDegrees(kNaN, 0.5f, &d));
    EXPECT_FALSE(wholeDegrees(1.0f, kInf, &d));
    for (int n : {1, 7, 16777217}) {
        EXPECT_EQ(randomPosition(0, n), 0);
        EXPECT_EQ(randomPosition(INT_MAX, n), n - 1) << n;  // float(INT_MAX) rounds up to 2^31
        EXPECT_LT(randomPosition(RAND_MAX, n), n);
    }
}

TEST(Clustering, HandTracedRuns) {
    // Draw 1 puts a centre at 30; draw 2 adds another at 30, which loses every tie and is
    // empty, so draw 3 moves it to 0; draw 4 adds 60: {30, 0, 60}, each over 30 %.
    DirectionClustering c;
    size_t used = 0;
    EXPECT_EQ(c.run({0, 0, 0, 30, 30, 30, 60, 60, 60}, scripted({4, 5, 0, 8}, 9, &used)),
              (std::vector<int>{30, 0, 60}));
    EXPECT_EQ(used, 4u);
    EXPECT_EQ(c.nearest(), (std::vector<int>{1, 1, 1, 0, 0, 0, 2, 2, 2}));

    EXPECT_EQ(c.run({-1, -2, -2}, scripted({0}, 3, &used)), std::vector<int>{-1});  // mean truncates to -1
    // Mean distance 35 / 10 is 3 in integers: one cluster suffices.
    EXPECT_EQ(c.run({-3, -3, -3, -3, -3, 4, 4, 4, 4, 4}, scripted({0}, 10, &used)), std::vector<int>{0});
    EXPECT_EQ(c.lastMeanDistance(), 3);

    // 3 of 10 is not more than 30 %.
    EXPECT_EQ(c.run({50, 50, 50, 50, 50, 50, 50, -50, -50, -50}, scripted({0, 9}, 10, &used)),
              std::vector<int>{50});
    EXPECT_EQ(c.centres(), (std::vector<int>{50, -50}));
    EXPECT_TRUE(c.run({10, 80}, scripted({}, 2, &used)).empty());
    EXPECT_TRUE(c.run({}, scripted({}, 2, &used)).empty());
    EXPECT_EQ(used, 0u);
}

TEST(Clustering, AtMostSixtyCentres) {
    // 70 far-apart groups would need 70 centres.
    std::vector<int> angles;
    for (int g = 0; g < 70; ++g) angles.insert(angles.end(), 3, g * 100);
    std::srand(1);
    DirectionClustering c;
    EXPECT_TRUE(c.run(angles, [] { return std::rand(); }).empty());
    EXPECT_EQ(c.centres().size(), 60u);
}
