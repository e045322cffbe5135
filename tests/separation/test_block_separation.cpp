// The block IVA kernel: whitening, both update rules against hand-worked cases, symmetric
// decorrelation, progress lines, projection back, and equality with a plain transcription.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/separation/iva_test_data.h"

using namespace separation;
using testdata::separatorFor;
using cxf = std::complex<float>;
using arma::cx_fmat;

namespace {

// A one-bin separator holding W, Y and the score weight A.
BlockSeparator oneBin(const cx_fmat& W, const cx_fmat& Y, const arma::fmat& A) {
    BlockSeparator s;
    s.startBlock(int(W.n_rows), int(W.n_rows), int(Y.n_cols), 1);
    s.demixingMatrices.slice(0) = W;
    s.separatedBlock.slice(0) = Y;
    s.scoreWeight = A;
    return s;
}

float maxDiff(const cx_fmat& a, const cx_fmat& b) { return arma::abs(a - b).max(); }

// |row n of the output - expected| / |expected| over all bins.
float worstError(const arma::cx_fcube& out, const arma::cx_fcube& A, const arma::cx_fcube& S, int n) {
    float worst = 0;
    for (arma::uword k = 0; k < S.n_slices; ++k) {
        const arma::cx_frowvec expected = A(n, n, k) * S.slice(k).row(n);
        worst = std::max(worst, arma::norm(out.slice(k).row(n) - expected) / arma::norm(expected));
    }
    return worst;
}

}  // namespace

TEST(Whitening, GivesCentredIdentityCovariance) {
    const int N = 2, T = 400, K = 3;
    for (int M : {2, 3}) {
        SCOPED_TRACE(M);
        const arma::cx_fcube X = testdata::mixture(M, T, K, 5) + cxf(3, -2);
        BlockSeparator s = separatorFor(X, N);
        s.whiten();
        for (int k = 0; k < K; ++k) {
            const cx_fmat& Z = s.whitenedBlock.slice(k);
            EXPECT_LT(maxDiff(Z * Z.t() / float(T), arma::eye<cx_fmat>(N, N)), 1e-4f);
            EXPECT_LT(arma::abs(arma::mean(Z, 1)).max(), 1e-4f);
        }
    }
}

TEST(NaturalGradientStep, HandWorkedCases) {
    // N = 1: w += 0.1 (1 - mean A |y|^2) w = 0.75 w, the mean being 3.5.
    BlockSeparator one = oneBin(cx_fmat(1, 1, arma::fill::value(cxf(2, 1))),
                                cx_fmat{{cxf(1, 0), cxf(0, 2), cxf(-3, 0)}}, arma::fmat{{0.5f, 0.25f, 1.0f}});
    one.naturalGradientStep(0);
    EXPECT_NEAR(std::abs(one.demixingMatrices(0, 0, 0) - 0.75f * cxf(2, 1)), 0.0f, 1e-6f);

    // A silent block: W grows by 1.1.
    const cx_fmat W = {{cxf(1, 2), cxf(0, -1)}, {cxf(0.5f, 0), cxf(3, 3)}};
    BlockSeparator silent =
        oneBin(W, cx_fmat(2, 5, arma::fill::zeros), arma::fmat(2, 5, arma::fill::value(1e6f)));
    silent.naturalGradientStep(0);
    EXPECT_LT(maxDiff(silent.demixingMatrices.slice(0), 1.1f * W), 1e-5f);

    // Weighted correlation already the identity: nothing moves, to the bit.
    cx_fmat Y(2, 4, arma::fill::zeros);
    Y(0, 0) = cxf(2, 0);
    Y(1, 2) = cxf(0, -2);
    BlockSeparator identity = oneBin(W, Y, arma::fmat(2, 4, arma::fill::ones));
    identity.naturalGradientStep(0);
    EXPECT_TRUE(arma::all(arma::vectorise(identity.demixingMatrices.slice(0) == W)));
}

TEST(FixedPointStep, HandWorkedCases) {
    // N = 1, |w| = 1, |z|^2 = (2, 1, 4): g = 1.15 / 3 and F / T = w, so w' = -(1.85 / 3) w,
    // which the decorrelation brings back to -w.
    const cx_fmat Z = {{cxf(1, 1), cxf(-1, 0), cxf(0, 2)}};
    const cxf w(0.6f, 0.8f);
    BlockSeparator one = oneBin(cx_fmat(1, 1, arma::fill::value(w)), w * Z, arma::fmat{{0.5f, 1.0f, 0.25f}});
    one.whitenedBlock.slice(0) = Z;
    one.cubicWeight = {{0.1f, 0.2f, 0.05f}};
    one.power.slice(0) = {{2.0f, 1.0f, 4.0f}};
    one.fixedPointStep(0);
    EXPECT_NEAR(std::abs(one.demixingMatrices(0, 0, 0) + w), 0.0f, 1e-5f);

    // A silent block scales W = I by 1e6; the decorrelation gives back the identity.
    BlockSeparator silent = oneBin(arma::eye<cx_fmat>(2, 2), cx_fmat(2, 4, arma::fill::zeros),
                                   arma::fmat(2, 4, arma::fill::value(1e6f)));
    silent.cubicWeight.fill(1e6f);
    silent.fixedPointStep(0);
    EXPECT_LT(maxDiff(silent.demixingMatrices.slice(0), arma::eye<cx_fmat>(2, 2)), 1e-5f);

    // An orthonormal W whose rows are only scaled (by 2 and 7) comes back unchanged.
    const float c = std::cos(0.4f), si = std::sin(0.4f);
    const cx_fmat U = {{cxf(c, 0), cxf(0, si)}, {cxf(0, si), cxf(c, 0)}};
    BlockSeparator scaled = oneBin(U, cx_fmat(2, 4, arma::fill::zeros), {{2, 2, 2, 2}, {7, 7, 7, 7}});
    scaled.fixedPointStep(0);
    EXPECT_LT(maxDiff(scaled.demixingMatrices.slice(0), U), 1e-5f);
}

TEST(SymmetricDecorrelation, MakesRowsOrthonormal) {
    arma::arma_rng::set_seed(11);
    for (int N : {1, 2, 3, 4}) {
        cx_fmat W = 40.0f * cx_fmat(arma::randn<arma::fmat>(N, N), arma::randn<arma::fmat>(N, N));
        symmetricDecorrelation(W, 0);
        EXPECT_LT(maxDiff(W * W.t(), arma::eye<cx_fmat>(N, N)), 1e-5f) << N;
    }
}

TEST(SeparateBlock, ProgressLinesAndStoppingRule) {
    EXPECT_EQ(progressLine(UpdateRule::FixedPoint, 1, 3.25f, 1000000.0f - 3.25f),
              "KW_BSS::IVA::Fixed-point === [ iterations: 1, Error: 3.25, Difference: 999997 ]");
    EXPECT_EQ(progressLine(UpdateRule::None, 7, 1e-7f, -2.5e6f),
              "KW_BSS::IVA:: === [ iterations: 7, Error: 1e-07, Difference: -2.5e+06 ]");

    // A silent block: err stays 0, so iteration 2 converges with one line; names are exact.
    for (auto [method, label] : {std::pair{"[IVA]NATURAL_GRADIENT_DESCENT_METHOD", "Natural-gradient"},
                                 {"[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION", "Fixed-point"},
                                 {"[iva]NATURAL_GRADIENT_DESCENT_METHOD", ""}}) {
        BlockSeparator s = separatorFor(arma::cx_fcube(2, 30, 4, arma::fill::zeros), 2);
        std::ostringstream out;
        EXPECT_EQ(s.separateBlock(updateRuleNamed(method), 100, &out), 2);
        EXPECT_EQ(out.str(),
                  std::string("KW_BSS::IVA::") + label + " === [ iterations: 2, Error: 0, Difference: 0 ]\n");
        EXPECT_EQ(arma::abs(s.separatedBlock).max(), 0.0f);
    }

    // Without convergence: lines after iterations 50 and 100 only.
    BlockSeparator s = separatorFor(testdata::mixture(2, 200, 16, 3), 2);
    std::ostringstream out;
    EXPECT_EQ(s.separateBlock(UpdateRule::NaturalGradient, 100, &out), 100);
    auto line = [](int i) {
        return R"(KW_BSS::IVA::Natural-gradient === \[ iterations: )" + std::to_string(i) +
               R"(, Error: [0-9.e+-]+, Difference: [0-9.e+-]+ \]\n)";
    };
    EXPECT_TRUE(std::regex_match(out.str(), std::regex(line(50) + line(100)))) << out.str();

    out.str("");
    EXPECT_EQ(s.separateBlock(UpdateRule::FixedPoint, 1, &out), 1);
    EXPECT_EQ(s.separateBlock(UpdateRule::FixedPoint, 0, &out), 0);
    EXPECT_EQ(s.separateBlock(UpdateRule::FixedPoint, -3, &out), 0);
    EXPECT_EQ(out.str(), "");
}

TEST(ProjectBack, RestoresEachSourceAtItsOwnChannel) {
    const int T = 300, K = 3;
    // N = M = 2: the true demixing matrix in any scale gives source n times A(n, n).
    arma::cx_fcube A = testdata::mixingMatrices(2, 2, K, 21), S = testdata::sources(2, T, K, 22);
    BlockSeparator s = separatorFor(testdata::mix(A, S), 2);
    s.whiten();
    const cx_fmat scale = arma::diagmat(arma::cx_fvec{cxf(0, 3), cxf(-0.5f, 0.5f)});
    for (int k = 0; k < K; ++k)
        s.demixingMatrices.slice(k) = scale * arma::inv(s.whiteningMatrices.slice(k) * A.slice(k));
    s.projectBack();
    EXPECT_LT(worstError(s.separatedBlock, A, S, 0), 1e-3f);
    EXPECT_LT(worstError(s.separatedBlock, A, S, 1), 1e-3f);

    // N = 1 < M = 2, one source: it comes back as observed at channel 0.
    A = testdata::mixingMatrices(2, 1, K, 23);
    S = testdata::sources(1, T, K, 24);
    BlockSeparator one = separatorFor(testdata::mix(A, S), 1);
    one.separateBlock(UpdateRule::FixedPoint, 10, nullptr);
    EXPECT_LT(worstError(one.separatedBlock, A, S, 0), 1e-3f);
}

TEST(SeparateBlock, MatchesThePlainTranscriptionToTheBit) {
    const arma::cx_fcube X = testdata::mixture(3, 120, 6, 41);
    for (UpdateRule rule : {UpdateRule::NaturalGradient, UpdateRule::FixedPoint, UpdateRule::None}) {
        SCOPED_TRACE(int(rule));
        BlockSeparator s = separatorFor(X, 2);
        s.separateBlock(rule, 15, nullptr);
        s.startBlock(3, 2, 120, 6);  // a second block through the same storage
        s.inputBlock = X;
        s.separateBlock(rule, 15, nullptr);
        EXPECT_TRUE(
            arma::all(arma::vectorise(s.separatedBlock == testdata::referenceSeparation(X, 2, rule, 15))));
    }
}

TEST(SeparateBlock, DegenerateBlocksStayFiniteAndBadSizesAreRefused) {
    BlockSeparator single = separatorFor(testdata::sources(2, 1, 5, 51), 2);
    single.separateBlock(UpdateRule::FixedPoint, 100, nullptr);
    EXPECT_EQ(arma::abs(single.separatedBlock).max(), 0.0f);

    // Regression: a silent bin in a block still moving after 1200 natural-gradient
    // iterations grew its demixing matrix into overflow and turned the block into NaN.
    arma::cx_fcube X = testdata::mixture(2, 300, 8, 31);
    X.slice(2).zeros();
    BlockSeparator s = separatorFor(X, 2);
    EXPECT_EQ(s.separateBlock(UpdateRule::NaturalGradient, 1200, nullptr), 1200);
    EXPECT_TRUE(s.separatedBlock.is_finite());
    EXPECT_EQ(arma::abs(s.separatedBlock.slice(2)).max(), 0.0f);

    EXPECT_THROW(s.startBlock(2, 3, 10, 4), SeparationError);
    EXPECT_THROW(s.startBlock(2, 0, 10, 4), SeparationError);
}
