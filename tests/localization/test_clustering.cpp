// The growing k-means of the tracker on hand-traced cases with scripted draws.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>

#include "localization/direction_clustering.h"

using namespace localization;

namespace {

// Raw draws that land on the given positions among n angles, consumed in order.
struct ScriptedDraws {
    std::vector<int> raws;
    size_t used = 0;
    ScriptedDraws(const std::vector<int>& positions, int n) {
        for (int p : positions) raws.push_back(int((p + 0.5) / n * 2147483648.0));
    }
    DirectionClustering::Draw draw() {
        return [this] {
            if (used >= raws.size()) {
                ADD_FAILURE() << "more draws than scripted";
                return 0;
            }
            return raws[used++];
        };
    }
};

}  // namespace

TEST(Clustering, WholeDegreesTruncateTowardsZeroAndSkipNonFinite) {
    int d = 0;
    ASSERT_TRUE(wholeDegrees(std::cos(0.7f), std::sin(0.7f), &d));
    EXPECT_EQ(d, 40);  // 40.107 degrees
    ASSERT_TRUE(wholeDegrees(std::cos(-0.7f), std::sin(-0.7f), &d));
    EXPECT_EQ(d, -40);
    ASSERT_TRUE(wholeDegrees(-1.0f, 0.0f, &d));
    EXPECT_EQ(d, 180);
    EXPECT_FALSE(wholeDegrees(std::nanf(""), 0.5f, &d));
    EXPECT_FALSE(wholeDegrees(1.0f, INFINITY, &d));
}

TEST(Clustering, RandomPositionsStayBelowN) {
    for (int n : {1, 3, 7, 1000, 16777217}) {
        EXPECT_EQ(randomPosition(0, n), 0);
        // RAND_MAX rounds up to 2^31 in single precision, which would give n itself.
        EXPECT_EQ(randomPosition(INT_MAX, n), n - 1) << n;
        EXPECT_LT(randomPosition(RAND_MAX, n), n);
    }
    EXPECT_EQ(randomPosition(1 << 30, 10), 5);
}

TEST(Clustering, HandTracedRunWithAnEmptyCentre) {
    // Three groups of three. Draw 1 puts a centre at 30 (one cluster, mean distance 20);
    // draw 2 adds a second centre at 30, which loses every tie and is empty, so draw 3
    // moves it to 0; the pass settles at {45, 0} (mean distance 10); draw 4 adds 60 and
    // everything settles at {30, 0, 60} with distance 0. Each holds 3 > 0.3 * 9 angles.
    const std::vector<int> angles = {0, 0, 0, 30, 30, 30, 60, 60, 60};
    ScriptedDraws draws({4, 5, 0, 8}, 9);
    DirectionClustering c;
    EXPECT_EQ(c.run(angles, draws.draw()), (std::vector<int>{30, 0, 60}));
    EXPECT_EQ(draws.used, 4u);
    EXPECT_EQ(c.nearest(), (std::vector<int>{1, 1, 1, 0, 0, 0, 2, 2, 2}));
}

TEST(Clustering, IntegerMeansAndMeanDistance) {
    // Means truncate towards zero: (-1 - 2 - 2) / 3 = -1, not -2.
    ScriptedDraws a({0}, 3);
    DirectionClustering c;
    EXPECT_EQ(c.run({-1, -2, -2}, a.draw()), std::vector<int>{-1});

    // Mean distance 35 / 10 is 3 in integer division: tight enough for one cluster at 0.
    const std::vector<int> spread = {-3, -3, -3, -3, -3, 4, 4, 4, 4, 4};
    ScriptedDraws b({0}, 10);
    EXPECT_EQ(c.run(spread, b.draw()), std::vector<int>{0});
    EXPECT_EQ(c.lastMeanDistance(), 3);
    EXPECT_EQ(b.used, 1u);
}

TEST(Clustering, ThirtyPercentIsNotEnoughAndTwoAnglesAreNoCluster) {
    // 7 angles at 50 and 3 at -50: 3 is not more than 0.3 * 10.
    std::vector<int> angles(7, 50);
    angles.insert(angles.end(), 3, -50);
    ScriptedDraws a({0, 9}, 10);
    DirectionClustering c;
    EXPECT_EQ(c.run(angles, a.draw()), std::vector<int>{50});
    EXPECT_EQ(c.centres(), (std::vector<int>{50, -50}));

    ScriptedDraws none({}, 2);
    EXPECT_TRUE(c.run({10, 80}, none.draw()).empty());
    EXPECT_TRUE(c.run({}, none.draw()).empty());
    EXPECT_EQ(none.used, 0u);
}

TEST(Clustering, CentreCountIsBounded) {
    // Four far-apart groups need four centres; with room for three, the run stops there
    // and selects from them: one centre covers two groups (half the angles).
    std::vector<int> angles;
    for (int g : {-150, -50, 50, 150}) angles.insert(angles.end(), 5, g);
    ScriptedDraws draws({0, 5, 10}, 20);
    DirectionClustering c(3);
    const std::vector<int>& selected = c.run(angles, draws.draw());
    EXPECT_EQ(c.centres().size(), 3u);
    ASSERT_EQ(selected.size(), 1u);

    // Evenly spread angles at the default bound of 60 end without a cluster.
    std::vector<int> everywhere;
    for (int rep = 0; rep < 3; ++rep)
        for (int d = -180; d <= 180; d += 2) everywhere.push_back(d);
    std::srand(1);
    DirectionClustering wide;
    EXPECT_TRUE(wide.run(everywhere, [] { return std::rand(); }).empty());
    EXPECT_LE(wide.centres().size(), size_t(kMaxCentres));
}
