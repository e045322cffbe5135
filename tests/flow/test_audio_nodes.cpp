// The host's audio nodes: reading files (scale, framing, resampling, broken
// files), the analysis-resynthesis round trip through a network, and the WAV
// sink (exact sample count, chosen rows, nothing left behind on failure).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "flow/Stream.h"
#include "flow/nodes/AudioFileSink.h"
#include "flow/nodes/AudioFileSource.h"
#include "flow/nodes/AudioIO.h"
#include "flow/nodes/ShortTimeSpectrum.h"
#include "tests/flow/AudioFiles.h"
#include "tests/support/NodeHarness.h"

using FD::testing::hostError;
using namespace FD;
using FD::testing::Params;
using FD::testing::ScratchDir;
namespace ft = FD::testing;

namespace {

std::vector<short> noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> u(-32768, 32767);
    std::vector<short> v(n);
    for (short& x : v) x = short(u(gen));
    return v;
}

Params sourceParams(const std::string& file, int length, int advance, int rate) {
    Params p;
    p.s("FILE", file).i("LENGTH", length).i("ADVANCE", advance).i("SAMPLING_RATE", rate);
    return p;
}

Params framing(int length, int advance) {
    Params p;
    p.i("LENGTH", length).i("ADVANCE", advance);
    return p;
}

Params sinkParams(const std::string& file, int rate, int length, int advance) {
    Params p;
    p.s("FILE", file).i("SAMPLING_RATE", rate).i("LENGTH", length).i("ADVANCE", advance);
    return p;
}

// source -> spectrum -> resynthesis -> sink, run to the end of the stream.
void roundTrip(const std::string& in, const std::string& out, int length, int advance, int rate,
               bool finish = true) {
    Network net;
    net.addNode(new AudioFileSource("audio", sourceParams(in, length, advance, rate)));
    net.addNode(new ShortTimeSpectrum("stft", framing(length, advance)));
    net.addNode(new Resynthesis("resynthesis", framing(length, advance)));
    net.addNode(new AudioFileSink("output", sinkParams(out, rate, length, advance)));
    net.connect("audio", "AUDIO", "stft", "AUDIO");
    net.connect("stft", "SPECTRUM", "resynthesis", "SPECTRUM");
    net.connect("resynthesis", "AUDIO", "output", "AUDIO");
    net.initialize();
    int frames = net.streamLength();
    for (int k = 0; k < frames; ++k) net.process(k);
    if (finish) endStream(net.nodes(), frames);
}

}  // namespace

TEST(AudioReader, SamplesAreOnTheSixteenBitScaleAndSilentPastTheEnd) {
    ScratchDir dir;
    std::vector<short> s = {-32768, 32767, 0, 1, -1, 1234, -4321, 7, 8, 9, 10, 11};  // 4 frames x 3 channels
    ft::writeWav(dir / "a.wav", 8000, 3, s);
    nodes::AudioReader r(dir / "a.wav", 8000);
    EXPECT_EQ(r.channels(), 3);
    EXPECT_EQ(r.sampleCount(), 4);
    EXPECT_FALSE(r.resampling());
    std::vector<float> got(6 * 3, -99.0f);
    r.read(got.data(), 6);
    for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(got[i], float(s[i])) << i;
    for (size_t i = s.size(); i < got.size(); ++i) EXPECT_EQ(got[i], 0.0f) << i;
    r.read(got.data(), 2);
    EXPECT_EQ(got[0], 0.0f);
}

TEST(AudioReader, ResamplesInTimeWithTheOriginal) {
    // A 440 Hz tone at 44.1 kHz read at 16 kHz matches the tone sampled at 16 kHz:
    // right length, no delay, small error away from the edges.
    ScratchDir dir;
    const int n = 44100;
    std::vector<short> s(n);
    for (int i = 0; i < n; ++i) s[i] = short(std::lrint(10000 * std::sin(2 * M_PI * 440 * i / 44100.0)));
    ft::writeWav(dir / "tone.wav", 44100, 1, s);
    nodes::AudioReader r(dir / "tone.wav", 16000);
    EXPECT_TRUE(r.resampling());
    EXPECT_EQ(r.sampleCount(), 16000);
    std::vector<float> got(16000);
    r.read(got.data(), 16000);
    double worst = 0;
    for (int i = 500; i < 15500; ++i)
        worst = std::max(worst, std::abs(got[i] - 10000 * std::sin(2 * M_PI * 440 * i / 16000.0)));
    EXPECT_LT(worst, 30.0);
}

TEST(AudioReader, BrokenFilesAreErrorsNamingTheFile) {
    ScratchDir dir;
    auto error = [](const std::string& path) {
        try {
            nodes::AudioReader r(path, 16000);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    std::string missing = error(dir / "missing.wav");
    EXPECT_NE(missing.find("missing.wav"), std::string::npos) << missing;
    EXPECT_NE(missing.find("No such file"), std::string::npos) << missing;

    std::ofstream(dir / "text.wav") << "not audio at all";
    std::string text = error(dir / "text.wav");
    EXPECT_NE(text.find("text.wav"), std::string::npos) << text;

    EXPECT_NE(error(dir.path()).find("directory"), std::string::npos);

    ft::writeWav(dir / "whole.wav", 16000, 2, noise(2 * 8000, 1));
    std::filesystem::copy_file(dir / "whole.wav", dir / "cut.wav");
    std::filesystem::resize_file(dir / "cut.wav", 20000);
    std::string cut = error(dir / "cut.wav");
    EXPECT_NE(cut.find("cut.wav is truncated"), std::string::npos) << cut;
}

TEST(AudioFileSource, FramesEndWithTheirNewSamplesAndTheStreamWithTheFile) {
    ScratchDir dir;
    const int length = 8, advance = 3;
    std::vector<short> s;
    for (int i = 0; i < 10; ++i) s.push_back(short(i + 1)), s.push_back(short(-(i + 1)));
    ft::writeWav(dir / "ramp.wav", 16000, 2, s);
    auto* source = new AudioFileSource("audio", sourceParams(dir / "ramp.wav", length, advance, 16000));
    ft::NodeHarness h(source);
    h.initialize();
    // Frame k holds samples 3k - 5 ... 3k + 2; the last one holding sample 9 is frame 4.
    EXPECT_EQ(source->streamLength(), 5);
    EXPECT_EQ(source->sampleCount(), 10);
    EXPECT_EQ(source->channelCount(), 2);
    for (int k = 0; k < 7; ++k) {
        RCPtr<Matrix<float>> f = h.pull("AUDIO", k);
        ASSERT_EQ(f->nrows(), 2);
        ASSERT_EQ(f->ncols(), length);
        for (int i = 0; i < length; ++i) {
            int sample = k * advance - (length - advance) + i;
            float expected = sample >= 0 && sample < 10 ? float(sample + 1) : 0.0f;
            EXPECT_EQ((*f)(0, i), expected) << "frame " << k << " column " << i;
            EXPECT_EQ((*f)(1, i), -expected) << "frame " << k << " column " << i;
        }
    }
}

TEST(AudioFileSource, StreamLengthCoversTheLastSampleOnly) {
    ScratchDir dir;
    for (int total : {1, 159, 160, 161, 1000}) {
        ft::writeWav(dir / "x.wav", 16000, 1, std::vector<short>(size_t(total), 1));
        AudioFileSource source("audio", sourceParams(dir / "x.wav", 512, 160, 16000));
        int last = source.streamLength() - 1;
        // The last frame starts at or before the last sample, the next one after it.
        EXPECT_LE(last * 160 - 352, total - 1) << total;
        EXPECT_GT((last + 1) * 160 - 352, total - 1) << total;
        EXPECT_GE((last + 1) * 160, total) << total;  // every sample is a new one of some frame
    }
    ft::writeWav(dir / "empty.wav", 16000, 1, {});
    EXPECT_EQ(AudioFileSource("audio", sourceParams(dir / "empty.wav", 512, 160, 16000)).streamLength(), 0);
}

TEST(AudioFileSource, BadParametersAndFilesAreRefusedByName) {
    ScratchDir dir;
    ft::writeWav(dir / "a.wav", 16000, 1, {1, 2, 3});
    EXPECT_EQ(hostError([&] { AudioFileSource("src", sourceParams(dir / "a.wav", 512, 600, 16000)); }),
              "AudioFileSource \"src\": ADVANCE must be 1 to LENGTH (512), got 600");
    EXPECT_NE(hostError([&] {
                  AudioFileSource("src", sourceParams(dir / "b.wav", 512, 160, 16000));
              }).find("AudioFileSource \"src\": cannot open " + (dir / "b.wav")),
              std::string::npos);
    Params p = sourceParams(dir / "a.wav", 512, 160, 16000);
    p.f("LENGTH", 512.0f);
    EXPECT_EQ(hostError([&] { AudioFileSource("src", p); }), "expected int, got float 512");
}

TEST(RoundTrip, ReproducesEverySampleInPlace) {
    struct Case {
        int length, advance, channels, frames;
    };
    for (Case c :
         {Case{512, 160, 2, 48000}, Case{400, 100, 3, 1001}, Case{256, 256, 1, 700}, Case{512, 160, 1, 1}}) {
        SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.advance) + " x" +
                     std::to_string(c.channels));
        ScratchDir dir;
        std::vector<short> s = noise(size_t(c.frames) * c.channels, 3);
        ft::writeWav(dir / "in.wav", 16000, c.channels, s);
        roundTrip(dir / "in.wav", dir / "out.wav", c.length, c.advance, 16000);
        ft::Wav out = ft::readWav(dir / "out.wav");
        ASSERT_EQ(out.channels, c.channels);
        ASSERT_EQ(out.rate, 16000);
        ASSERT_EQ(out.frames(), c.frames);
        size_t differ = 0;
        for (size_t i = 0; i < s.size(); ++i) differ += s[i] != out.samples[i];
        EXPECT_EQ(differ, 0u);
    }
}

TEST(RoundTrip, ResampledInputComesOutAtTheStreamRate) {
    ScratchDir dir;
    std::vector<short> s(2 * 22050);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = short(std::lrint(8000 * std::sin(2 * M_PI * 300 * (i / 2) / 44100.0)));
    ft::writeWav(dir / "in.wav", 44100, 2, s);
    roundTrip(dir / "in.wav", dir / "out.wav", 512, 160, 16000);
    ft::Wav out = ft::readWav(dir / "out.wav");
    EXPECT_EQ(out.rate, 16000);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.frames(), 8000);
}

TEST(AudioFileSink, UnfinishedRunLeavesNoFileAndObjectsAreReleased) {
    ScratchDir dir;
    ft::writeWav(dir / "in.wav", 16000, 2, noise(2 * 5000, 4));
    long before = Object::liveCount();
    roundTrip(dir / "in.wav", dir / "out.wav", 512, 160, 16000, /*finish=*/false);
    EXPECT_EQ(Object::liveCount(), before);
    EXPECT_EQ(dir.files(), std::vector<std::string>{"in.wav"});
}

TEST(AudioFileSink, WritesChosenRowsOfAnyStream) {
    // Without an audio source upstream the sink writes every frame's new samples.
    ScratchDir dir;
    Params p = sinkParams(dir / "rows.wav", 8000, 4, 2);
    p.s("CHANNELS", "2,0");
    auto* sink = new AudioFileSink("out", p);
    ft::NodeHarness h(sink);
    h.feed(
        "AUDIO",
        [](int k) {
            auto* m = new Matrix<float>(3, 4);
            for (int r = 0; r < 3; ++r)
                for (int i = 0; i < 4; ++i) (*m)(r, i) = float(100 * r + 10 * k + i) + 0.4f;
            (*m)(1, 3) = 1e6f;  // not written: row 1 is not chosen
            return ObjectRef(m);
        },
        3);
    h.initialize();
    h.run("OUTPUT", 3);
    sink->endOfStream(3);
    ft::Wav w = ft::readWav(dir / "rows.wav");
    ASSERT_EQ(w.channels, 2);
    EXPECT_EQ(w.rate, 8000);
    // Frame k brings columns 2 and 3; the file channels are rows 2 and 0.
    std::vector<short> expected = {202, 2, 203, 3, 212, 12, 213, 13, 222, 22, 223, 23};
    EXPECT_EQ(w.samples, expected);
}

TEST(AudioFileSink, MismatchesAreReportedBeforeTheFirstFrame) {
    ScratchDir dir;
    ft::writeWav(dir / "in.wav", 16000, 1, {1, 2, 3});
    auto build = [&](int sinkRate, int sinkAdvance, const std::string& channels) {
        Network net;
        net.addNode(new AudioFileSource("audio", sourceParams(dir / "in.wav", 8, 4, 16000)));
        Params p = sinkParams(dir / "out.wav", sinkRate, 8, sinkAdvance);
        if (!channels.empty()) p.s("CHANNELS", channels);
        net.addNode(new AudioFileSink("out", p));
        net.connect("audio", "AUDIO", "out", "AUDIO");
        net.initialize();
        for (int k = 0; k < net.streamLength(); ++k) net.process(k);
    };
    EXPECT_EQ(hostError([&] { build(8000, 4, ""); }),
              "AudioFileSink \"out\": SAMPLING_RATE is 8000 but the stream upstream is at 16000 Hz");
    EXPECT_EQ(hostError([&] { build(16000, 2, ""); }),
              "AudioFileSink \"out\": ADVANCE is 2 but the frames upstream are 4 samples apart");
    EXPECT_EQ(hostError([&] { build(16000, 4, "1"); }),
              "AudioFileSink \"out\": frame 0: CHANNELS names row 1, the AUDIO frames have 1 rows");
    EXPECT_NE(hostError([&] { build(16000, 4, "0,x"); }).find("CHANNELS must list row numbers"),
              std::string::npos);
    EXPECT_NE(hostError([&] {
                  AudioFileSink("out", sinkParams(dir / "no/such/dir.wav", 16000, 8, 4));
              }).find("AudioFileSink \"out\": cannot write " + (dir / "no/such/dir.wav")),
              std::string::npos);
    EXPECT_EQ(dir.files(), std::vector<std::string>{"in.wav"});
}

TEST(AudioFileSink, ClipsAndRoundsToSixteenBits) {
    ScratchDir dir;
    auto* sink = new AudioFileSink("out", sinkParams(dir / "c.wav", 16000, 2, 2));
    ft::NodeHarness h(sink);
    std::vector<float> values = {40000.0f, -40000.0f, 1.5f, -2.5f, 32767.4f, std::nanf("")};
    h.feed(
        "AUDIO",
        [&](int k) {
            auto* m = new Matrix<float>(1, 2);
            (*m)(0, 0) = values[size_t(2 * k)];
            (*m)(0, 1) = values[size_t(2 * k + 1)];
            return ObjectRef(m);
        },
        3);
    h.initialize();
    h.run("OUTPUT", 3);
    sink->endOfStream(3);
    EXPECT_EQ(ft::readWav(dir / "c.wav").samples, (std::vector<short>{32767, -32768, 2, -2, 32767, 0}));
}

TEST(Resynthesis, WrongSpectrumShapeNamesNodeAndFrame) {
    auto* node = new Resynthesis("res", framing(8, 4));
    ft::NodeHarness h(node);
    h.feed("SPECTRUM", [](int k) { return ObjectRef(new Matrix<std::complex<float>>(2, k == 2 ? 4 : 5)); });
    h.initialize();
    EXPECT_EQ(hostError([&] { h.run("AUDIO", 3); }),
              "Resynthesis \"res\": frame 2: SPECTRUM frame is 2 x 4, expected LENGTH/2 + 1 = 5 columns");
    EXPECT_EQ(h.input("SPECTRUM").maxRequested(), 2);
}

TEST(ShortTimeSpectrum, WrongInputTypeNamesThePort) {
    ft::NodeHarness h(new ShortTimeSpectrum("stft", framing(8, 4)));
    h.feed("AUDIO", [](int) { return ObjectRef(new Float(1.0f)); });
    h.initialize();
    EXPECT_EQ(hostError([&] { h.pull("SPECTRUM", 0); }),
              "ShortTimeSpectrum \"stft\": frame 0: AUDIO expects Matrix<float>, got float");
}
