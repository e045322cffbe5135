// The auxiliary-function rule, the batched two-source kernel and the closed-form 2 x 2
// arithmetic, against Armadillo and the per-bin steps.
#include <gtest/gtest.h>

#include <cfloat>
#include <regex>
#include <sstream>

#include "separation/block_separation.h"
#include "separation/closed_form_2x2.h"
#include "tests/separation/mixtures.h"

using namespace separation;
using namespace mixtures;
using arma::cx_fcube;
using arma::cx_fmat;
using arma::cx_mat;
using arma::fmat;
using cxf = std::complex<float>;

namespace {

const double kEpsD = DBL_EPSILON, kEpsF = FLT_EPSILON;

cx_mat randomUnitary(unsigned seed) {
    arma::arma_rng::set_seed(seed);
    cx_mat U, R;
    arma::qr(U, R, cx_mat(arma::randn(2, 2), arma::randn(2, 2)));
    return U;
}
cx_mat wide(const cx_fmat& a) { return arma::conv_to<cx_mat>::from(a); }
double relative(const cx_mat& a, const cx_mat& b) { return arma::norm(a - b, "fro") / arma::norm(b, "fro"); }

// N independent sources, spherical over the bins with a Laplacian-like density (Gaussian
// with exponential variance), mixed by a random M x N matrix per bin.
struct Mixture {
    cx_fcube A, S, X;
};
Mixture laplacianMixture(int M, int N, int T, int K, unsigned seed) {
    arma::arma_rng::set_seed(seed);
    Mixture m{cx_fcube(M, N, K), cx_fcube(N, T, K), cx_fcube(M, T, K)};
    const cx_fmat scale = arma::conv_to<cx_fmat>::from(arma::sqrt(-arma::log(arma::randu<fmat>(N, T) + 1e-12f)));
    for (int k = 0; k < K; ++k) {
        m.A.slice(k) = randnCx(M, N);
        m.S.slice(k) = randnCx(N, T) % scale;
        m.X.slice(k) = m.A.slice(k) * m.S.slice(k);
    }
    return m;
}
// SIR (dB) of each output row over the block: the power it carries of its main source
// (least-squares share, one permutation for all bins) against that of the other.
arma::vec sirOf(const cx_fcube& Y, const Mixture& m) {
    arma::mat power(2, 2, arma::fill::zeros);  // output row x source
    for (arma::uword k = 0; k < Y.n_slices; ++k) {
        const cx_fmat G = Y.slice(k) * arma::pinv(m.S.slice(k));
        for (int n = 0; n < 2; ++n)
            for (int s = 0; s < 2; ++s)
                power(n, s) += std::norm(G(n, s)) * arma::accu(arma::square(arma::abs(m.S.slice(k).row(s))));
    }
    return 10 * arma::log10(arma::max(power, 1) / arma::min(power, 1));
}

}  // namespace

TEST(ClosedForms2x2, EigenDecompositionMatchesArmadilloDownToSingularMatrices) {
    // (smaller, larger) eigenvalue: well conditioned, near-singular, singular, indefinite,
    // negative, equal and nearly equal, tiny and large.
    const std::pair<double, double> cases[] = {{0.3, 2.0},  {1e-6, 1.0},       {1e-10, 1.0},   {1e-15, 1.0},
                                               {0.0, 4.0},  {-1e-12, 1.0},     {-2.0, 1.5},    {-3.0, -1.0},
                                               {1.0, 1.0},  {1.0, 1.0 + 1e-9}, {1e-20, 1e-18}, {3e5, 7e7}};
    unsigned seed = 1;
    for (const auto& [low, high] : cases)
        for (int repeat = 0; repeat < 20; ++repeat) {
            const cx_mat U = randomUnitary(seed++), Q0 = U * arma::diagmat(arma::cx_vec{low, high}) * U.t();
            const cx_mat Q = 0.5 * (Q0 + Q0.t());  // Hermitian to the last bit
            arma::vec values(2), reference;
            cx_mat E(2, 2), referenceE;
            hermitianEigen2x2(Q.memptr(), 1, values.memptr(), E.memptr());
            ASSERT_TRUE(arma::eig_sym(reference, referenceE, Q, "dc"));
            const double scale = arma::norm(Q, 2);
            // eigenvalues as Armadillo's; unit, orthogonal vectors with Q E = E diag(values)
            const double error = std::max({arma::abs(values - reference).max() / scale,
                                           arma::norm(Q * E - E * arma::diagmat(values), "fro") / scale,
                                           arma::norm(E.t() * E - arma::eye<cx_mat>(2, 2), "fro")});
            EXPECT_LE(error, 8 * kEpsD) << low << " " << high;
            if (high - low > 1e-3 * scale) {  // well separated: Armadillo's vectors up to a phase
                for (int j = 0; j < 2; ++j)
                    EXPECT_NEAR(std::abs(arma::cdot(E.col(j), referenceE.col(j))), 1.0, 8 * kEpsD);
            }
        }
}

TEST(ClosedForms2x2, PseudoInversesAreExactToFloatRoundingDownToSingularMatrices) {
    // Smaller singular value (the larger is 1): well and ill conditioned, above and below
    // the rank tolerance 2 FLT_EPSILON, zero. The exact answers come from the float input in
    // double precision, with the rank the tolerance leaves.
    unsigned seed = 100;
    for (double small : {0.5, 1e-2, 1e-4, 1e-6, 1e-9, 0.0})
        for (int repeat = 0; repeat < 20; ++repeat) {
            const cx_mat U = randomUnitary(seed++), V = randomUnitary(seed++);
            const cx_fmat H = arma::conv_to<cx_fmat>::from(cx_mat(U * arma::diagmat(arma::cx_vec{1.0, small}) * V.t()));
            cx_mat u, v;
            arma::vec sv;
            arma::svd(u, sv, v, wide(H));
            const int rank = small > 2.02 * kEpsF ? 2 : 1;
            const cx_mat exact = v.cols(0, rank - 1) * arma::diagmat(1 / sv.head(rank)) * u.cols(0, rank - 1).t();
            cx_fmat P(2, 2);
            pseudoInverse2x2(H.memptr(), 1, P.memptr());
            // (Armadillo's float SVD is off by up to cond * eps)
            EXPECT_LE(relative(wide(P), exact), 4 * kEpsF) << small;

            // pinv(sqrt(Q)) for Q = H H^H, as the symmetric decorrelation uses it
            const cx_fmat Q = H * H.t();
            arma::vec l;
            cx_mat E;
            arma::eig_sym(l, E, wide(Q), "dc");
            arma::vec gains = arma::sqrt(arma::clamp(l, 0.0, arma::datum::inf));
            const double tolerance = 2 * gains.max() * kEpsF;
            gains.transform([&](double r) { return r > 0 && r >= tolerance ? 1 / r : 0.0; });
            cx_fmat R(2, 2);
            inverseSquareRootHermitian2x2(Q.memptr(), 1, R.memptr());
            EXPECT_TRUE(R.is_finite()) << small;
            if (small >= 1e-4) {  // Q's small eigenvalue above its float rounding
                const cx_mat root = E * arma::diagmat(arma::cx_vec(gains, 0 * gains)) * E.t();
                EXPECT_LE(relative(wide(R), root), 8 * kEpsF) << small;
            }
        }
}

TEST(ClosedForms2x2, FirstTwoRulesStayWithinRoundingOfLapackAndAreOffByDefault) {
    const Mixture m = laplacianMixture(2, 2, 300, 16, 11);
    for (UpdateRule rule : {UpdateRule::NaturalGradient, UpdateRule::FixedPoint}) {
        BlockSeparator lapack = separatorFor(m.X, 2), closed = separatorFor(m.X, 2);
        EXPECT_FALSE(lapack.usesClosedForms());
        closed.useClosedForms(true);
        EXPECT_EQ(lapack.separateBlock(rule, 15, nullptr), closed.separateBlock(rule, 15, nullptr));
        const float difference =
            arma::abs(closed.separatedBlock - lapack.separatedBlock).max() / arma::abs(lapack.separatedBlock).max();
        EXPECT_LT(difference, 1e-5f) << int(rule);
    }
}

TEST(TwoSourceIva, BatchedKernelMatchesThePerBinStepsOfEachRule) {
    const int K = 24;
    const Mixture m = laplacianMixture(2, 2, 400, K, 7);
    for (UpdateRule rule : {UpdateRule::NaturalGradient, UpdateRule::FixedPoint, UpdateRule::AuxIva}) {
        BlockSeparator s = separatorFor(m.X, 2);
        s.whiten();
        s.initialiseDemixing();
        for (int i = 0; i < 3; ++i) {  // a few iterations in, so that W is not the identity
            s.computeContrast();
            for (int k = 0; k < K; ++k) s.auxiliaryFunctionStep(k);
        }
        cx_fcube W = s.demixingMatrices;
        s.computeContrast();
        for (int k = 0; k < K; ++k) {
            if (rule == UpdateRule::NaturalGradient) s.naturalGradientStep(k);
            if (rule == UpdateRule::FixedPoint) s.fixedPointStep(k);
            if (rule == UpdateRule::AuxIva) s.auxiliaryFunctionStep(k);
        }
        TwoSourceIva kernel;
        kernel.load(s.whitenedBlock);
        fmat r, a, b;
        kernel.contrast(W, r, a, b, BlockSeparator::kEpsilon);
        EXPECT_LT(arma::abs(r - s.norm).max() / s.norm.max(), 1e-5f);
        EXPECT_LT(arma::abs(a / s.scoreWeight - 1.0f).max(), 1e-5f);
        EXPECT_LT(arma::abs(b / s.cubicWeight - 1.0f).max(), 1e-4f);
        if (rule == UpdateRule::NaturalGradient) kernel.naturalGradient(W, a, BlockSeparator::kStepSize);
        if (rule == UpdateRule::FixedPoint) {
            kernel.fixedPoint(W, a, b);
            for (int k = 0; k < K; ++k) symmetricDecorrelation(W.slice(k), k);
        }
        if (rule == UpdateRule::AuxIva) kernel.iterativeProjection(W, a);
        EXPECT_LT(arma::abs(W - s.demixingMatrices).max() / arma::abs(s.demixingMatrices).max(), 1e-4f)
            << int(rule);
    }
}

TEST(AuxIva, SeparatesLaplacianSourcesInTwentyIterationsFromTwoOrThreeMicrophones) {
    const int T = 400, K = 24;
    const Mixture m = laplacianMixture(2, 2, T, K, 7);
    BlockSeparator s = separatorFor(m.X, 2);
    std::ostringstream progress;  // converged well before 100 iterations, with a finite contrast
    EXPECT_LE(s.separateBlock(updateRuleNamed("[AuxIVA]ITERATIVE_PROJECTION"), 100, &progress), 40);
    EXPECT_TRUE(std::regex_match(progress.str(), std::regex(R"(KW_BSS::IVA::Iterative-projection === \[ )"
                                                            R"(iterations: \d+, Error: [0-9.]+, Difference: \S+ \]\n)")))
        << progress.str();
    const arma::vec converged = sirOf(s.separatedBlock, m);
    s = separatorFor(m.X, 2);
    s.separateBlock(UpdateRule::AuxIva, 20, nullptr);
    const arma::vec sir20 = sirOf(s.separatedBlock, m);
    EXPECT_GT(sir20.min(), 25.0) << sir20.t();
    EXPECT_LT(arma::abs(converged - sir20).max(), 1.0);  // settled by 20

    // three microphones, two sources: whitening to two components, the same kernel
    const Mixture m3 = laplacianMixture(3, 2, T, K, 8);
    s = separatorFor(m3.X, 2);
    s.separateBlock(UpdateRule::AuxIva, 20, nullptr);
    EXPECT_GT(sirOf(s.separatedBlock, m3).min(), 25.0);
}
