// The localization node through the host: refused configurations, the noise period,
// ids and threshold, and robustness against corrupt spectra.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "localization/BinauralMultisourceLocalization.h"
#include "localization/gcc_phat.h"
#include "tests/localization/synthetic.h"
#include "tests/support/NodeHarness.h"

using FD::testing::NodeHarness;
using FD::testing::Params;

namespace {

Params defaults() {
    Params p;
    p.f("MICS_DISTANCE", 18.0f)
        .f("GCCPHAT_THRESHOLD", 0.1f)
        .s("SOUND_DIFFRACTION_COMPENSATION", "FREE_SPACE")
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000)
        .f("FREQUENCY_HIGH", 4000.0f)
        .f("FREQUENCY_LOW", 500.0f)
        .f("NOISE_DURATION", 0.5f);
    return p;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (FD::BaseException* e) {
        std::string m = e->message();
        delete e;
        return m;
    }
    return "";
}

void expectAll(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& p : parts)
        EXPECT_NE(text.find(p), std::string::npos) << "'" << p << "' in: " << text;
}

float freeDelay(int degrees) {
    return localization::steeringDelay(localization::HeadModel::FreeSpace, 18.0f, degrees + 90);
}

struct Detection {
    double azimuth;
    float power;
    int id;
};

std::vector<Detection> detections(const FD::ObjectRef& list) {
    std::vector<Detection> out;
    FD::RCPtr<FD::Vector<FD::ObjectRef>> v(list);
    for (const FD::ObjectRef& e : *v) {
        FD::RCPtr<FD::Source> s(e);
        EXPECT_EQ(s->x[2], 0.0f);
        out.push_back({std::atan2(s->x[1], s->x[0]) * 180.0 / 3.141592653589793, s->power, s->id});
    }
    return out;
}

size_t sizeOf(const FD::ObjectRef& list) { return FD::RCPtr<FD::Vector<FD::ObjectRef>>(list)->size(); }

}  // namespace

TEST(LocalizationNode, RefusesUnusableParametersAtConstruction) {
    auto build = [](const Params& p) { delete new BinauralMultisourceLocalization("loc", p); };
    expectAll(errorOf([&] { build(defaults().s("SOUND_DIFFRACTION_COMPENSATION", "free_space")); }),
              {"BinauralMultisourceLocalization \"loc\"", "\"free_space\"", "\"FREE_SPACE\"",
               "\"SPHERICAL_HEAD\""});
    expectAll(errorOf([&] { build(defaults().i("ADVANCE", 0)); }), {"\"loc\"", "ADVANCE", "0"});
    expectAll(errorOf([&] { build(defaults().i("SAMPLING_RATE", -16000)); }), {"SAMPLING_RATE", "-16000"});
    for (float bad : {std::numeric_limits<float>::infinity(), std::nanf(""), 1e30f})
        expectAll(errorOf([&] { build(defaults().f("NOISE_DURATION", bad)); }),
                  {"\"loc\"", "NOISE_DURATION"});
    EXPECT_EQ(errorOf([&] { build(defaults().s("SOUND_DIFFRACTION_COMPENSATION", "SPHERICAL_HEAD")); }), "");

    // A parameter of the wrong type is the host's cast error.
    try {
        build(defaults().i("MICS_DISTANCE", 18));
        ADD_FAILURE() << "an int MICS_DISTANCE was accepted";
    } catch (FD::CastException<float>* e) {
        EXPECT_EQ(e->type(), "int");
        delete e;
    }
}

TEST(LocalizationNode, RefusesSpectraTheBandDoesNotFitOnTheFirstFrame) {
    auto firstFrameError = [&](const Params& p, int rows, int cols) {
        NodeHarness h(new BinauralMultisourceLocalization("loc", p));
        h.feed("AUDIO_SPECTRUM",
               [rows, cols](int) { return FD::ObjectRef(new synthetic::Spectrum(rows, cols)); });
        h.initialize();
        return errorOf([&] { h.pull("ESTIMATED_DOA", 0); });
    };
    // 257 bins at 16 kHz: 31 Hz per bin, 9000 Hz is bin 290.
    expectAll(firstFrameError(defaults().f("FREQUENCY_HIGH", 9000.0f), 2, 257),
              {"\"loc\"", "frame 0", "FREQUENCY_LOW 500", "FREQUENCY_HIGH 9000", "bins 16 up to 290",
               "257 bins", "0 to 255"});
    expectAll(firstFrameError(defaults().f("FREQUENCY_LOW", 4000.0f).f("FREQUENCY_HIGH", 500.0f), 2, 257),
              {"FREQUENCY_LOW 4000", "bins 129 up to 16"});
    EXPECT_EQ(firstFrameError(defaults(), 2, 129), "");  // 62 Hz per bin: bins 8 up to 64
    expectAll(firstFrameError(defaults(), 1, 257), {"frame 0", "AUDIO_SPECTRUM", "2 rows", "1 x 257"});
    expectAll(firstFrameError(defaults(), 2, 1), {"frame 0", "2 columns", "2 x 1"});
    EXPECT_EQ(firstFrameError(defaults(), 3, 257), "");  // further rows are ignored

    // A spectrum that changes size later, or an object that is no spectrum, names its frame.
    for (bool wrongType : {false, true}) {
        NodeHarness h(new BinauralMultisourceLocalization("loc", defaults()));
        h.feed("AUDIO_SPECTRUM", [wrongType](int c) -> FD::ObjectRef {
            if (c < 3) return FD::ObjectRef(new synthetic::Spectrum(2, 257));
            if (wrongType) return FD::ObjectRef(new FD::Float(1.0f));
            return FD::ObjectRef(new synthetic::Spectrum(2, 513));
        });
        h.initialize();
        const std::string err = errorOf([&] { h.pull("ESTIMATED_DOA", 3); });
        if (wrongType)
            expectAll(err, {"\"loc\"", "frame 3", "AUDIO_SPECTRUM", "Matrix<complex<float>>", "got float"});
        else
            expectAll(err, {"\"loc\"", "frame 3", "257 bins", "2 x 513"});
    }
}

TEST(LocalizationNode, LearnsNoiseOverFramesOneToNnMinusOneThenReports) {
    // NOISE_DURATION 0.5 s at 160 / 16000: Nn = 50. Frames 1..49 carry |G| = 1e4 per bin;
    // frames 0 and 50 are much louder but must not count, and the sum is divided by 50:
    // the noise mean is 9800. From frame 51 on, a source at +25 degrees with |G| = 4e4
    // gets the weight 1 - 9800 / 4e4 = 0.755 on every bin.
    std::mt19937 rng(5);
    NodeHarness h(new BinauralMultisourceLocalization("loc", defaults()));
    h.feed("AUDIO_SPECTRUM", [&](int c) -> FD::ObjectRef {
        if (c == 0 || c == 50)
            return FD::ObjectRef(synthetic::delayedPair(257, 16000, freeDelay(25), 1e4f, rng));
        if (c < 50) return FD::ObjectRef(synthetic::uncorrelated(257, 100.0f, rng));
        return FD::ObjectRef(synthetic::delayedPair(257, 16000, freeDelay(25), 200.0f, rng));
    });
    h.initialize();
    const std::vector<FD::ObjectRef> out = h.run("ESTIMATED_DOA", 53);
    for (int c = 0; c <= 50; ++c) EXPECT_EQ(sizeOf(out[size_t(c)]), 0u) << "frame " << c;
    for (int c = 51; c <= 52; ++c) {
        const std::vector<Detection> d = detections(out[size_t(c)]);
        ASSERT_EQ(d.size(), 1u) << "frame " << c;
        EXPECT_NEAR(d[0].azimuth, 25.0, 1e-4);
        EXPECT_EQ(d[0].id, 0);
        EXPECT_NEAR(d[0].power, 0.755f, 5e-4f);
    }
}

TEST(LocalizationNode, NoLearnedNoiseMeansFullWeight) {
    // NOISE_DURATION 0 gives Nn = 1: nothing is summed, every noise mean is 0; digital
    // silence during a longer noise period does the same. Neither may turn the score into NaN.
    std::mt19937 rng(6);
    for (float noiseSeconds : {0.0f, 0.05f}) {
        NodeHarness h(
            new BinauralMultisourceLocalization("loc", defaults().f("NOISE_DURATION", noiseSeconds)));
        const int firstAnalysed = noiseSeconds == 0.0f ? 2 : 6;
        h.feed("AUDIO_SPECTRUM", [&](int c) -> FD::ObjectRef {
            if (c < firstAnalysed) return FD::ObjectRef(new synthetic::Spectrum(2, 257));
            return FD::ObjectRef(synthetic::delayedPair(257, 16000, freeDelay(-40), 50.0f, rng));
        });
        h.initialize();
        const std::vector<FD::ObjectRef> out = h.run("ESTIMATED_DOA", firstAnalysed + 1);
        EXPECT_EQ(sizeOf(out[size_t(firstAnalysed - 1)]), 0u);
        const std::vector<Detection> d = detections(out.back());
        ASSERT_EQ(d.size(), 1u) << noiseSeconds;
        EXPECT_NEAR(d[0].azimuth, -40.0, 1e-4);
        EXPECT_NEAR(d[0].power, 1.0f, 1e-4f);
    }
}

TEST(LocalizationNode, TwoSourcesGetIdsInAzimuthOrderAndTheThresholdConsumesNoId) {
    // Even bins carry a source at +40 degrees, odd bins a quieter one at -30 degrees
    // (|G| of 4e4 against 2e4, over a noise of 1e4). Each pattern tilts the other's peak
    // by up to a degree.
    std::vector<bool> even(256), odd(256);
    for (int k = 0; k < 256; ++k) (k % 2 ? odd : even)[size_t(k)] = true;
    auto run = [&](float threshold) {
        std::mt19937 rng(8);
        NodeHarness h(new BinauralMultisourceLocalization(
            "loc", defaults().f("GCCPHAT_THRESHOLD", threshold).f("NOISE_DURATION", 0.03f)));
        h.feed("AUDIO_SPECTRUM", [&](int c) -> FD::ObjectRef {
            if (c < 3) return FD::ObjectRef(synthetic::uncorrelated(257, 100.0f, rng));
            auto s = synthetic::delayedPair(257, 16000, freeDelay(40), 200.0f, rng, &even);
            auto t = synthetic::delayedPair(257, 16000, freeDelay(-30), 141.42136f, rng, &odd);
            for (int k = 0; k < 257; ++k)
                for (int r = 0; r < 2; ++r) (*s)(r, k) += (*t)(r, k);
            return FD::ObjectRef(s);
        });
        h.initialize();
        return detections(h.run("ESTIMATED_DOA", 5).back());  // NOISE_DURATION 0.03 s: Nn = 3
    };
    const std::vector<Detection> both = run(0.1f);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_NEAR(both[0].azimuth, -30.0, 1.0 + 1e-4);
    EXPECT_EQ(both[0].id, 0);
    EXPECT_NEAR(both[1].azimuth, 40.0, 1.0 + 1e-4);
    EXPECT_EQ(both[1].id, 1);
    EXPECT_GT(both[1].power, both[0].power);

    // Between the two heights the -30 degree peak is dropped and consumes no id; a
    // threshold equal to the louder score drops that one too.
    const std::vector<Detection> louder = run((both[0].power + both[1].power) / 2);
    ASSERT_EQ(louder.size(), 1u);
    EXPECT_NEAR(louder[0].azimuth, 40.0, 1.0 + 1e-4);
    EXPECT_EQ(louder[0].id, 0);
    EXPECT_EQ(run(both[1].power).size(), 0u);
}

TEST(LocalizationNode, CorruptAndSilentSpectraNeverGiveNaN) {
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    std::mt19937 rng(9);
    const long before = FD::Object::liveCount();
    {
        NodeHarness h(new BinauralMultisourceLocalization("loc", defaults().f("NOISE_DURATION", 0.05f)));
        h.feed("AUDIO_SPECTRUM", [&](int c) -> FD::ObjectRef {
            auto s = synthetic::delayedPair(257, 16000, freeDelay(10), 300.0f, rng);
            switch (c % 4) {
                case 0:
                    for (int k = 0; k < 257; ++k) (*s)(0, k) = {nan, nan};
                    break;
                case 1:
                    for (int k = 0; k < 257; k += 3) (*s)(1, k) = {inf, -inf};
                    break;
                case 2:
                    return FD::ObjectRef(new synthetic::Spectrum(2, 257));  // digital silence
                default:
                    break;
            }
            return FD::ObjectRef(s);
        });
        h.initialize();
        for (const FD::ObjectRef& frame : h.run("ESTIMATED_DOA", 40))
            for (const Detection& d : detections(frame)) {
                ASSERT_TRUE(std::isfinite(d.azimuth));
                ASSERT_TRUE(std::isfinite(d.power));
            }
    }
    EXPECT_EQ(FD::Object::liveCount(), before);  // every frame and record released
}
