// The direction-score kernels: band and frame counts, steering delays, the score
// against a straightforward loop, and peak picking on hand-made scores.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "localization/gcc_phat.h"
#include "localization/score_kernel.h"
#include "tests/localization/synthetic.h"

using namespace localization;

namespace {

constexpr double kPi = 3.141592653589793;

// The score as the plain double loop over bins and azimuths, tables read as [a][k].
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

std::vector<Peak> peaksOf(const std::vector<float>& score, float threshold = -1e9f) {
    std::vector<float> padded(score);
    padded.resize(kDirectionLanes, 0.0f);
    Peak peaks[kMaxPeaks];
    const int n = pickPeaks(padded.data(), threshold, peaks);
    return std::vector<Peak>(peaks, peaks + n);
}

std::vector<int> indices(const std::vector<Peak>& peaks) {
    std::vector<int> out;
    for (const Peak& p : peaks) out.push_back(p.index);
    return out;
}

// A score built from straight segments through (index, value) points.
std::vector<float> piecewise(const std::vector<std::pair<int, float>>& points) {
    std::vector<float> s(kDirections);
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        const auto [a0, v0] = points[i];
        const auto [a1, v1] = points[i + 1];
        for (int a = a0; a <= a1; ++a) s[size_t(a)] = v0 + (v1 - v0) * float(a - a0) / float(a1 - a0);
    }
    return s;
}

}  // namespace

TEST(BandAndFrames, BinSpacingIsIntegerAndBandEdgesTruncate) {
    EXPECT_EQ(binSpacing(16000, 257), 31);  // 31.25 Hz truncated
    Band band;
    ASSERT_TRUE(bandFits(bandEdges(500.0f, 4000.0f, 16000, 257), 257, &band));
    EXPECT_EQ(band.low, 16);
    EXPECT_EQ(band.high, 129);

    // The band may end exactly at the top bin (exclusive), never beyond.
    ASSERT_TRUE(bandFits(bandEdges(0.0f, 256 * 31.0f, 16000, 257), 257, &band));
    EXPECT_EQ(band.high, 256);
    EXPECT_FALSE(bandFits(bandEdges(0.0f, 257 * 31.0f, 16000, 257), 257, &band));
    // Empty, reversed, negative and NaN bands, and a spectrum so fine the spacing is 0.
    EXPECT_FALSE(bandFits(bandEdges(1000.0f, 1000.0f, 16000, 257), 257, &band));
    EXPECT_FALSE(bandFits(bandEdges(4000.0f, 500.0f, 16000, 257), 257, &band));
    EXPECT_FALSE(bandFits(bandEdges(-100.0f, 500.0f, 16000, 257), 257, &band));
    EXPECT_FALSE(bandFits(bandEdges(std::nanf(""), 500.0f, 16000, 257), 257, &band));
    EXPECT_FALSE(bandFits(bandEdges(0.0f, 500.0f, 16000, 9000), 9000, &band));
}

TEST(BandAndFrames, NoisePeriodIsSinglePrecisionWithAtLeastOneFrame) {
    int n = 0;
    ASSERT_TRUE(noiseFrames(0.5f, 160, 16000, &n));
    EXPECT_EQ(n, 50);
    // 0.03 s: 2.9999999 in double but 3 in single precision.
    ASSERT_TRUE(noiseFrames(0.03f, 160, 16000, &n));
    EXPECT_EQ(n, 3);
    for (float shorter : {0.005f, 0.0f, -2.0f, -1e30f}) {
        ASSERT_TRUE(noiseFrames(shorter, 160, 16000, &n));
        EXPECT_EQ(n, 1) << shorter;
    }
    for (float bad : {std::numeric_limits<float>::infinity(), std::nanf(""), 1e30f})
        EXPECT_FALSE(noiseFrames(bad, 160, 16000, &n)) << bad;
}

TEST(Steering, DelaysOfBothHeadModels) {
    const double c = 34050.0, d = 18.0, r = 9.0;
    // Free field: d sin(theta) / c, exactly -d/c at -90 degrees.
    EXPECT_EQ(steeringDelay(HeadModel::FreeSpace, 18.0f, 90), 0.0f);
    EXPECT_EQ(steeringDelay(HeadModel::FreeSpace, 18.0f, 0), float(-d / c));
    EXPECT_NEAR(steeringDelay(HeadModel::FreeSpace, 18.0f, 120), d * 0.5 / c, 1e-10);
    EXPECT_NEAR(steeringDelay(HeadModel::FreeSpace, 18.0f, 180), d / c, 1e-10);

    // Spherical head, r = d / 2: r (theta + sin theta) / c less the diffraction term,
    // which vanishes at +-90 degrees.
    const double t30 = kPi / 6;
    const double expected30 = r * (t30 + 0.5) / c - ((kPi - 2 * t30) * r) * std::fabs(0.1 * 0.5) / c;
    EXPECT_NEAR(steeringDelay(HeadModel::SphericalHead, 18.0f, 120), expected30, 1e-9);
    EXPECT_NEAR(steeringDelay(HeadModel::SphericalHead, 18.0f, 60), -expected30, 1e-9);
    EXPECT_NEAR(steeringDelay(HeadModel::SphericalHead, 18.0f, 0), -r * (kPi / 2 + 1) / c, 1e-10);
    EXPECT_NEAR(steeringDelay(HeadModel::SphericalHead, 18.0f, 180), r * (kPi / 2 + 1) / c, 1e-10);
    EXPECT_EQ(steeringDelay(HeadModel::SphericalHead, 18.0f, 90), 0.0f);
    // Both models grow with the azimuth.
    for (HeadModel m : {HeadModel::FreeSpace, HeadModel::SphericalHead})
        for (int a = 1; a < kDirections; ++a)
            EXPECT_GT(steeringDelay(m, 18.0f, a), steeringDelay(m, 18.0f, a - 1));
}

TEST(Score, EveryVariantMatchesTheStraightforwardLoopBitForBit) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1000.0f, 1000.0f);
    const Band band{16, 129};
    for (HeadModel model : {HeadModel::FreeSpace, HeadModel::SphericalHead}) {
        SteeringTables t(model, 18.0f, 16000, 257, band);
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<std::complex<float>> l(257), r(257);
            std::vector<float> noise(256);
            for (int k = 0; k < 257; ++k) {
                l[size_t(k)] = {u(rng), u(rng)};
                r[size_t(k)] = {u(rng), u(rng)};
            }
            for (float& n : noise) n = std::fabs(u(rng)) * float(trial % 3) * 200.0f;  // some all-zero
            l[20] = 0.0f;                                                              // a silent bin
            r[40] = {std::numeric_limits<float>::infinity(), 0.0f};                    // a corrupt one
            const std::vector<float> expected = straightforwardScore(t, l.data(), r.data(), noise.data());
            for (detail::Isa isa : {detail::Isa::Generic, detail::Isa::Avx2}) {
                if (!detail::isaAvailable(isa)) continue;
                alignas(64) float score[kDirectionLanes];
                detail::scoreKernelFor(isa)(t, l.data(), r.data(), noise.data(), score);
                for (int a = 0; a < kDirections; ++a) {
                    ASSERT_TRUE(std::isfinite(score[a]));
                    ASSERT_EQ(score[a], expected[size_t(a)]) << "isa " << int(isa) << " azimuth " << a - 90;
                }
            }
        }
    }
}

TEST(Score, PeaksAtTheDelayedAzimuthWithBothHeadModels) {
    std::mt19937 rng(3);
    const Band band{16, 129};
    std::vector<float> noise(256, 10.0f);
    for (HeadModel model : {HeadModel::FreeSpace, HeadModel::SphericalHead}) {
        SteeringTables t(model, 18.0f, 16000, 257, band);
        for (int degrees = -85; degrees <= 85; degrees += 17) {
            const int a = degrees + 90;
            auto s = synthetic::delayedPair(257, 16000, steeringDelay(model, 18.0f, a), 1000.0f, rng);
            alignas(64) float score[kDirectionLanes];
            directionScore(t, s->row(0), s->row(1), noise.data(), score);
            Peak peaks[kMaxPeaks];
            const int n = pickPeaks(score, 0.5f, peaks);
            ASSERT_EQ(n, 1) << degrees;
            EXPECT_EQ(peaks[0].index, a) << degrees;
            EXPECT_NEAR(peaks[0].score, 0.99, 0.011);  // weight 1 - 10/1e6 on every bin
        }
    }
    // The sign: the left microphone hearing it 0.2 ms after the right one puts the
    // source at asin(0.2e-3 * 34050 / 18) = +22.2 degrees, on the right microphone's side.
    SteeringTables t(HeadModel::FreeSpace, 18.0f, 16000, 257, band);
    auto s = synthetic::delayedPair(257, 16000, 0.2e-3, 1000.0f, rng);
    alignas(64) float score[kDirectionLanes];
    directionScore(t, s->row(0), s->row(1), noise.data(), score);
    Peak peaks[kMaxPeaks];
    ASSERT_GE(pickPeaks(score, 0.5f, peaks), 1);
    EXPECT_EQ(peaks[0].index - 90, 22);
}

TEST(Score, NoiseWeightAndUndefinedBins) {
    EXPECT_FLOAT_EQ(noiseWeight(4.0f, 1.0f), 0.75f);   // 1 - noise / |G|
    EXPECT_EQ(noiseWeight(1.0f, 2.0f), kWeightFloor);  // below the noise: floored
    EXPECT_EQ(noiseWeight(1.0f, 1.0f), kWeightFloor);
    EXPECT_EQ(noiseWeight(5.0f, 0.0f), 1.0f);     // nothing learned: full weight
    EXPECT_EQ(noiseWeight(3e38f, 1e-38f), 1.0f);  // noise negligible: full weight
    EXPECT_EQ(noiseWeight(1.0f, std::numeric_limits<float>::infinity()), kWeightFloor);

    // Silence, NaN and infinities everywhere give a finite (zero) score.
    const Band band{16, 129};
    SteeringTables t(HeadModel::FreeSpace, 18.0f, 16000, 257, band);
    std::vector<float> noise(256, 0.0f);
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    for (std::complex<float> v : {std::complex<float>(0, 0), std::complex<float>(nan, 1),
                                  std::complex<float>(inf, inf), std::complex<float>(3e30f, -3e30f)}) {
        std::vector<std::complex<float>> l(257, v), r(257, v);
        alignas(64) float score[kDirectionLanes];
        directionScore(t, l.data(), r.data(), noise.data(), score);
        for (int a = 0; a < kDirections; ++a) ASSERT_EQ(score[a], 0.0f) << v;
    }
    // The noise sums skip corrupt bins.
    std::vector<std::complex<float>> l(257, {2.0f, 0.0f}), r(257, {3.0f, 0.0f});
    l[30] = {nan, 0.0f};
    std::vector<float> sums(256, 0.0f);
    accumulateNoise(l.data(), r.data(), band, sums.data());
    EXPECT_EQ(sums[16], 6.0f);
    EXPECT_EQ(sums[30], 0.0f);
    EXPECT_EQ(sums[15], 0.0f);  // outside the band
}

TEST(Peaks, MonotonicScoresSingleMaximaAndFlatStretches) {
    std::vector<float> falling(kDirections), rising(kDirections);
    for (int a = 0; a < kDirections; ++a) {
        falling[size_t(a)] = 1.0f - a * 0.001f;
        rising[size_t(a)] = a * 0.001f;
    }
    EXPECT_EQ(indices(peaksOf(falling)), std::vector<int>{0});
    EXPECT_EQ(indices(peaksOf(rising)), std::vector<int>{180});
    EXPECT_EQ(indices(peaksOf(piecewise({{0, 0.0f}, {70, 0.8f}, {180, 0.1f}}))), std::vector<int>{70});

    // A flat top counts as falling: the maximum is where it starts.
    EXPECT_EQ(indices(peaksOf(piecewise({{0, 0.0f}, {50, 0.5f}, {60, 0.5f}, {180, 0.0f}}))),
              std::vector<int>{50});
    // A flat step on a rising flank is not a peak of its own; a flat score is a
    // falling one, peaking at -90 degrees.
    EXPECT_EQ(indices(peaksOf(piecewise({{0, 0.0f}, {40, 0.3f}, {50, 0.3f}, {100, 0.9f}, {180, 0.0f}}))),
              std::vector<int>{100});
    EXPECT_EQ(indices(peaksOf(std::vector<float>(kDirections, 0.25f))), std::vector<int>{0});
}

TEST(Peaks, SeveralMaximaInAzimuthOrderAndTheStrictThreshold) {
    const std::vector<float> s = piecewise(
        {{0, 0.0f}, {30, 0.4f}, {45, 0.1f}, {60, 0.6f}, {100, 0.2f}, {130, 0.5f}, {150, 0.3f}, {180, 0.35f}});
    const std::vector<Peak> all = peaksOf(s);
    EXPECT_EQ(indices(all), (std::vector<int>{30, 60, 130, 180}));
    EXPECT_FLOAT_EQ(all[1].score, 0.6f);
    // Strictly above: a peak equal to the threshold is dropped, and so are lower ones.
    EXPECT_EQ(indices(peaksOf(s, 0.4f)), (std::vector<int>{60, 130}));
    EXPECT_EQ(indices(peaksOf(s, 0.6f)), std::vector<int>{});
}
