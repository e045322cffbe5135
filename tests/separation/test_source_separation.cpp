// The SourceSeparation node through the host: block length, refused parameters, block
// boundaries and look-ahead, which block each output frame comes from, zero rows and
// Nyquist column, the end of the stream, bad input, progress lines and released objects.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

const char* const kFixedPoint = "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION";

Params params(float seconds, int sources = 2, const std::string& method = kFixedPoint, int iterations = 20) {
    Params p;
    p.s("ITERATION_METHOD", method)
        .i("NUMBER_OF_SOURCES_TO_BE_SEPARATED", sources)
        .i("MAX_ITERATION", iterations)
        .f("SEPARATION_TIME_LENGTH", seconds)
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000);
    return p;
}

// Seconds for a block of `frames` frames of 160 samples at 16 kHz.
float blockSeconds(int frames) { return float(frames) * 0.01f; }

cxf& at(const FD::ObjectRef& frame, int row, int column) {
    return dynamic_cast<Spectrum&>(*frame)(row, column);
}

// Frames of a mixture: frame t holds column t of X, bins as columns, and a Nyquist
// column of junk that must not reach the output. Past `length` frames, silence.
struct Stream {
    arma::cx_fcube X;  // M x frames x K
    int length;

    FD::ObjectRef frame(int t) const {
        const int M = int(X.n_rows), K = int(X.n_slices);
        auto* m = new Spectrum(M, K + 1);
        if (t < length)
            for (int c = 0; c < M; ++c) {
                for (int k = 0; k < K; ++k) (*m)(c, k) = X(c, t, k);
                (*m)(c, K) = cxf(123, -45);
            }
        return FD::ObjectRef(m);
    }
};

Stream mixtureStream(int M, int length, int K, unsigned seed) {
    return Stream{
        testdata::mix(testdata::mixingMatrices(M, M, K, seed), testdata::sources(M, length, K, seed + 1)),
        length};
}

// Separates frames first .. first+T-1 of the stream (silent past its end) on its own.
arma::cx_fcube separatedAlone(const Stream& s, int first, int T, int N, int iterations) {
    const int M = int(s.X.n_rows), K = int(s.X.n_slices);
    arma::cx_fcube block(M, T, K, arma::fill::zeros);
    for (int t = 0; t < T && first + t < s.length; ++t) block.col(t) = s.X.col(first + t);
    separation::BlockSeparator sep;
    sep.startBlock(M, N, T, K);
    sep.inputBlock = block;
    sep.separateBlock(separation::UpdateRule::FixedPoint, iterations, nullptr);
    return sep.separatedBlock;
}

}  // namespace

TEST(SourceSeparationNode, BlockLengthAndRefusedParameters) {
    EXPECT_EQ(SourceSeparation("s", params(3.0f)).blockFrames(), 300);
    Params p = params(2.0f);
    p.i("ADVANCE", 512);
    EXPECT_EQ(SourceSeparation("s", p).blockFrames(), 62);  // 62.4999962 in single precision
    EXPECT_EQ(SourceSeparation("s", params(0.005f)).blockFrames(), 1);

    auto refused = [](Params p) { return hostError([&] { SourceSeparation("sep", p); }); };
    std::string e = refused(params(0.004f));
    EXPECT_NE(e.find("SourceSeparation \"sep\": SEPARATION_TIME_LENGTH"), std::string::npos) << e;
    for (float bad :
         {-1.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e12f})
        EXPECT_NE(refused(params(bad)).find("SEPARATION_TIME_LENGTH"), std::string::npos) << bad;
    EXPECT_NE(refused(params(3.0f).i("ADVANCE", 0)).find("ADVANCE must be a positive"), std::string::npos);
    EXPECT_NE(refused(params(3.0f).i("SAMPLING_RATE", -16000)).find("SAMPLING_RATE"), std::string::npos);
    e = refused(params(3.0f, 0));
    EXPECT_NE(e.find("NUMBER_OF_SOURCES_TO_BE_SEPARATED must be at least 1, got 0"), std::string::npos) << e;

    // A float parameter given as an int is the host's cast error.
    Params wrong = params(3.0f);
    wrong.i("SEPARATION_TIME_LENGTH", 3);
    try {
        SourceSeparation("s", wrong);
        ADD_FAILURE() << "an int SEPARATION_TIME_LENGTH was accepted";
    } catch (FD::CastException<float>* e) {
        delete e;
    }
}

TEST(SourceSeparationNode, EachBlockIsReadAheadSeparatedAloneAndWrittenToItsFrames) {
    const int T = 6, K = 5, length = 2 * T + 4;  // the last block is incomplete
    for (int N : {2, 1}) {
        const Stream stream = mixtureStream(2, length, K, 60);
        NodeHarness h(new SourceSeparation("sep", params(blockSeconds(T), N)));
        auto& input = h.feed("INPUT_AUDIO_SPECTRUM", [&](int t) { return stream.frame(t); });
        h.initialize();
        ::testing::internal::CaptureStdout();

        for (int first = 0; first < length; first += T) {
            h.pull("OUTPUT_AUDIO_SPECTRUM", first);
            EXPECT_EQ(input.maxRequested(), first + T - 1);  // the whole block, no further
            const arma::cx_fcube expected = separatedAlone(stream, first, T, N, 20);
            for (int t = 0; t < T && first + t < length; ++t) {
                FD::RCPtr<Spectrum> out = h.pull("OUTPUT_AUDIO_SPECTRUM", first + t);
                ASSERT_EQ(out->nrows(), 2);
                ASSERT_EQ(out->ncols(), K + 1);
                EXPECT_EQ(input.maxRequested(), first + T - 1);
                for (int c = 0; c < 2; ++c) {
                    for (int k = 0; k < K; ++k) {
                        const cxf want = c < N ? expected(c, t, k) : cxf(0, 0);
                        ASSERT_EQ((*out)(c, k), want)
                            << "frame " << first + t << " row " << c << " bin " << k;
                    }
                    EXPECT_EQ((*out)(c, K), cxf(0, 0));  // Nyquist column
                }
                EXPECT_GT(std::abs((*out)(0, 1)), 0.0f);  // the incomplete tail is separated too
            }
        }
        ::testing::internal::GetCapturedStdout();
    }
}

TEST(SourceSeparationNode, BadInputIsReportedWithNodeFrameAndWhat) {
    const Stream stream = mixtureStream(2, 8, 4, 70);
    auto run = [&](Params p, std::function<FD::ObjectRef(int)> script, int frames) {
        NodeHarness h(new SourceSeparation("sep", p));
        h.feed("INPUT_AUDIO_SPECTRUM", script);
        h.initialize();
        return hostError([&] { h.run("OUTPUT_AUDIO_SPECTRUM", frames); });
    };

    std::string e = run(
        params(blockSeconds(4), 3), [&](int t) { return stream.frame(t); }, 1);
    EXPECT_NE(e.find("NUMBER_OF_SOURCES_TO_BE_SEPARATED is 3 but INPUT_AUDIO_SPECTRUM has 2 channels"),
              std::string::npos)
        << e;
    EXPECT_NE(e.find("(frame 0)"), std::string::npos) << e;

    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        e = run(
            params(blockSeconds(4)),
            [&](int t) {
                FD::ObjectRef f = stream.frame(t);
                if (t == 6) at(f, 1, 2) = cxf(0, bad);
                return f;
            },
            8);
        EXPECT_NE(e.find("SourceSeparation \"sep\": INPUT_AUDIO_SPECTRUM frame 6 holds a non-finite value at "
                         "channel 1, bin 2 (frame 4)"),
                  std::string::npos)
            << e;
    }

    // Finite but so large that the channel covariance overflows: the decomposition fails.
    e = run(
        params(blockSeconds(4)),
        [&](int t) {
            FD::ObjectRef f = stream.frame(t);
            if (t == 1) at(f, 0, 3) = cxf(3e30f, 0);
            return f;
        },
        8);
    EXPECT_NE(
        e.find("SourceSeparation \"sep\": separating the block of frames 0 to 3: eigen-decomposition of the "
               "channel covariance failed at bin 3 (the covariance is not finite) (frame 0)"),
        std::string::npos)
        << e;

    e = run(
        params(blockSeconds(4)),
        [&](int t) { return t == 2 ? FD::ObjectRef(new Spectrum(2, 3)) : stream.frame(t); }, 1);
    EXPECT_NE(e.find("INPUT_AUDIO_SPECTRUM frame 2 is 2 x 3, the block it belongs to started with 2 x 5"),
              std::string::npos)
        << e;

    e = run(
        params(blockSeconds(4)), [](int) { return FD::ObjectRef(new FD::Matrix<float>(2, 5)); }, 1);
    EXPECT_NE(e.find("INPUT_AUDIO_SPECTRUM expects a Matrix<complex<float>> spectrum, got Matrix<float>"),
              std::string::npos)
        << e;
}

TEST(SourceSeparationNode, SilenceSingleFramesAndTinySpectraGiveZerosAndTheProgressLine) {
    long before = FD::Object::liveCount();
    {
        NodeHarness h(new SourceSeparation("sep", params(blockSeconds(5), 2, "unknown", 100)));
        h.feed("INPUT_AUDIO_SPECTRUM", [](int) { return FD::ObjectRef(new Spectrum(2, 9)); });
        h.initialize();
        ::testing::internal::CaptureStdout();
        for (const FD::ObjectRef& o : h.run("OUTPUT_AUDIO_SPECTRUM", 10)) {
            const Spectrum& s = dynamic_cast<const Spectrum&>(*o);
            for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s.data()[i], cxf(0, 0));
        }
        const std::string line = "KW_BSS::IVA:: === [ iterations: 2, Error: 0, Difference: 0 ]\n";
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), line + line);
    }
    EXPECT_EQ(FD::Object::liveCount(), before);  // every frame released

    // One frame per block, and spectra with no bin below Nyquist: zeros, no failure.
    const Stream stream = mixtureStream(2, 3, 4, 80);
    NodeHarness one(new SourceSeparation("sep", params(blockSeconds(1))));
    one.feed("INPUT_AUDIO_SPECTRUM", [&](int t) { return stream.frame(t); });
    one.initialize();
    ::testing::internal::CaptureStdout();
    for (const FD::ObjectRef& o : one.run("OUTPUT_AUDIO_SPECTRUM", 3)) {
        const Spectrum& s = dynamic_cast<const Spectrum&>(*o);
        for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s.data()[i], cxf(0, 0));
    }
    NodeHarness tiny(new SourceSeparation("sep", params(blockSeconds(3))));
    tiny.feed("INPUT_AUDIO_SPECTRUM", [](int) { return FD::ObjectRef(new Spectrum(2, 1)); });
    tiny.initialize();
    EXPECT_EQ(dynamic_cast<const Spectrum&>(*tiny.pull("OUTPUT_AUDIO_SPECTRUM", 4)).ncols(), 1);
    ::testing::internal::GetCapturedStdout();
}
