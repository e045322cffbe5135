// The block IVA kernel: whitening, both update rules against cases worked out by hand,
// symmetric decorrelation, the stopping rule and its progress lines, projection back,
// separation of a synthetic mixture, and equality with a plain transcription.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

#include "separation/block_separation.h"
#include "tests/separation/iva_test_data.h"

using namespace separation;
using cxf = std::complex<float>;

namespace {

const char* const kNaturalGradient = "[IVA]NATURAL_GRADIENT_DESCENT_METHOD";
const char* const kFixedPoint = "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION";

BlockSeparator separatorFor(const arma::cx_fcube& X, int N) {
    BlockSeparator s;
    s.startBlock(int(X.n_rows), N, int(X.n_cols), int(X.n_slices));
    s.inputBlock = X;
    return s;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

bool sameBits(const arma::cx_fcube& a, const arma::cx_fcube& b) {
    if (arma::size(a) != arma::size(b)) return false;
    for (arma::uword i = 0; i < a.n_elem; ++i)
        if (a[i].real() != b[i].real() || a[i].imag() != b[i].imag()) return false;
    return true;
}

// A one-bin separator holding W, Y (and Z, P) with the weights A and B given directly.
BlockSeparator oneBin(const arma::cx_fmat& W, const arma::cx_fmat& Y, const arma::fmat& A) {
    BlockSeparator s;
    s.startBlock(int(W.n_rows), int(W.n_rows), int(Y.n_cols), 1);
    s.demixingMatrices.slice(0) = W;
    s.separatedBlock.slice(0) = Y;
    s.scoreWeight = A;
    return s;
}

}  // namespace

TEST(UpdateRule, NamesAreExactAndCaseSensitive) {
    EXPECT_EQ(updateRuleNamed(kNaturalGradient), UpdateRule::NaturalGradient);
    EXPECT_EQ(updateRuleNamed(kFixedPoint), UpdateRule::FixedPoint);
    EXPECT_EQ(updateRuleNamed("[iva]NATURAL_GRADIENT_DESCENT_METHOD"), UpdateRule::None);
    EXPECT_EQ(updateRuleNamed(std::string(kFixedPoint) + " "), UpdateRule::None);
    EXPECT_EQ(updateRuleNamed(""), UpdateRule::None);
}

TEST(Whitening, GivesIdentityCovarianceAndKeepsTheStrongestComponents) {
    for (int M : {2, 3}) {
        const int N = 2, T = 400, K = 3;
        arma::cx_fcube X = testdata::mix(testdata::mixingMatrices(M, M, K, 5), testdata::sources(M, T, K, 6));
        X.each_slice(
            [](arma::cx_fmat& s) { s.each_col() += arma::cx_fvec(s.n_rows, arma::fill::value(cxf(3, -2))); });
        BlockSeparator s = separatorFor(X, N);
        s.whiten();
        for (int k = 0; k < K; ++k) {
            const arma::cx_fmat& Z = s.whitenedBlock.slice(k);
            const arma::cx_fmat C = Z * Z.t() / float(T);
            EXPECT_LT(arma::abs(C - arma::eye<arma::cx_fmat>(N, N)).max(), 1e-4f)
                << "M " << M << " bin " << k;
            EXPECT_LT(arma::abs(arma::mean(Z, 1)).max(), 1e-4f);  // centred
            // The kept components carry the N largest eigenvalues of the covariance.
            const arma::cx_fmat Xc = X.slice(k).each_col() - arma::mean(X.slice(k), 1);
            const arma::fvec lambda = arma::eig_sym(arma::cx_fmat(Xc * Xc.t() / float(T)));
            const arma::cx_fmat& V = s.whiteningMatrices.slice(k);
            const float kept = arma::accu(arma::real(arma::pinv(V * V.t()).eval().diag()));
            EXPECT_NEAR(kept, lambda(M - 1) + lambda(M - 2), 1e-3f * lambda(M - 1));
        }
    }
}

TEST(NaturalGradientStep, HandWorkedCases) {
    // N = 1: w = w + 0.1 (1 - sum_t |y|^2 A / T) w.
    {
        arma::cx_fmat Y = {{cxf(1, 0), cxf(0, 2), cxf(-3, 0)}};
        arma::fmat A = {{0.5f, 0.25f, 1.0f}};
        BlockSeparator s = oneBin(arma::cx_fmat(1, 1, arma::fill::value(cxf(2, 1))), Y, A);
        s.naturalGradientStep(0);
        const float G = (1 * 0.5f + 4 * 0.25f + 9 * 1.0f) / 3.0f;  // 3.5
        const cxf expected = cxf(2, 1) + 0.1f * (1.0f - G) * cxf(2, 1);
        EXPECT_NEAR(std::abs(s.demixingMatrices(0, 0, 0) - expected), 0.0f, 1e-6f);
    }
    // A silent block: G = 0, so W grows by 1.1.
    {
        arma::cx_fmat W = {{cxf(1, 2), cxf(0, -1)}, {cxf(0.5f, 0), cxf(3, 3)}};
        BlockSeparator s =
            oneBin(W, arma::cx_fmat(2, 5, arma::fill::zeros), arma::fmat(2, 5, arma::fill::value(1e6f)));
        s.naturalGradientStep(0);
        EXPECT_LT(arma::abs(s.demixingMatrices.slice(0) - 1.1f * W).max(), 1e-5f);
    }
    // Weighted correlation already the identity: nothing moves, to the bit.
    {
        arma::cx_fmat W = {{cxf(0.3f, 0.1f), cxf(-2, 0)}, {cxf(1, 1), cxf(0, 0.7f)}};
        arma::cx_fmat Y(2, 4, arma::fill::zeros);
        Y(0, 0) = cxf(2, 0);
        Y(1, 2) = cxf(0, -2);
        BlockSeparator s = oneBin(W, Y, arma::fmat(2, 4, arma::fill::ones));
        s.naturalGradientStep(0);
        EXPECT_TRUE(arma::all(arma::vectorise(s.demixingMatrices.slice(0) == W)));
    }
}

TEST(FixedPointStep, HandWorkedCases) {
    // N = 1: w' = g w - F / T with g = mean(A - B P), F = sum A y conj(z); then w'/|w'|.
    {
        arma::cx_fmat Z = {{cxf(1, 1), cxf(-1, 0), cxf(0, 2)}};
        const cxf w(0.6f, 0.8f);
        arma::cx_fmat Y = w * Z;
        arma::fmat A = {{0.5f, 1.0f, 0.25f}}, B = {{0.1f, 0.2f, 0.05f}};
        BlockSeparator s = oneBin(arma::cx_fmat(1, 1, arma::fill::value(w)), Y, A);
        s.whitenedBlock.slice(0) = Z;
        s.cubicWeight = B;
        s.power.slice(0) = arma::square(arma::abs(Y));
        s.fixedPointStep(0);
        float g = 0;
        cxf F = 0;
        for (int t = 0; t < 3; ++t) {
            g += (A(0, t) - B(0, t) * std::norm(Y(0, t))) / 3.0f;
            F += A(0, t) * Y(0, t) * std::conj(Z(0, t));
        }
        const cxf moved = g * w - F / 3.0f;
        const cxf got = s.demixingMatrices(0, 0, 0);
        EXPECT_NEAR(std::abs(got), 1.0f, 1e-5f);
        EXPECT_NEAR(std::abs(got - moved / std::abs(moved)), 0.0f, 1e-5f);
    }
    // A silent block scales W by about 1e6; the decorrelation gives back the identity,
    // and any orthonormal W whose rows are only scaled comes back unchanged.
    {
        BlockSeparator s = oneBin(arma::eye<arma::cx_fmat>(2, 2), arma::cx_fmat(2, 4, arma::fill::zeros),
                                  arma::fmat(2, 4, arma::fill::value(1.0f / 1e-6f)));
        s.cubicWeight.fill(1.0f / 1e-6f);
        s.fixedPointStep(0);
        EXPECT_LT(arma::abs(s.demixingMatrices.slice(0) - arma::eye<arma::cx_fmat>(2, 2)).max(), 1e-5f);

        const float c = std::cos(0.4f), si = std::sin(0.4f);
        arma::cx_fmat U = {{cxf(c, 0), cxf(0, si)}, {cxf(0, si), cxf(c, 0)}};
        arma::fmat A = {{2, 2, 2, 2}, {7, 7, 7, 7}};  // rows scaled by 2 and 7
        BlockSeparator r = oneBin(U, arma::cx_fmat(2, 4, arma::fill::zeros), A);
        r.fixedPointStep(0);
        EXPECT_LT(arma::abs(r.demixingMatrices.slice(0) - U).max(), 1e-5f);
    }
}

TEST(SymmetricDecorrelation, MakesRowsOrthonormal) {
    arma::arma_rng::set_seed(11);
    for (int N : {1, 2, 3, 4}) {
        arma::cx_fmat W(arma::randn<arma::fmat>(N, N), arma::randn<arma::fmat>(N, N));
        W *= 40.0f;
        symmetricDecorrelation(W, 0);
        EXPECT_LT(arma::abs(W * W.t() - arma::eye<arma::cx_fmat>(N, N)).max(), 1e-5f) << "N " << N;
    }
}

TEST(SeparateBlock, ProgressLinesAndStoppingRule) {
    // No update: err repeats, so the second iteration stops with one unlabelled line.
    {
        BlockSeparator s = separatorFor(testdata::sources(2, 50, 4, 1), 2);
        std::ostringstream out;
        EXPECT_EQ(s.separateBlock(updateRuleNamed("none"), 100, &out), 2);
        auto l = lines(out.str());
        ASSERT_EQ(l.size(), 1u);
        EXPECT_TRUE(std::regex_match(
            l[0], std::regex(R"(KW_BSS::IVA:: === \[ iterations: 2, Error: [0-9.e+-]+, Difference: 0 \])")))
            << l[0];
    }
    // A silent block: err stays 0, whatever the rule; the output is silent.
    for (const char* method : {kNaturalGradient, kFixedPoint}) {
        BlockSeparator s = separatorFor(arma::cx_fcube(2, 30, 4, arma::fill::zeros), 2);
        std::ostringstream out;
        EXPECT_EQ(s.separateBlock(updateRuleNamed(method), 100, &out), 2);
        const std::string label = method == kFixedPoint ? "Fixed-point" : "Natural-gradient";
        EXPECT_EQ(out.str(), "KW_BSS::IVA::" + label + " === [ iterations: 2, Error: 0, Difference: 0 ]\n");
        EXPECT_EQ(arma::abs(s.separatedBlock).max(), 0.0f);
    }
    // Without convergence: lines after iterations 50 and 100 only, with the first
    // difference measured from 1e6.
    {
        BlockSeparator s = separatorFor(
            testdata::mix(testdata::mixingMatrices(2, 2, 16, 3), testdata::sources(2, 200, 16, 4)), 2);
        std::ostringstream out;
        EXPECT_EQ(s.separateBlock(UpdateRule::NaturalGradient, 100, &out), 100);
        auto l = lines(out.str());
        ASSERT_EQ(l.size(), 2u);
        const std::regex form(
            R"(KW_BSS::IVA::Natural-gradient === \[ iterations: (\d+), Error: ([0-9.e+-]+), Difference: ([0-9.e+-]+) \])");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l[0], m, form)) << l[0];
        EXPECT_EQ(m[1], "50");
        ASSERT_TRUE(std::regex_match(l[1], m, form)) << l[1];
        EXPECT_EQ(m[1], "100");
    }
    {
        BlockSeparator s = separatorFor(testdata::sources(2, 20, 4, 8), 2);
        std::ostringstream out;
        EXPECT_EQ(s.separateBlock(UpdateRule::FixedPoint, 1, &out), 1);
        EXPECT_EQ(s.separateBlock(UpdateRule::FixedPoint, 0, &out), 0);
        EXPECT_EQ(s.separateBlock(UpdateRule::FixedPoint, -3, &out), 0);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(progressLine(UpdateRule::FixedPoint, 1, 3.25f, 1000000.0f - 3.25f),
                  "KW_BSS::IVA::Fixed-point === [ iterations: 1, Error: 3.25, Difference: 999997 ]");
        EXPECT_EQ(progressLine(UpdateRule::None, 7, 1e-7f, -2.5e6f),
                  "KW_BSS::IVA:: === [ iterations: 7, Error: 1e-07, Difference: -2.5e+06 ]");
    }
}

TEST(ProjectBack, RestoresEachSourceAtItsOwnChannel) {
    const int T = 300, K = 3;
    // N = M = 2: with the true demixing matrix, in any scale, row n is source n times A(n, n).
    {
        const arma::cx_fcube A = testdata::mixingMatrices(2, 2, K, 21);
        const arma::cx_fcube S = testdata::sources(2, T, K, 22);
        BlockSeparator s = separatorFor(testdata::mix(A, S), 2);
        s.whiten();
        for (int k = 0; k < K; ++k) {
            const arma::cx_fmat scale = arma::diagmat(arma::cx_fvec{cxf(0, 3), cxf(-0.5f, 0.5f)});
            s.demixingMatrices.slice(k) = scale * arma::inv(s.whiteningMatrices.slice(k) * A.slice(k));
        }
        s.projectBack();
        for (int k = 0; k < K; ++k)
            for (int n = 0; n < 2; ++n) {
                const arma::cx_frowvec expected = A(n, n, k) * S.slice(k).row(n);
                const float err =
                    arma::norm(s.separatedBlock.slice(k).row(n) - expected) / arma::norm(expected);
                EXPECT_LT(err, 1e-3f) << "bin " << k << " source " << n;
            }
    }
    // N = 1 < M = 2, one source: it comes back as observed at channel 0.
    {
        const arma::cx_fcube A = testdata::mixingMatrices(2, 1, K, 23);
        const arma::cx_fcube S = testdata::sources(1, T, K, 24);
        BlockSeparator s = separatorFor(testdata::mix(A, S), 1);
        s.separateBlock(UpdateRule::FixedPoint, 10, nullptr);
        for (int k = 0; k < K; ++k) {
            const arma::cx_frowvec expected = A(0, 0, k) * S.slice(k).row(0);
            EXPECT_LT(arma::norm(s.separatedBlock.slice(k).row(0) - expected) / arma::norm(expected), 1e-3f);
        }
    }
}

TEST(SeparateBlock, BothRulesSeparateAMixtureWithOnePermutationForAllBins) {
    const int N = 2, T = 300, K = 24;
    const arma::cx_fcube A = testdata::mixingMatrices(2, N, K, 31);
    const arma::cx_fcube S = testdata::sources(N, T, K, 32);
    for (auto [rule, iterations] :
         {std::pair{UpdateRule::FixedPoint, 100}, {UpdateRule::NaturalGradient, 300}}) {
        BlockSeparator s = separatorFor(testdata::mix(A, S), N);
        s.separateBlock(rule, iterations, nullptr);
        // Global response of output n to source m: projection of Y onto each source.
        double energy[2][2] = {{0, 0}, {0, 0}};
        for (int k = 0; k < K; ++k) {
            const arma::cx_fmat& Y = s.separatedBlock.slice(k);
            const arma::cx_fmat gain = Y * arma::pinv(S.slice(k));  // Y = gain S
            for (int n = 0; n < N; ++n)
                for (int m = 0; m < N; ++m)
                    energy[n][m] +=
                        std::norm(gain(n, m)) * arma::accu(arma::square(arma::abs(S.slice(k).row(m))));
        }
        const double direct = energy[0][0] + energy[1][1], crossed = energy[0][1] + energy[1][0];
        const double sir = 10 * std::log10(std::max(direct, crossed) / std::min(direct, crossed));
        EXPECT_GT(sir, 20.0) << (rule == UpdateRule::FixedPoint ? "fixed point" : "natural gradient");
    }
}

TEST(SeparateBlock, MatchesThePlainTranscriptionToTheBit) {
    for (auto [M, N] : {std::pair{2, 2}, {3, 2}, {2, 1}}) {
        const arma::cx_fcube X =
            testdata::mix(testdata::mixingMatrices(M, M, 6, 41), testdata::sources(M, 120, 6, 42));
        for (UpdateRule rule : {UpdateRule::NaturalGradient, UpdateRule::FixedPoint, UpdateRule::None}) {
            BlockSeparator s = separatorFor(X, N);
            s.separateBlock(rule, 15, nullptr);
            // A second block through the same storage gives the same bits as a fresh one.
            s.startBlock(M, N, 120, 6);
            s.inputBlock = X;
            s.separateBlock(rule, 15, nullptr);
            EXPECT_TRUE(sameBits(s.separatedBlock, testdata::referenceSeparation(X, N, rule, 15)))
                << "M " << M << " N " << N << " rule " << int(rule);
        }
    }
}

TEST(SeparateBlock, DegenerateBlocksStayFinite) {
    // One frame: the centred block is zero, so is the output.
    {
        BlockSeparator s = separatorFor(testdata::sources(2, 1, 5, 51), 2);
        s.separateBlock(UpdateRule::FixedPoint, 100, nullptr);
        EXPECT_EQ(arma::abs(s.separatedBlock).max(), 0.0f);
    }
    // A bin that is silent throughout, in a block that is still moving after 1200
    // natural-gradient iterations: the demixing matrix of that bin meets only zeros and
    // must not overflow into NaN for the whole block.
    {
        arma::cx_fcube X =
            testdata::mix(testdata::mixingMatrices(2, 2, 8, 31), testdata::sources(2, 300, 8, 32));
        X.slice(2).zeros();
        for (UpdateRule rule : {UpdateRule::NaturalGradient, UpdateRule::FixedPoint}) {
            BlockSeparator s = separatorFor(X, 2);
            const int done = s.separateBlock(rule, 1200, nullptr);
            if (rule == UpdateRule::NaturalGradient) {
                EXPECT_EQ(done, 1200);
            }
            EXPECT_TRUE(s.separatedBlock.is_finite()) << int(rule);
            EXPECT_EQ(arma::abs(s.separatedBlock.slice(2)).max(), 0.0f);
        }
    }
    // Sizes that cannot be separated are refused before any work.
    BlockSeparator s;
    EXPECT_THROW(s.startBlock(2, 3, 10, 4), SeparationError);
    EXPECT_THROW(s.startBlock(2, 0, 10, 4), SeparationError);
    EXPECT_THROW(s.startBlock(2, 2, 0, 4), SeparationError);
}
