// The SourceSeparation node through the host: block length, refused parameters, block
// boundaries and look-ahead, zero rows and Nyquist column, bad input, progress lines.
#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "separation/SourceSeparation.h"
#include "tests/separation/iva_test_data.h"
#include "tests/support/NodeHarness.h"

using FD::testing::hostError;
using FD::testing::NodeHarness;
using FD::testing::Params;
using Spectrum = FD::Matrix<std::complex<float>>;
using cxf = std::complex<float>;
namespace testdata = separation::testdata;

namespace {

Params params(float seconds, int sources = 2,
              const std::string& method = "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION") {
    Params p;
    p.s("ITERATION_METHOD", method)
        .i("NUMBER_OF_SOURCES_TO_BE_SEPARATED", sources)
        .i("MAX_ITERATION", 20)
        .f("SEPARATION_TIME_LENGTH", seconds)
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

float blockSeconds(int frames) { return float(frames) * 0.01f; }

// Frame t holds column t of X (silence past its end) and a Nyquist column of junk.
FD::ObjectRef frameOf(const arma::cx_fcube& X, int t) {
    const int M = int(X.n_rows), K = int(X.n_slices);
    auto* m = new Spectrum(M, K + 1);
    for (int c = 0; c < M && t < int(X.n_cols); ++c) {
        for (int k = 0; k < K; ++k) (*m)(c, k) = X(c, t, k);
        (*m)(c, K) = cxf(123, -45);
    }
    return FD::ObjectRef(m);
}

std::unique_ptr<NodeHarness> harness(const Params& p, FD::testing::ScriptedSource::Script script) {
    auto h = std::make_unique<NodeHarness>(new SourceSeparation("sep", p));
    h->feed("INPUT_AUDIO_SPECTRUM", std::move(script));
    h->initialize();
    return h;
}

void expectAllZero(const std::vector<FD::ObjectRef>& frames) {
    for (const FD::ObjectRef& o : frames) {
        const Spectrum& s = dynamic_cast<const Spectrum&>(*o);
        for (size_t i = 0; i < s.size(); ++i) ASSERT_EQ(s.data()[i], cxf(0, 0));
    }
}

}  // namespace

TEST(SourceSeparationNode, BlockLengthAndRefusedParameters) {
    EXPECT_EQ(SourceSeparation("s", params(3.0f)).blockFrames(), 300);
    EXPECT_EQ(SourceSeparation("s", params(2.0f).i("ADVANCE", 512)).blockFrames(),
              62);  // 62.4999962 in float
    EXPECT_EQ(SourceSeparation("s", params(0.005f)).blockFrames(), 1);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<Params, std::string> refused[] = {
        {params(0.004f), "SourceSeparation \"sep\": SEPARATION_TIME_LENGTH"},
        {params(nan), "SEPARATION_TIME_LENGTH"},
        {params(1e12f), "SEPARATION_TIME_LENGTH"},
        {params(3.0f).i("ADVANCE", 0), "ADVANCE must be a positive"},
        {params(3.0f).i("SAMPLING_RATE", -16000), "SAMPLING_RATE"},
        {params(3.0f, 0), "NUMBER_OF_SOURCES_TO_BE_SEPARATED must be at least 1, got 0"},
    };
    for (const auto& [p, message] : refused) {
        const std::string e = hostError([&] { SourceSeparation("sep", p); });
        EXPECT_NE(e.find(message), std::string::npos) << e;
    }
}

TEST(SourceSeparationNode, EachBlockIsReadAheadSeparatedAloneAndWrittenToItsFrames) {
    const int M = 2, T = 6, K = 5, length = 2 * T + 4;  // the last block is incomplete
    const arma::cx_fcube X = testdata::mixture(M, length, K, 60);
    for (int N : {2, 1}) {
        SCOPED_TRACE(N);
        auto h = harness(params(blockSeconds(T), N), [&](int t) { return frameOf(X, t); });
        const FD::testing::ScriptedSource& input = h->input("INPUT_AUDIO_SPECTRUM");
        ::testing::internal::CaptureStdout();
        for (int first = 0; first < length; first += T) {
            h->pull("OUTPUT_AUDIO_SPECTRUM", first);
            EXPECT_EQ(input.maxRequested(), first + T - 1);    // the whole block, no further
            arma::cx_fcube block(M, T, K, arma::fill::zeros);  // the block on its own
            for (int t = 0; first + t < length && t < T; ++t) block.col(t) = X.col(first + t);
            separation::BlockSeparator alone = testdata::separatorFor(block, N);
            alone.separateBlock(separation::UpdateRule::FixedPoint, 20, nullptr);
            for (int t = 0; t < T && first + t < length; ++t) {
                FD::RCPtr<Spectrum> out = h->pull("OUTPUT_AUDIO_SPECTRUM", first + t);
                ASSERT_EQ(out->nrows(), M);
                ASSERT_EQ(out->ncols(), K + 1);
                EXPECT_EQ(input.maxRequested(), first + T - 1);
                for (int c = 0; c < M; ++c) {
                    for (int k = 0; k < K; ++k)
                        ASSERT_EQ((*out)(c, k), c < N ? alone.separatedBlock(c, t, k) : cxf(0, 0))
                            << "frame " << first + t << " row " << c << " bin " << k;
                    EXPECT_EQ((*out)(c, K), cxf(0, 0));  // Nyquist column
                }
                EXPECT_GT(std::abs((*out)(0, 1)), 0.0f);  // the incomplete tail is separated too
            }
        }
        ::testing::internal::GetCapturedStdout();
    }
}

TEST(SourceSeparationNode, BadInputIsReportedWithNodeFrameAndWhat) {
    const arma::cx_fcube X = testdata::mixture(2, 8, 4, 70);
    auto spoiled = [&](int frame, int c, int k, cxf v) {
        return [=, &X](int t) {
            FD::ObjectRef f = frameOf(X, t);
            if (t == frame) dynamic_cast<Spectrum&> (*f)(c, k) = v;
            return f;
        };
    };
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::string nonFinite =
        "SourceSeparation \"sep\": INPUT_AUDIO_SPECTRUM frame 6 holds a non-finite value "
        "at channel 1, bin 2 (frame 4)";
    struct Case {
        int sources;
        FD::testing::ScriptedSource::Script script;
        int frames;
        std::string message;
    };
    const Case cases[] = {
        {3, [&](int t) { return frameOf(X, t); }, 1,
         "NUMBER_OF_SOURCES_TO_BE_SEPARATED is 3 but INPUT_AUDIO_SPECTRUM has 2 channels (1 to 2 sources can "
         "be separated) (frame 0)"},
        {2, spoiled(6, 1, 2, cxf(0, nan)), 8, nonFinite},
        {2, spoiled(6, 1, 2, cxf(0, inf)), 8, nonFinite},
        // Finite but so large that the channel covariance overflows.
        {2, spoiled(1, 0, 3, cxf(3e30f, 0)), 8,
         "SourceSeparation \"sep\": separating the block of frames 0 to 3: eigen-decomposition of the "
         "channel "
         "covariance failed at bin 3 (the covariance is not finite) (frame 0)"},
        {2, [&](int t) { return t == 2 ? FD::ObjectRef(new Spectrum(2, 3)) : frameOf(X, t); }, 1,
         "INPUT_AUDIO_SPECTRUM frame 2 is 2 x 3, the block it belongs to started with 2 x 5"},
        {2, [](int) { return FD::ObjectRef(new FD::Matrix<float>(2, 5)); }, 1,
         "INPUT_AUDIO_SPECTRUM expects a Matrix<complex<float>> spectrum, got Matrix<float>"},
    };
    for (const Case& c : cases) {
        auto h = harness(params(blockSeconds(4), c.sources), c.script);
        ::testing::internal::CaptureStdout();
        const std::string e = hostError([&] { h->run("OUTPUT_AUDIO_SPECTRUM", c.frames); });
        ::testing::internal::GetCapturedStdout();
        EXPECT_NE(e.find(c.message), std::string::npos) << e;
    }
}

TEST(SourceSeparationNode, SilenceSingleFramesAndTinySpectraGiveZerosAndTheProgressLine) {
    const long before = FD::Object::liveCount();
    ::testing::internal::CaptureStdout();
    {
        auto h = harness(params(blockSeconds(5), 2, "unknown"),
                         [](int) { return FD::ObjectRef(new Spectrum(2, 9)); });
        expectAllZero(h->run("OUTPUT_AUDIO_SPECTRUM", 10));
        const std::string line = "KW_BSS::IVA:: === [ iterations: 2, Error: 0, Difference: 0 ]\n";
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), line + line);
    }
    EXPECT_EQ(FD::Object::liveCount(), before);  // every frame released

    // One frame per block, and spectra with no bin below Nyquist: zeros, no failure.
    ::testing::internal::CaptureStdout();
    const arma::cx_fcube X = testdata::mixture(2, 3, 4, 80);
    expectAllZero(harness(params(blockSeconds(1)), [&](int t) {
                      return frameOf(X, t);
                  })->run("OUTPUT_AUDIO_SPECTRUM", 3));
    auto tiny = harness(params(blockSeconds(3)), [](int) { return FD::ObjectRef(new Spectrum(2, 1)); });
    EXPECT_EQ(dynamic_cast<const Spectrum&>(*tiny->pull("OUTPUT_AUDIO_SPECTRUM", 4)).ncols(), 1);
    ::testing::internal::GetCapturedStdout();
}
