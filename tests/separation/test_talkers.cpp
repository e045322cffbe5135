// Talkers across blocks: the row order kept from block to block, and each row's direction.
#include <gtest/gtest.h>

#include <cmath>

#include "localization/gcc_phat.h"
#include "flow/Source.h"
#include "separation/SourceSeparation.h"
#include "separation/block_alignment.h"
#include "tests/separation/mixtures.h"
#include "tests/support/NodeHarness.h"

using namespace separation;
using namespace mixtures;
using arma::cx_fcube;
using arma::cx_fmat;
using arma::fmat;
using cxf = std::complex<float>;
using Spectrum = FD::Matrix<cxf>;
using namespace FD::testing;

namespace {

// N x T x K sources: complex Gaussian under a log-normal envelope over frames (speech-like).
cx_fcube sources(int N, int T, int K, unsigned seed, float spread = 1.5f) {
    return gaussian(N, T, K, seed, spread);
}

// Y = D W X per bin, the demixing W projected back (D = diag of W^-1), rows in `order`:
// row n of the result is source order[n].
cx_fcube separatedAs(const cx_fcube& W, const cx_fcube& X, const std::vector<int>& order) {
    cx_fcube Y(W.n_rows, X.n_cols, X.n_slices);
    for (arma::uword k = 0; k < X.n_slices; ++k) {
        const cx_fmat H = arma::diagmat(cx_fmat(arma::inv(W.slice(k))).diag()) * W.slice(k) * X.slice(k);
        for (size_t n = 0; n < order.size(); ++n) Y.slice(k).row(n) = H.row(order[n]);
    }
    return Y;
}

// Free-field two-microphone mixing of talkers at `degrees`, 18 cm apart, bins of a
// 16 kHz spectrum with K + 1 columns; delays split evenly around the pair's centre.
cx_fcube pairMixing(const std::vector<double>& delays, int K) {
    cx_fcube A(2, delays.size(), K);
    for (int k = 0; k < K; ++k)
        for (size_t n = 0; n < delays.size(); ++n) {
            const double w = localization::angularFrequency(k + 1, 16000, K + 1);  // bin 0 would mix nothing apart
            A(0, n, k) = std::polar(1.0f, float(-w * delays[n] / 2));
            A(1, n, k) = std::polar(1.0f, float(w * delays[n] / 2));
        }
    return A;
}

}  // namespace

TEST(SourceOrder, PutsPermutedBlocksBackAndRescalesMovedRowsToTheirChannel) {
    const int T = 200, K = 64;
    const std::vector<std::vector<int>> orders[] = {
        {{0, 1}, {1, 0}, {1, 0}, {0, 1}},
        {{0, 1, 2}, {2, 0, 1}, {1, 2, 0}, {0, 2, 1}},
    };
    for (const auto& blockOrders : orders) {
        const int N = int(blockOrders[0].size());
        arma::arma_rng::set_seed(N);
        const cx_fcube W(arma::randn<arma::fcube>(N, N, K), arma::randn<arma::fcube>(N, N, K));
        cx_fcube A(N, N, K);
        for (int k = 0; k < K; ++k) A.slice(k) = arma::inv(W.slice(k));
        SourceOrder aligner;
        for (size_t b = 0; b < blockOrders.size(); ++b) {
            const cx_fcube X = mix(A, sources(N, T, K, 10 + b));
            cx_fcube Y = separatedAs(W, X, blockOrders[b]);
            BlockMixing mixing;
            estimateMixing(X, Y, &mixing);
            const std::vector<int> order = aligner.align(mixing);
            for (int c = 0; c < N; ++c) EXPECT_EQ(blockOrders[b][order[c]], c) << "N " << N << " block " << b;
            applyOrder(order, Y, mixing);
            const cx_fcube inPlace = separatedAs(W, X, blockOrders[0]);
            EXPECT_LT(arma::abs(arma::vectorise(Y - inPlace)).max(), 1e-3f * arma::abs(arma::vectorise(inPlace)).max())
                << "N " << N << " block " << b;
        }
    }
}

TEST(SourceOrder, ABlockWithASilentTalkerKeepsTheOrderItsActiveTalkerConfirms) {
    const int T = 200, K = 64;
    const cx_fcube A = pairMixing({-3.0e-4, 3.5e-4}, K);
    for (unsigned seed = 0; seed < 8; ++seed) {
        SourceOrder aligner;
        arma::cx_fcube W(2, 2, K);
        for (int k = 0; k < K; ++k) W.slice(k) = arma::inv(A.slice(k));
        BlockMixing silence;  // a silent start teaches nothing
        estimateMixing(cx_fcube(2, T, K, arma::fill::zeros), cx_fcube(2, T, K, arma::fill::zeros), &silence);
        ASSERT_EQ(aligner.align(silence), std::vector<int>({0, 1}));
        for (int b = 0; b < 2; ++b) {  // two ordinary blocks teach the references
            const cx_fcube X = mix(A, sources(2, T, K, 100 * seed + b));
            BlockMixing m;
            estimateMixing(X, separatedAs(W, X, {0, 1}), &m);
            ASSERT_EQ(aligner.align(m), std::vector<int>({0, 1}));
        }
        // Talker 1 silent: its row holds a faint residual unrelated to the talker.
        const cx_fcube S = sources(2, T, K, 100 * seed + 7);
        cx_fcube talker0 = S;
        talker0.tube(1, 0, 1, T - 1).zeros();
        const cx_fcube X = mix(A, talker0) + 0.01f * sources(2, T, K, 100 * seed + 8);
        for (const std::vector<int>& rows : {std::vector<int>{0, 1}, std::vector<int>{1, 0}}) {
            cx_fcube Y(2, T, K);
            for (int k = 0; k < K; ++k) {
                Y.slice(k).row(rows[0]) = X.slice(k).row(0);
                Y.slice(k).row(rows[1]) = 0.03f * S.slice(k).row(1);  // independent of X
            }
            BlockMixing m;
            estimateMixing(X, Y, &m);
            SourceOrder trial = aligner;
            EXPECT_EQ(trial.align(m), rows) << "seed " << seed;  // the talker goes back to channel 0
        }
        // A block of noise alone gives no evidence: nothing moves.
        BlockMixing noise;
        const cx_fcube N = sources(2, T, K, 100 * seed + 9);
        estimateMixing(N, 0.1f * sources(2, T, K, 100 * seed + 10), &noise);
        EXPECT_EQ(aligner.align(noise), std::vector<int>({0, 1})) << "seed " << seed;
    }
}

namespace {
// The node on X in blocks of T frames, with KEEP_SOURCE_ORDER and MICS_DISTANCE 18 cm.
std::unique_ptr<NodeHarness> talkersNode(const cx_fcube& X, int T,
                                         const std::string& headModel = "FREE_SPACE") {
    Params p = nodeParams(kFastIva, T, 2, 30);
    p.f("MICS_DISTANCE", 18.0f).s("SOUND_DIFFRACTION_COMPENSATION", headModel).b("KEEP_SOURCE_ORDER", true);
    auto h = std::make_unique<NodeHarness>(new SourceSeparation("sep", p));
    h->feed("INPUT_AUDIO_SPECTRUM", [X](int t) { return frameOf(X, t); });
    h->initialize();
    return h;
}
double azimuthOf(const FD::Source& s) { return std::atan2(s.x[1], s.x[0]) * 180.0 / M_PI; }
}  // namespace

TEST(SourceSeparationNode, GivesEachRowsDirectionForBothHeadModels) {
    const int T = 100, K = 256;
    const std::pair<std::string, localization::HeadModel> models[] = {
        {"FREE_SPACE", localization::HeadModel::FreeSpace},
        {"SPHERICAL_HEAD", localization::HeadModel::SphericalHead}};
    const int azimuths[][2] = {{-30, 40}, {55, -10}, {0, -70}};
    ::testing::internal::CaptureStdout();
    for (const auto& [text, model] : models)
        for (const auto& az : azimuths) {
            // Talkers exactly on the model's delays: tau = (mic 0 lag) - (mic 1 lag).
            const std::vector<double> tau = {localization::steeringDelay(model, 18.0f, az[0] + 90),
                                             localization::steeringDelay(model, 18.0f, az[1] + 90)};
            auto h = talkersNode(mix(pairMixing(tau, K), sources(2, 2 * T, K, 5, 0.5f)), T, text);
            for (int f : {0, T / 2, T, 2 * T - 1}) {
                FD::RCPtr<FD::Vector<FD::ObjectRef>> list = h->pull("SOURCE_DIRECTIONS", f);
                ASSERT_EQ(list->size(), 2u) << text << " frame " << f;
                std::vector<double> found;
                for (int n = 0; n < 2; ++n) {
                    const FD::Source& s = dynamic_cast<const FD::Source&>(*(*list)[n]);
                    EXPECT_EQ(s.id, n);
                    EXPECT_GT(s.power, 0.8f);
                    found.push_back(azimuthOf(s));
                }
                if (found[0] > found[1]) std::swap(found[0], found[1]);  // the rows in either order
                EXPECT_NEAR(found[0], std::min(az[0], az[1]), 1.0) << text << " frame " << f;
                EXPECT_NEAR(found[1], std::max(az[0], az[1]), 1.0) << text << " frame " << f;
            }
        }
    ::testing::internal::GetCapturedStdout();
}

TEST(SourceSeparationNode, AChannelWhoseTalkerFallsSilentKeepsItsTalkersDirection) {
    const int T = 100, K = 256;
    const std::vector<double> tau = {localization::steeringDelay(localization::HeadModel::FreeSpace, 18.0f, 60),
                                     localization::steeringDelay(localization::HeadModel::FreeSpace, 18.0f, 130)};
    cx_fcube S = sources(2, 2 * T, K, 21);
    S.tube(1, T, 1, 2 * T - 1).zeros();  // talker 1 (+40 degrees) silent in the second block
    auto h = talkersNode(mix(pairMixing(tau, K), S) + 1e-3f * sources(2, 2 * T, K, 22), T);
    ::testing::internal::CaptureStdout();
    auto records = [&](int f) {
        FD::RCPtr<FD::Vector<FD::ObjectRef>> list = h->pull("SOURCE_DIRECTIONS", f);
        std::vector<std::pair<double, float>> r;
        for (const FD::ObjectRef& o : *list) {
            const FD::Source& s = dynamic_cast<const FD::Source&>(*o);
            r.emplace_back(azimuthOf(s), s.power);
        }
        return r;
    };
    const auto first = records(0), second = records(T);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 2u);
    const int talker1 = first[0].first > first[1].first ? 0 : 1;  // the channel of the +40-degree talker
    EXPECT_NEAR(first[talker1].first, 40.0, 1.0);
    EXPECT_EQ(second[talker1].first, first[talker1].first);  // held
    EXPECT_EQ(second[talker1].second, 0.0f);
    EXPECT_NEAR(second[1 - talker1].first, -30.0, 1.0);  // measured
    EXPECT_GT(second[1 - talker1].second, 0.8f);
}

TEST(SourceSeparationNode, TalkerOptionsOffOrDirectionsOnlyLeaveTheSpectraAsTheyWere) {
    const int T = 40, K = 32;
    const cx_fcube X = mix(pairMixing({-3e-4, 2e-4}, K), sources(2, 3 * T, K, 9));
    ::testing::internal::CaptureStdout();
    auto spectra = [&](const Params& p) {
        NodeHarness h(new SourceSeparation("sep", p));
        h.feed("INPUT_AUDIO_SPECTRUM", [&](int t) { return frameOf(X, t); });
        h.initialize();
        return h.run("OUTPUT_AUDIO_SPECTRUM", 3 * T);
    };
    const auto plain = spectra(nodeParams(kFastIva, T, 2, 30));
    Params off = nodeParams(kFastIva, T, 2, 30), directions = nodeParams(kFastIva, T, 2, 30);
    off.b("KEEP_SOURCE_ORDER", false);
    directions.f("MICS_DISTANCE", 18.0f);
    for (const Params* p : {&off, &directions}) {
        const auto out = spectra(*p);
        for (int f = 0; f < 3 * T; ++f) {
            const Spectrum &a = dynamic_cast<const Spectrum&>(*plain[f]), &b = dynamic_cast<const Spectrum&>(*out[f]);
            ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(cxf))) << "frame " << f;
        }
    }
    ::testing::internal::GetCapturedStdout();
}
