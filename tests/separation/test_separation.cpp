#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "separation/SourceSeparation.h"
#include "separation/block_separation.h"
#include "tests/separation/mixtures.h"
#include "tests/support/NodeHarness.h"

using namespace separation;
using namespace mixtures;
using arma::cx_fcube;
using arma::cx_fmat;
using arma::fmat;
namespace fill = arma::fill;
using cxf = std::complex<float>;
using Spectrum = FD::Matrix<cxf>;
using namespace FD::testing;
using Script = ScriptedSource::Script;

namespace {
cx_fcube mixture(int M, int T, int K, int s) {
    return mix(gaussian(M, M, K, s), gaussian(M, T, K, s + 1, 1.5f));
}
BlockSeparator oneBin(const cx_fmat& W, const cx_fmat& Y, const fmat& A) {
    BlockSeparator s;
    s.startBlock(int(W.n_rows), int(W.n_rows), int(Y.n_cols), 1);
    s.demixingMatrices.slice(0) = W;
    s.separatedBlock.slice(0) = Y;
    s.scoreWeight = A;
    return s;
}
float maxDiff(const cx_fmat& a, const cx_fmat& b) { return arma::abs(a - b).max(); }

Params params(int frames, int sources = 2) {  // blocks of `frames` frames
    Params p;
    p.s("ITERATION_METHOD", "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION").i("MAX_ITERATION", 20);
    p.i("NUMBER_OF_SOURCES_TO_BE_SEPARATED", sources).i("ADVANCE", 160).i("SAMPLING_RATE", 16000);
    return p.f("SEPARATION_TIME_LENGTH", frames * 0.01f);
}
// Frame t holds column t of X (silence past its end) and a Nyquist column of junk.
FD::ObjectRef frameOf(const cx_fcube& X, int t) {
    auto* m = new Spectrum(X.n_rows, X.n_slices + 1);
    for (arma::uword c = 0; c < X.n_rows && t < int(X.n_cols); ++c)
        for (arma::uword k = 0; k <= X.n_slices; ++k)
            (*m)(c, k) = k < X.n_slices ? X(c, t, k) : cxf(123, -45);
    return FD::ObjectRef(m);
}
std::unique_ptr<NodeHarness> harness(const Params& p, Script script) {
    auto h = std::make_unique<NodeHarness>(new SourceSeparation("sep", p));
    h->feed("INPUT_AUDIO_SPECTRUM", std::move(script));
    h->initialize();
    return h;
}
}  // namespace

TEST(BlockStages, WhiteningDecorrelationAndUpdateStepsOnHandWorkedCases) {
    const int N = 2, T = 400;
    BlockSeparator s = separatorFor(mixture(3, T, 3, 5) + cxf(3, -2), N);
    s.whiten();
    for (int k = 0; k < 3; ++k) {
        const cx_fmat& Z = s.whitenedBlock.slice(k);
        EXPECT_LT(maxDiff(Z * Z.t() / float(T), arma::eye<cx_fmat>(N, N)), 1e-4f);
        EXPECT_LT(arma::abs(arma::mean(Z, 1)).max(), 1e-4f);
    }
    for (int n : {1, 3}) {  // symmetric decorrelation
        cx_fmat W = 40.0f * randnCx(n, n);
        symmetricDecorrelation(W, 0);
        EXPECT_LT(maxDiff(W * W.t(), arma::eye<cx_fmat>(n, n)), 1e-5f) << n;
    }
    // Natural gradient, N = 1: w += 0.1 (1 - mean A |y|^2) w = 0.75 w, the mean being 3.5.
    BlockSeparator one = oneBin(cx_fmat(1, 1, fill::value(cxf(2, 1))),
                                cx_fmat{{cxf(1, 0), cxf(0, 2), cxf(-3, 0)}}, fmat{{0.5f, 0.25f, 1.0f}});
    one.naturalGradientStep(0);
    EXPECT_NEAR(std::abs(one.demixingMatrices(0, 0, 0) - 0.75f * cxf(2, 1)), 0.0f, 1e-6f);
    // A silent block: W grows by 1.1.
    const cx_fmat W = {{cxf(1, 2), cxf(0, -1)}, {cxf(0.5f, 0), cxf(3, 3)}};
    BlockSeparator silent = oneBin(W, cx_fmat(2, 5, fill::zeros), fmat(2, 5, fill::value(1e6f)));
    silent.naturalGradientStep(0);
    EXPECT_LT(maxDiff(silent.demixingMatrices.slice(0), 1.1f * W), 1e-5f);
    // Weighted correlation already the identity: nothing moves, to the bit.
    cx_fmat Y(2, 4, fill::zeros);
    Y(0, 0) = cxf(2, 0);
    Y(1, 2) = cxf(0, -2);
    BlockSeparator identity = oneBin(W, Y, fmat(2, 4, fill::ones));
    identity.naturalGradientStep(0);
    EXPECT_TRUE(arma::all(arma::vectorise(identity.demixingMatrices.slice(0) == W)));
    // Fixed point, N = 1, |w| = 1, |z|^2 = (2, 1, 4): g = 1.15 / 3, F / T = w, w' = -(1.85 / 3) w -> -w.
    const cx_fmat Z = {{cxf(1, 1), cxf(-1, 0), cxf(0, 2)}};
    const cxf w(0.6f, 0.8f);
    BlockSeparator fp = oneBin(cx_fmat(1, 1, fill::value(w)), w * Z, fmat{{0.5f, 1.0f, 0.25f}});
    fp.whitenedBlock.slice(0) = Z;
    fp.cubicWeight = {{0.1f, 0.2f, 0.05f}};
    fp.power.slice(0) = {{2.0f, 1.0f, 4.0f}};
    fp.fixedPointStep(0);
    EXPECT_NEAR(std::abs(fp.demixingMatrices(0, 0, 0) + w), 0.0f, 1e-5f);
    // A silent block scales W = I by 1e6; the decorrelation gives back the identity.
    const cx_fmat I = arma::eye<cx_fmat>(2, 2);
    BlockSeparator fp0 = oneBin(I, cx_fmat(2, 4, fill::zeros), fmat(2, 4, fill::value(1e6f)));
    fp0.cubicWeight.fill(1e6f);
    fp0.fixedPointStep(0);
    EXPECT_LT(maxDiff(fp0.demixingMatrices.slice(0), I), 1e-5f);
    // An orthonormal W whose rows are only scaled (by 2 and 7) comes back unchanged.
    const cx_fmat U = {{cxf(0.6f, 0), cxf(0, 0.8f)}, {cxf(0, 0.8f), cxf(0.6f, 0)}};
    BlockSeparator scaled = oneBin(U, cx_fmat(2, 4, fill::zeros), {{2, 2, 2, 2}, {7, 7, 7, 7}});
    scaled.fixedPointStep(0);
    EXPECT_LT(maxDiff(scaled.demixingMatrices.slice(0), U), 1e-5f);
}

TEST(ProjectBack, RestoresEachSourceAtItsOwnChannel) {
    const int K = 3;
    auto expectRestored = [&](const cx_fcube& Y, const cx_fcube& A, const cx_fcube& S) {
        for (arma::uword n = 0; n < Y.n_rows; ++n)
            for (int k = 0; k < K; ++k) {
                const arma::cx_frowvec e = A(n, n, k) * S.slice(k).row(n);
                EXPECT_LT(arma::norm(Y.slice(k).row(n) - e) / arma::norm(e), 1e-3f);
            }
    };
    // N = M = 2: the true demixing matrix in any scale gives source n times A(n, n).
    cx_fcube A = gaussian(2, 2, K, 21), S = gaussian(2, 300, K, 22, 1.5f);
    BlockSeparator s = separatorFor(mix(A, S), 2);
    s.whiten();
    for (int k = 0; k < K; ++k)
        s.demixingMatrices.slice(k) = cx_fmat{{cxf(0, 3), 0}, {0, cxf(-0.5f, 0.5f)}} *
                                      arma::inv(s.whiteningMatrices.slice(k) * A.slice(k));
    s.projectBack();
    expectRestored(s.separatedBlock, A, S);
    // N = 1 < M = 2, one source: it comes back as observed at channel 0.
    A = gaussian(2, 1, K, 23);
    S = gaussian(1, 300, K, 24, 1.5f);
    BlockSeparator one = separatorFor(mix(A, S), 1);
    one.separateBlock(UpdateRule::FixedPoint, 10, nullptr);
    expectRestored(one.separatedBlock, A, S);
}

TEST(SeparateBlock, RecoversIndependentSourcesReusesItsStorageHoldsSilentBinsAndReportsProgress) {
    // Two sources whose loudness varies over time alike in every bin, mixed differently
    // in each bin: each output is one source as heard at its own channel, the same
    // source in every bin.
    const int K = 6, T = 400;
    const cx_fcube A = gaussian(2, 2, K, 51), S = gaussian(2, T, K, 52, 1.5f);
    for (UpdateRule rule : {UpdateRule::NaturalGradient, UpdateRule::FixedPoint}) {
        BlockSeparator s = separatorFor(mix(A, S), 2);
        s.separateBlock(rule, 300, nullptr);
        for (arma::uword n = 0; n < 2; ++n) {
            auto error = [&](arma::uword j, int k) {  // relative to source j heard at channel n
                const arma::cx_frowvec image = A(n, j, k) * S.slice(k).row(j);
                return arma::norm(s.separatedBlock.slice(k).row(n) - image) / arma::norm(image);
            };
            const arma::uword j = error(0, 0) < error(1, 0) ? 0 : 1;
            for (int k = 0; k < K; ++k) EXPECT_LT(error(j, k), 0.1f) << int(rule) << " " << n << " " << k;
        }
    }
    // A second block through the same storage comes out as from a fresh separator.
    const cx_fcube X = mixture(3, 120, 6, 41);
    for (UpdateRule rule : {UpdateRule::NaturalGradient, UpdateRule::FixedPoint, UpdateRule::None}) {
        BlockSeparator s = separatorFor(mixture(3, 60, 4, 7), 2), fresh = separatorFor(X, 2);
        s.separateBlock(rule, 15, nullptr);
        s.startBlock(3, 2, 120, 6);
        s.inputBlock = X;
        s.separateBlock(rule, 15, nullptr);
        fresh.separateBlock(rule, 15, nullptr);
        EXPECT_EQ(arma::accu(s.separatedBlock != fresh.separatedBlock), 0u) << int(rule);
    }
    // Natural gradient: a silent bin of a block still moving after 1200 iterations must not overflow.
    cx_fcube Xs = mixture(2, 300, 8, 31);
    Xs.slice(2).zeros();
    BlockSeparator s = separatorFor(Xs, 2);
    EXPECT_EQ(s.separateBlock(UpdateRule::NaturalGradient, 1200, nullptr), 1200);
    EXPECT_TRUE(s.separatedBlock.is_finite());
    EXPECT_EQ(arma::abs(s.separatedBlock.slice(2)).max(), 0.0f);
    // A silent block: err stays 0, so iteration 2 converges with one line.
    s = separatorFor(cx_fcube(2, 30, 4, fill::zeros), 2);
    std::ostringstream out;
    EXPECT_EQ(
        s.separateBlock(updateRuleNamed("[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION"), 100, &out), 2);
    EXPECT_EQ(out.str(), "KW_BSS::IVA::Fixed-point === [ iterations: 2, Error: 0, Difference: 0 ]\n");
    s = separatorFor(mixture(2, 200, 16, 3), 2);
    out.str("");
    EXPECT_EQ(s.separateBlock(updateRuleNamed("[IVA]NATURAL_GRADIENT_DESCENT_METHOD"), 100, &out), 100);
    const std::string p = R"(KW_BSS::IVA::Natural-gradient === \[ iterations: )",
                      q = R"(, Error: [0-9.e+-]+, Difference: [0-9.e+-]+ \]\n)";
    EXPECT_TRUE(std::regex_match(out.str(), std::regex(p + "50" + q + p + "100" + q))) << out.str();
}

TEST(SourceSeparationNode, EachBlockIsReadAheadSeparatedAloneAndWrittenToItsFrames) {
    const int M = 2, T = 6, K = 5, length = 2 * T + 4;  // the last block is incomplete
    cx_fcube X = mixture(M, 3 * T, K, 60);
    X.cols(length, 3 * T - 1).zeros();
    ::testing::internal::CaptureStdout();
    for (int N : {2, 1}) {
        auto h = harness(params(T, N), [&](int t) { return frameOf(X, t); });
        for (int first = 0; first < length; first += T) {
            h->pull("OUTPUT_AUDIO_SPECTRUM", first);
            EXPECT_EQ(h->input("INPUT_AUDIO_SPECTRUM").maxRequested(), first + T - 1) << N;  // no further
            BlockSeparator alone = separatorFor(X.cols(first, first + T - 1), N);
            alone.separateBlock(UpdateRule::FixedPoint, 20, nullptr);
            for (int t = 0; t < T && first + t < length; ++t) {
                FD::RCPtr<Spectrum> out = h->pull("OUTPUT_AUDIO_SPECTRUM", first + t);
                ASSERT_TRUE(out->nrows() == M && out->ncols() == K + 1);
                for (int c = 0; c < M; ++c)
                    for (int k = 0; k <= K; ++k)
                        ASSERT_EQ((*out)(c, k), c < N && k < K ? alone.separatedBlock(c, t, k) : cxf(0, 0))
                            << "N " << N << " frame " << first + t << " row " << c << " bin " << k;
                EXPECT_GT(std::abs((*out)(0, 1)), 0.0f);  // the incomplete tail is separated too
            }
        }
    }
    ::testing::internal::GetCapturedStdout();
}

TEST(SourceSeparationNode, RefusesSourcesOutside1ToMAndBadInputAndGivesZerosForSilence) {
    const cx_fcube X = mixture(2, 8, 4, 70);
    auto spoiled = [&](int frame, cxf v) -> Script {  // channel 1, bin 2 of one frame set to v
        cx_fcube Y = X;
        if (frame >= 0) Y(1, frame, 2) = v;
        return [=](int t) { return frameOf(Y, t); };
    };
    auto zeros = [](int columns) -> Script {
        return [=](int) { return FD::ObjectRef(new Spectrum(2, columns)); };
    };
    const std::tuple<int, int, Script, std::string> cases[] = {
        {3, 4, spoiled(-1, 0),
         "NUMBER_OF_SOURCES_TO_BE_SEPARATED is 3 but INPUT_AUDIO_SPECTRUM has 2 channels"},
        {0, 4, spoiled(-1, 0), "NUMBER_OF_SOURCES_TO_BE_SEPARATED must be at least 1, got 0"},
        {2, 4, spoiled(6, cxf(0, NAN)),
         "frame 4: INPUT_AUDIO_SPECTRUM frame 6 holds a non-finite value at channel 1, bin 2"},
        {2, 4, spoiled(6, cxf(0, INFINITY)),
         "frame 4: INPUT_AUDIO_SPECTRUM frame 6 holds a non-finite value"},
        {2, 4, spoiled(1, cxf(3e30f, 0)), "channel covariance failed at bin 2"},
        {2, 4, [&](int t) { return t == 2 ? zeros(3)(t) : frameOf(X, t); }, "frame 2 is 2 x 3, the block"},
        {2, 4, [](int) { return FD::ObjectRef(new FD::Matrix<float>(2, 5)); }, "got Matrix<float>"},
        {2, 5, zeros(9), ""},        // silence
        {2, 1, spoiled(-1, 0), ""},  // single-frame blocks
        {2, 3, zeros(1), ""},        // no bin below Nyquist
    };
    ::testing::internal::CaptureStdout();  // progress lines
    for (const auto& [sources, frames, script, message] : cases) {
        std::vector<FD::ObjectRef> out;
        const std::string e = hostError(
            [&] { out = harness(params(frames, sources), script)->run("OUTPUT_AUDIO_SPECTRUM", 8); });
        EXPECT_TRUE(message.empty() ? e.empty() : e.find(message) != std::string::npos) << e;
        for (const FD::ObjectRef& o : out) {
            const Spectrum& s = dynamic_cast<const Spectrum&>(*o);
            for (size_t i = 0; i < s.size(); ++i) ASSERT_EQ(s.data()[i], cxf(0, 0)) << frames;
        }
    }
    ::testing::internal::GetCapturedStdout();
}

// 200 channels: OpenBLAS' zgemv_n kernel read past the end of the covariance handed to
// zheevd and crashed whenever that matrix ended its memory mapping (one run in three).
// The decomposition must also give eig_sym's very bits.
TEST(SeparateBlock, ManyChannelsDecomposeWithoutReadingPastTheMatrix) {
    const int M = 200, T = 8, K = 6;
    for (int run = 0; run < 3; ++run) {
        BlockSeparator s = separatorFor(run == 0 ? cx_fcube(M, T, K, fill::zeros) : gaussian(M, T, K, 40 + run), 2);
        EXPECT_LE(s.separateBlock(UpdateRule::FixedPoint, 2, nullptr), 2);
        EXPECT_TRUE(s.separatedBlock.is_finite());
    }
    for (int n : {2, 40, 200}) {
        const cx_fmat X = randnCx(n, n + 3);
        const arma::cx_mat R = arma::conv_to<arma::cx_mat>::from(cx_fmat(X * X.t()));
        arma::vec l1, l2;
        arma::cx_mat e1, e2;
        ASSERT_TRUE(hermitianEigen(l1, e1, R));
        ASSERT_TRUE(arma::eig_sym(l2, e2, R, "dc"));
        EXPECT_TRUE(arma::all(l1 == l2)) << n;
        EXPECT_EQ(arma::accu(e1 != e2), 0u) << n;
    }
}
