// The auxiliary-function rule and the closed-form 2 x 2 arithmetic against Armadillo.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdio>
#include <regex>
#include <sstream>

#include "separation/SourceSeparation.h"
#include "separation/closed_form_2x2.h"
#include "tests/support/NodeHarness.h"

using namespace separation;
using arma::cx_fcube;
using arma::cx_fmat;
using arma::cx_mat;
using cxf = std::complex<float>;
using cxd = std::complex<double>;
using Spectrum = FD::Matrix<cxf>;
using namespace FD::testing;

namespace {

const double kEpsD = DBL_EPSILON, kEpsF = FLT_EPSILON;

// Random unitary U and Hermitian U diag(low, high) U^H, its eigenvalues as given.
cx_mat hermitianWith(double low, double high, unsigned seed) {
    arma::arma_rng::set_seed(seed);
    cx_mat U, R;
    arma::qr(U, R, cx_mat(arma::randn(2, 2), arma::randn(2, 2)));
    const cx_mat Q = U * arma::diagmat(arma::cx_vec{low, high}) * U.t();
    return 0.5 * (Q + Q.t());  // Hermitian to the last bit
}
// Random complex matrix with singular values (1, small).
cx_fmat withSingularValues(double small, unsigned seed) {
    arma::arma_rng::set_seed(seed);
    cx_mat U, V, R;
    arma::qr(U, R, cx_mat(arma::randn(2, 2), arma::randn(2, 2)));
    arma::qr(V, R, cx_mat(arma::randn(2, 2), arma::randn(2, 2)));
    return arma::conv_to<cx_fmat>::from(cx_mat(U * arma::diagmat(arma::cx_vec{1.0, small}) * V.t()));
}
double relative(const cx_mat& a, const cx_mat& b) { return arma::norm(a - b, "fro") / arma::norm(b, "fro"); }
cx_mat wide(const cx_fmat& a) { return arma::conv_to<cx_mat>::from(a); }

// Two independent sources, spherical over the bins with a Laplacian-like (exponential
// variance) density, mixed by a random 2 x 2 matrix per bin.
struct Mixture {
    cx_fcube A, S, X;
};
Mixture laplacianMixture(int M, int T, int K, unsigned seed) {
    arma::arma_rng::set_seed(seed);
    Mixture m{cx_fcube(M, 2, K), cx_fcube(2, T, K), cx_fcube(M, T, K)};
    const arma::fmat scale = arma::sqrt(-arma::log(arma::randu<arma::fmat>(2, T) + 1e-12f));
    for (int k = 0; k < K; ++k) {
        m.A.slice(k) = cx_fmat(arma::randn<arma::fmat>(M, 2), arma::randn<arma::fmat>(M, 2));
        m.S.slice(k) = cx_fmat(arma::randn<arma::fmat>(2, T), arma::randn<arma::fmat>(2, T)) %
                       arma::conv_to<cx_fmat>::from(scale);
        m.X.slice(k) = m.A.slice(k) * m.S.slice(k);
    }
    return m;
}
// Signal-to-interference ratio (dB) of each output row over the whole block, each output
// matched to the source it carries most of (one permutation for all bins).
arma::vec sirOf(const cx_fcube& Y, const Mixture& m) {
    arma::mat power(Y.n_rows, 2, arma::fill::zeros);  // output row x source
    for (arma::uword k = 0; k < Y.n_slices; ++k) {
        // least-squares share of each source in each output row
        const cx_fmat G = Y.slice(k) * arma::pinv(m.S.slice(k));
        for (arma::uword n = 0; n < Y.n_rows; ++n)
            for (int s = 0; s < 2; ++s)
                power(n, s) += std::norm(G(n, s)) * double(arma::accu(arma::square(arma::abs(m.S.slice(k).row(s)))));
    }
    arma::vec sir(Y.n_rows);
    for (arma::uword n = 0; n < Y.n_rows; ++n) {
        const double a = power(n, 0), b = power(n, 1);
        sir[n] = 10 * std::log10(std::max(a, b) / std::min(a, b));
    }
    return sir;
}
BlockSeparator separatorFor(const cx_fcube& X, int N) {
    BlockSeparator s;
    s.startBlock(int(X.n_rows), N, int(X.n_cols), int(X.n_slices));
    s.inputBlock = X;
    return s;
}

}  // namespace

TEST(ClosedForms2x2, EigenDecompositionMatchesArmadilloDownToSingularMatrices) {
    // (smaller, larger eigenvalue): well conditioned, near-singular, singular, indefinite,
    // negative, equal and nearly equal eigenvalues, a wide dynamic range.
    const std::pair<double, double> cases[] = {{0.3, 2.0},   {1e-6, 1.0},   {1e-10, 1.0}, {1e-15, 1.0},
                                               {0.0, 4.0},   {-1e-12, 1.0}, {-2.0, 1.5},  {-3.0, -1.0},
                                               {1.0, 1.0},   {1.0, 1.0 + 1e-9}, {1e-20, 1e-18}, {3e5, 7e7}};
    double worstValue = 0, worstResidual = 0;
    unsigned seed = 1;
    for (const auto& [low, high] : cases)
        for (int repeat = 0; repeat < 20; ++repeat) {
            const cx_mat Q = hermitianWith(low, high, seed++);
            arma::vec values(2);
            cx_mat E(2, 2);
            hermitianEigen2x2(Q.memptr(), 1, values.memptr(), E.memptr());
            arma::vec reference;
            cx_mat referenceE;
            ASSERT_TRUE(arma::eig_sym(reference, referenceE, Q, "dc"));
            const double scale = arma::norm(Q, 2);
            const double valueError = arma::abs(values - reference).max() / scale;
            // unit, orthogonal eigenvectors that satisfy Q E = E diag(values)
            const double residual = std::max(arma::norm(Q * E - E * arma::diagmat(values), "fro") / scale,
                                             arma::norm(E.t() * E - arma::eye<cx_mat>(2, 2), "fro"));
            EXPECT_LE(valueError, 8 * kEpsD) << low << " " << high;
            EXPECT_LE(residual, 8 * kEpsD) << low << " " << high;
            if (high - low > 1e-3 * scale) {  // well separated: the same vectors up to a phase
                for (int j = 0; j < 2; ++j)
                    EXPECT_NEAR(std::abs(arma::cdot(E.col(j), referenceE.col(j))), 1.0, 8 * kEpsD);
            }
            worstValue = std::max(worstValue, valueError);
            worstResidual = std::max(worstResidual, residual);
        }
    std::printf("eigen 2x2 vs Armadillo: eigenvalues within %.1e of |Q|, residual %.1e\n", worstValue,
                worstResidual);
}

TEST(ClosedForms2x2, PseudoInverseAndInverseRootAreAsCloseToExactAsArmadilloInFloat) {
    // Smaller singular value (the larger is 1): well conditioned, ill conditioned, just above
    // and well below the rank tolerance (2 FLT_EPSILON), zero.
    const double smallest[] = {0.5, 1e-2, 1e-4, 1e-6, 1e-9, 0.0};
    double worstPinv = 0, worstArmaPinv = 0, worstRoot = 0, worstArmaRoot = 0;
    unsigned seed = 100;
    for (double s : smallest)
        for (int repeat = 0; repeat < 20; ++repeat) {
            // pinv of a general matrix; the exact answer is the double pinv of the float input
            const cx_fmat H = withSingularValues(s, seed++);
            cx_fmat P(2, 2);
            pseudoInverse2x2(H.memptr(), 1, P.memptr());
            const bool keepsRank2 = s > 2 * kEpsF * 1.01;
            cx_mat exact;
            if (keepsRank2) {
                exact = arma::pinv(wide(H), 0.0, "dc");
            } else {  // rank one kept, as Armadillo's float tolerance decides
                cx_mat U, V;
                arma::vec sv;
                arma::svd(U, sv, V, wide(H));
                exact = V.col(0) * U.col(0).t() / sv[0];
            }
            const cx_fmat lapack = arma::pinv(H, 0.0f, "dc");
            const double e = relative(wide(P), exact), ea = relative(wide(lapack), exact);
            EXPECT_LE(e, std::max(4 * kEpsF, ea)) << s;  // never worse than LAPACK in float
            worstPinv = std::max(worstPinv, e);
            worstArmaPinv = std::max(worstArmaPinv, ea);
            if (s == 0.0) {  // exactly singular: the rank-one pseudo-inverse
                EXPECT_LE(e, 4 * kEpsF);
            }

            // pinv(sqrt(Q)) for Q = H H^H, as the symmetric decorrelation needs it
            const cx_fmat Q = H * H.t();
            cx_fmat R(2, 2);
            inverseSquareRootHermitian2x2(Q.memptr(), 1, R.memptr());
            arma::vec l;
            cx_mat E;
            arma::eig_sym(l, E, wide(Q), "dc");
            const arma::vec roots = arma::sqrt(arma::clamp(l, 0.0, arma::datum::inf));
            arma::vec gains(2, arma::fill::zeros);
            for (int j = 0; j < 2; ++j)
                if (roots[j] > 0 && roots[j] >= 2 * roots.max() * kEpsF) gains[j] = 1 / roots[j];
            const cx_mat exactRoot = E * arma::diagmat(arma::conv_to<arma::cx_vec>::from(gains)) * E.t();
            // today's float path: S = E sqrt(D) pinv(E), then pinv(S)
            const cx_fmat Ef = arma::conv_to<cx_fmat>::from(E);
            const cx_fmat S = Ef * arma::sqrt(arma::diagmat(arma::conv_to<arma::cx_fvec>::from(l))) *
                              arma::pinv(Ef, 0.0f, "dc");
            const cx_fmat lapackRoot = arma::pinv(S, 0.0f, "dc");
            const double er = relative(wide(R), exactRoot), ear = relative(wide(lapackRoot), exactRoot);
            if (s >= 1e-4) {  // Q's small eigenvalue s^2 still above float rounding of Q
                EXPECT_LE(er, 4 * kEpsF / (s * s) + 8 * kEpsF) << s;
                worstRoot = std::max(worstRoot, er);
                worstArmaRoot = std::max(worstArmaRoot, ear);
            }
            EXPECT_TRUE(R.is_finite()) << s;
        }
    std::printf("pinv 2x2: closed form within %.1e of exact, Armadillo float %.1e; pinv(sqrt(Q)) (cond <= 1e8): "
                "closed form %.1e, Armadillo float %.1e\n",
                worstPinv, worstArmaPinv, worstRoot, worstArmaRoot);
}

TEST(AuxIva, SeparatesLaplacianSourcesInTwentyIterationsForTwoOrFewerSources) {
    const int T = 400, K = 24;
    // two sources, two microphones: the closed-form kernel
    const Mixture m = laplacianMixture(2, T, K, 7);
    BlockSeparator s = separatorFor(m.X, 2);
    std::ostringstream progress;  // converged well before 100 iterations, with a finite contrast
    EXPECT_LE(s.separateBlock(updateRuleNamed("[AuxIVA]ITERATIVE_PROJECTION"), 100, &progress), 40);
    EXPECT_TRUE(std::regex_match(progress.str(), std::regex(R"(KW_BSS::IVA::Iterative-projection === \[ )"
                                                            R"(iterations: \d+, Error: [0-9.]+, Difference: \S+ \]\n)")))
        << progress.str();
    const arma::vec sirConverged = sirOf(s.separatedBlock, m);
    s = separatorFor(m.X, 2);
    s.separateBlock(UpdateRule::AuxIva, 20, nullptr);
    const arma::vec sir20 = sirOf(s.separatedBlock, m);
    EXPECT_GT(sir20.min(), 25.0) << sir20.t();
    EXPECT_LT(arma::abs(sirConverged - sir20).max(), 1.0);  // settled by 20

    // three microphones, two sources: whitening to two components, the same kernel
    const Mixture m3 = laplacianMixture(3, T, K, 8);
    s = separatorFor(m3.X, 2);
    s.separateBlock(UpdateRule::AuxIva, 20, nullptr);
    EXPECT_GT(sirOf(s.separatedBlock, m3).min(), 25.0);

    // N = 1 < M = 2 with one source: it comes back as observed at channel 0
    arma::arma_rng::set_seed(9);
    cx_fcube A1(2, 1, K), S1(1, T, K), X1(2, T, K);
    for (int k = 0; k < K; ++k) {
        A1.slice(k) = cx_fmat(arma::randn<arma::fmat>(2, 1), arma::randn<arma::fmat>(2, 1));
        S1.slice(k) = cx_fmat(arma::randn<arma::fmat>(1, T), arma::randn<arma::fmat>(1, T));
        X1.slice(k) = A1.slice(k) * S1.slice(k);
    }
    s = separatorFor(X1, 1);
    s.separateBlock(UpdateRule::AuxIva, 20, nullptr);
    for (int k = 0; k < K; ++k) {
        const arma::cx_frowvec expected = A1(0, 0, k) * S1.slice(k).row(0);
        EXPECT_LT(arma::norm(s.separatedBlock.slice(k).row(0) - expected) / arma::norm(expected), 1e-3f) << k;
    }

    // silent block and a silent bin: no NaN, zero where the input is zero
    cx_fcube Xs = m.X;
    Xs.slice(3).zeros();
    s = separatorFor(Xs, 2);
    s.separateBlock(UpdateRule::AuxIva, 20, nullptr);
    EXPECT_TRUE(s.separatedBlock.is_finite());
    EXPECT_EQ(arma::abs(s.separatedBlock.slice(3)).max(), 0.0f);
    s = separatorFor(cx_fcube(2, 30, 4, arma::fill::zeros), 2);
    std::ostringstream silent;
    EXPECT_EQ(s.separateBlock(UpdateRule::AuxIva, 100, &silent), 2);
    EXPECT_EQ(silent.str(), "KW_BSS::IVA::Iterative-projection === [ iterations: 2, Error: 0, Difference: 0 ]\n");
    EXPECT_EQ(arma::abs(s.separatedBlock).max(), 0.0f);
}

TEST(TwoSourceIva, BatchedKernelMatchesThePerBinStepsOfEachRule) {
    const int K = 24;
    const Mixture m = laplacianMixture(2, 400, K, 7);
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
        arma::fmat r, a, b;
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

TEST(ClosedForms2x2, FirstTwoRulesStayWithinRoundingOfLapackAndOffByDefault) {
    const Mixture m = laplacianMixture(2, 300, 16, 11);
    for (UpdateRule rule : {UpdateRule::NaturalGradient, UpdateRule::FixedPoint}) {
        BlockSeparator lapack = separatorFor(m.X, 2), closed = separatorFor(m.X, 2);
        EXPECT_FALSE(lapack.usesClosedForms());
        closed.useClosedForms(true);
        const int a = lapack.separateBlock(rule, 15, nullptr), b = closed.separateBlock(rule, 15, nullptr);
        EXPECT_EQ(a, b);
        const float difference =
            arma::abs(closed.separatedBlock - lapack.separatedBlock).max() / arma::abs(lapack.separatedBlock).max();
        EXPECT_LT(difference, 1e-4f) << int(rule);
        std::printf("closed forms vs LAPACK, rule %d, 15 iterations: largest difference %.1e of the largest output\n",
                    int(rule), difference);
    }
}

TEST(SourceSeparationNode, AuxIvaRuleThroughTheNodeWithTheRefusalsOfTheOtherRules) {
    const Mixture m = laplacianMixture(2, 8, 4, 12);
    auto frames = [&](float bad) -> ScriptedSource::Script {
        return [=](int t) {
            auto* f = new Spectrum(2, 5);
            for (int c = 0; c < 2; ++c)
                for (int k = 0; k < 4; ++k) (*f)(c, k) = t < 8 ? m.X(c, t, k) : cxf(0, 0);
            if (t == 5) (*f)(1, 2) = cxf(bad, 0);
            return FD::ObjectRef(f);
        };
    };
    auto params = [](int sources) {
        Params p;
        p.s("ITERATION_METHOD", "[AuxIVA]ITERATIVE_PROJECTION").i("NUMBER_OF_SOURCES_TO_BE_SEPARATED", sources);
        p.i("MAX_ITERATION", 20).f("SEPARATION_TIME_LENGTH", 0.04f).i("ADVANCE", 160).i("SAMPLING_RATE", 16000);
        return p;
    };
    const std::tuple<Params, float, std::string> cases[] = {
        {params(3), 0.0f, "NUMBER_OF_SOURCES_TO_BE_SEPARATED is 3 but INPUT_AUDIO_SPECTRUM has 2 channels"},
        {params(0), 0.0f, "NUMBER_OF_SOURCES_TO_BE_SEPARATED must be at least 1, got 0"},
        {params(2), NAN, "frame 5 holds a non-finite value at channel 1, bin 2 (frame 4)"},
        {params(2).i("CLOSED_FORM_2X2", 1), 0.0f, "expected bool"},
        {params(2), 0.0f, ""},
        {params(1), 0.0f, ""},
        {params(2).b("CLOSED_FORM_2X2", true), 0.0f, ""},
    };
    for (const auto& [p, bad, message] : cases) {
        std::vector<FD::ObjectRef> out;
        ::testing::internal::CaptureStdout();  // progress lines
        const std::string e = hostError([&, &p = p, bad = bad] {
            NodeHarness h(new SourceSeparation("sep", p));
            h.feed("INPUT_AUDIO_SPECTRUM", frames(bad));
            h.initialize();
            out = h.run("OUTPUT_AUDIO_SPECTRUM", 8);
        });
        ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(message.empty() ? e.empty() : e.find(message) != std::string::npos) << e;
        const int sources = dynamic_cast<const FD::Int&>(*p.set().get("NUMBER_OF_SOURCES_TO_BE_SEPARATED")).val();
        for (const FD::ObjectRef& o : out) {
            const Spectrum& s = dynamic_cast<const Spectrum&>(*o);
            ASSERT_TRUE(s.nrows() == 2 && s.ncols() == 5);
            for (int c = 0; c < 2; ++c)
                for (int k = 0; k < 5; ++k) {
                    ASSERT_TRUE(std::isfinite(s(c, k).real()) && std::isfinite(s(c, k).imag()));
                    if (k == 4 || c >= sources) {
                        ASSERT_EQ(s(c, k), cxf(0, 0));
                    }
                }
        }
    }
}
