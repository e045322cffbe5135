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
    for (UpdateRule rule : {UpdateRule::FixedPoint, UpdateRule::AuxIva}) {
        BlockSeparator one = separatorFor(mix(A, S), 1);
        one.separateBlock(rule, 20, nullptr);
        expectRestored(one.separatedBlock, A, S);
    }
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
    BlockSeparator s = separatorFor(mixture(2, 200, 16, 3), 2);
    std::ostringstream out;
    EXPECT_EQ(s.separateBlock(updateRuleNamed("[IVA]NATURAL_GRADIENT_DESCENT_METHOD"), 100, &out), 100);
    const std::string p = R"(KW_BSS::IVA::Natural-gradient === \[ iterations: )",
                      q = R"(, Error: [0-9.e+-]+, Difference: [0-9.e+-]+ \]\n)";
    EXPECT_TRUE(std::regex_match(out.str(), std::regex(p + "50" + q + p + "100" + q))) << out.str();
}

TEST(SeparateBlock, SilentBinsAndBlocksGiveZerosWithoutNaNForEveryRule) {
    // A silent bin of a block still moving after 1200 natural-gradient iterations must not
    // overflow; a silent block keeps the error at 0, so iteration 2 converges with one line.
    cx_fcube Xs = mixture(2, 300, 8, 31);
    Xs.slice(2).zeros();
    const std::pair<std::string, std::string> rules[] = {
        {"[IVA]NATURAL_GRADIENT_DESCENT_METHOD", "Natural-gradient"},
        {kFastIva, "Fixed-point"},
        {kAuxIva, "Iterative-projection"}};
    for (const auto& [name, label] : rules) {
        const UpdateRule rule = updateRuleNamed(name);
        BlockSeparator s = separatorFor(Xs, 2);
        const int iterations = s.separateBlock(rule, 1200, nullptr);
        EXPECT_TRUE(rule != UpdateRule::NaturalGradient || iterations == 1200);
        EXPECT_TRUE(s.separatedBlock.is_finite()) << label;
        EXPECT_EQ(arma::abs(s.separatedBlock.slice(2)).max(), 0.0f) << label;
        s = separatorFor(cx_fcube(2, 30, 4, fill::zeros), 2);
        std::ostringstream out;
        EXPECT_EQ(s.separateBlock(rule, 100, &out), 2) << label;
        EXPECT_EQ(out.str(), "KW_BSS::IVA::" + label + " === [ iterations: 2, Error: 0, Difference: 0 ]\n");
        EXPECT_EQ(arma::abs(s.separatedBlock).max(), 0.0f) << label;
    }
}

TEST(SourceSeparationNode, EachBlockIsReadAheadSeparatedAloneAndWrittenToItsFrames) {
    const int M = 2, T = 6, K = 5, length = 2 * T + 4;  // the last block is incomplete
    cx_fcube X = mixture(M, 3 * T, K, 60);
    X.cols(length, 3 * T - 1).zeros();
    ::testing::internal::CaptureStdout();
    for (int N : {2, 1}) {
        auto h = harness(nodeParams(kFastIva, T, N), [&](int t) { return frameOf(X, t); });
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

TEST(SourceSeparationNode, RefusesBadParametersAndInputAndGivesZerosWhereNothingIsSeparated) {
    const cx_fcube X = mixture(2, 8, 4, 70);
    auto spoiled = [&](int frame, cxf v) -> Script {  // channel 1, bin 2 of one frame set to v
        cx_fcube Y = X;
        Y(1, frame, 2) = v;
        return [=](int t) { return frameOf(Y, t); };
    };
    auto zeros = [](int columns) -> Script {
        return [=](int) { return FD::ObjectRef(new Spectrum(2, columns)); };
    };
    const Script plain = [&](int t) { return frameOf(X, t); };
    auto fast = [](int frames = 4, int sources = 2) { return nodeParams(kFastIva, frames, sources); };
    auto aux = [](int sources = 2) { return nodeParams(kAuxIva, 4, sources); };
    const std::string spectra = "OUTPUT_AUDIO_SPECTRUM";
    struct Case {
        Params params;
        int sources;
        Script script;
        std::string port, message;  // message "" for none
        bool silent;                // every output bin zero
    };
    const Case cases[] = {
        {fast(4, 3), 3, plain, spectra,
         "NUMBER_OF_SOURCES_TO_BE_SEPARATED is 3 but INPUT_AUDIO_SPECTRUM has 2 channels", false},
        {fast(4, 0), 0, plain, spectra, "NUMBER_OF_SOURCES_TO_BE_SEPARATED must be at least 1, got 0", false},
        {fast(), 2, spoiled(6, cxf(0, NAN)), spectra,
         "frame 4: INPUT_AUDIO_SPECTRUM frame 6 holds a non-finite value at channel 1, bin 2", false},
        {fast(), 2, spoiled(6, cxf(0, INFINITY)), spectra,
         "frame 4: INPUT_AUDIO_SPECTRUM frame 6 holds a non-finite value", false},
        {fast(), 2, spoiled(1, cxf(3e30f, 0)), spectra, "channel covariance failed at bin 2", false},
        {fast(), 2, [&](int t) { return t == 2 ? zeros(3)(t) : frameOf(X, t); }, spectra,
         "frame 2 is 2 x 3, the block", false},
        {fast(), 2, [](int) { return FD::ObjectRef(new FD::Matrix<float>(2, 5)); }, spectra,
         "got Matrix<float>", false},
        {aux().i("CLOSED_FORM_2X2", 1), 2, plain, spectra, "CLOSED_FORM_2X2 expects bool, got int 1", false},
        {aux().f("MICS_DISTANCE", 0.0f), 2, plain, spectra,
         "MICS_DISTANCE must be a positive number of centimetres, got 0", false},
        {aux().f("MICS_DISTANCE", NAN), 2, plain, spectra, "MICS_DISTANCE must be a positive number", false},
        {aux().f("MICS_DISTANCE", 18.0f).s("SOUND_DIFFRACTION_COMPENSATION", "free_space"), 2, plain, spectra,
         "SOUND_DIFFRACTION_COMPENSATION must be \"FREE_SPACE\" or \"SPHERICAL_HEAD\", got \"free_space\"",
         false},
        {aux(), 2, plain, "SOURCE_DIRECTIONS", "SOURCE_DIRECTIONS is read but MICS_DISTANCE", false},
        // 3e30 squared still fits the double-precision closed forms: no error, no NaN
        {aux(), 2, spoiled(1, cxf(3e30f, 0)), spectra, "", false},
        {aux(1), 1, plain, spectra, "", false},
        {aux().b("CLOSED_FORM_2X2", true).b("KEEP_SOURCE_ORDER", true), 2, plain, spectra, "", false},
        {aux().f("SEPARATION_TIME_LENGTH", 0.01f), 2, plain, spectra, "", false},  // single-frame blocks
        {fast(5), 2, zeros(9), spectra, "", true},                                  // silence
        {fast(1), 2, plain, spectra, "", true},                                     // single-frame blocks
        {fast(3), 2, zeros(1), spectra, "", true},                                  // no bin below Nyquist
    };
    ::testing::internal::CaptureStdout();  // progress lines
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<FD::ObjectRef> out;
        const std::string e = hostError([&] { out = harness(c.params, c.script)->run(c.port, 8); });
        EXPECT_TRUE(c.message.empty() ? e.empty() : e.find(c.message) != std::string::npos) << e;
        for (const FD::ObjectRef& o : out) {  // finite; zero past N rows and in the Nyquist column
            const Spectrum& s = dynamic_cast<const Spectrum&>(*o);
            for (int r = 0; r < s.nrows(); ++r)
                for (int k = 0; k < s.ncols(); ++k) {
                    ASSERT_TRUE(std::isfinite(std::abs(s(r, k))));
                    if (c.silent || r >= c.sources || k == s.ncols() - 1) {
                        ASSERT_EQ(s(r, k), cxf(0, 0));
                    }
                }
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
