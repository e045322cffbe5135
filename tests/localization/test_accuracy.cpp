// End to end on rendered audio: white noise from a known direction (free-field delay,
// 18 cm, 16 kHz, 20 dB SNR) through short-time spectra, the localization node and the
// tracker, run as one network in which both the localized and the tracked lists are read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "flow/Network.h"
#include "localization/BinauralMultisourceLocalization.h"
#include "localization/BinauralMultisourceTracker.h"
#include "tests/localization/synthetic.h"
#include "tests/support/NodeHarness.h"

namespace {

constexpr int kRate = 16000, kLength = 512, kAdvance = 160;
constexpr double kOnsetSeconds = 0.6;

// Passes its input on and keeps every frame it saw.
class Tap : public FD::BufferedNode {
public:
    Tap(const std::string& name, std::vector<FD::ObjectRef>* seen)
        : FD::BufferedNode(name, FD::ParameterSet()), seen_(seen) {
        addInput("INPUT");
        addOutput("OUTPUT");
        inOrder = true;
    }
    void calculate(int, int count, FD::Buffer& out) override {
        out[count] = getInput(0, count);
        seen_->push_back(out[count]);
    }

private:
    std::vector<FD::ObjectRef>* seen_;
};

struct Measured {
    double worstLocalized = 0.0;  // largest error of the strongest detection of a frame, degrees
    int localizedFrames = 0, missedFrames = 0;
    double worstTracked = 0.0;  // largest error of a tracked direction, degrees
    int trackedFrames = 0, wrongCountFrames = 0;
};

Measured localize(double azimuth, unsigned seed) {
    const synthetic::Stereo audio =
        synthetic::renderFreeField(azimuth, 18.0, kRate, 3.0, kOnsetSeconds, 20.0, seed);
    const std::vector<FD::ObjectRef> spectra = synthetic::shortTimeSpectra(audio, kLength, kAdvance);
    const int frames = int(spectra.size());

    FD::testing::Params loc;
    loc.f("MICS_DISTANCE", 18.0f)
        .f("GCCPHAT_THRESHOLD", 0.1f)
        .s("SOUND_DIFFRACTION_COMPENSATION", "FREE_SPACE");
    loc.i("ADVANCE", kAdvance)
        .i("SAMPLING_RATE", kRate)
        .f("FREQUENCY_HIGH", 4000.0f)
        .f("FREQUENCY_LOW", 500.0f);
    loc.f("NOISE_DURATION", 0.5f);
    FD::testing::Params trk;
    trk.i("ADVANCE", kAdvance).i("SAMPLING_RATE", kRate).f("CLUSTERING_DURATION", 0.5f);

    std::vector<FD::ObjectRef> localized;
    FD::Network net;
    net.addNode(new FD::testing::ScriptedSource(
        "spectra",
        FD::testing::framesScript(spectra, FD::ObjectRef(new synthetic::Spectrum(2, kLength / 2 + 1))),
        frames));
    net.addNode(new BinauralMultisourceLocalization("loc", loc));
    net.addNode(new BinauralMultisourceTracker("trk", trk));
    net.addNode(new Tap("tap", &localized));
    net.connect("spectra", "OUTPUT", "loc", "AUDIO_SPECTRUM");
    net.connect("loc", "ESTIMATED_DOA", "trk", "ESTIMATED_DOA");
    net.connect("loc", "ESTIMATED_DOA", "tap", "INPUT");
    net.initialize();
    FD::Node* tracker = net.getNode("trk");

    Measured m;
    const int firstSourceFrame = int(std::ceil(kOnsetSeconds * kRate / kAdvance));
    for (int c = 0; c < frames; ++c) {
        net.process(c);
        if (c >= firstSourceFrame) {
            double best = -1e9, at = 0.0;
            const std::vector<double> az = synthetic::azimuths(localized[size_t(c)]);
            FD::RCPtr<FD::Vector<FD::ObjectRef>> list(localized[size_t(c)]);
            for (size_t i = 0; i < az.size(); ++i) {
                const float power = FD::RCPtr<FD::Source>((*list)[i])->power;
                if (power > best) best = power, at = az[i];
            }
            ++m.localizedFrames;
            if (az.empty())
                ++m.missedFrames;
            else
                m.worstLocalized = std::max(m.worstLocalized, std::fabs(at - azimuth));
        }
        // Tracked frames whose whole window (c - 25 .. c + 24) holds the source.
        if (c - 25 >= firstSourceFrame && c + 24 < frames) {
            const std::vector<double> az = synthetic::azimuths(tracker->getOutput(0, c));
            ++m.trackedFrames;
            if (az.size() != 1) ++m.wrongCountFrames;
            for (double a : az) m.worstTracked = std::max(m.worstTracked, std::fabs(a - azimuth));
        }
    }
    return m;
}

}  // namespace

TEST(Accuracy, BroadbandSourceFromEveryDirection) {
    std::srand(1);
    std::printf(
        "azimuth  localized: worst error, missed frames   tracked: worst error, frames not one direction\n");
    for (int azimuth = -80; azimuth <= 80; azimuth += 5) {
        const Measured m = localize(azimuth, unsigned(1000 + azimuth));
        std::printf("%5d    %6.2f  %d/%d    %6.2f  %d/%d\n", azimuth, m.worstLocalized, m.missedFrames,
                    m.localizedFrames, m.worstTracked, m.wrongCountFrames, m.trackedFrames);
        const double tolerance = std::abs(azimuth) <= 60 ? 2.0 : 5.0;
        EXPECT_EQ(m.missedFrames, 0) << azimuth;
        EXPECT_LE(m.worstLocalized, tolerance) << azimuth;
        EXPECT_EQ(m.wrongCountFrames, 0) << azimuth;
        EXPECT_LE(m.worstTracked, tolerance) << azimuth;
        EXPECT_GT(m.trackedFrames, 150);
    }
}
