// The host's audio nodes: reading files (framing, resampling, broken files), the
// analysis-resynthesis round trip, and the WAV sink.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "flow/nodes/AudioFileSink.h"
#include "flow/nodes/AudioFileSource.h"
#include "flow/nodes/AudioIO.h"
#include "flow/nodes/ShortTimeSpectrum.h"
#include "tests/support/Files.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using namespace FD::testing;

namespace {

Params framing(int length, int advance) {
    return std::move(Params().i("LENGTH", length).i("ADVANCE", advance));
}

Params fileParams(const std::string& file, int length, int advance, int rate) {
    Params p = framing(length, advance);
    p.s("FILE", file).i("SAMPLING_RATE", rate);
    return p;
}

// The error opening `path` for reading at `rate` gives, or "".
std::string readerError(const std::string& path, int rate = 16000) {
    try {
        nodes::AudioReader r(path, rate);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// source -> spectrum -> resynthesis -> sink, run to the end of the stream.
void roundTrip(const std::string& in, const std::string& out, int length, int advance, bool finish = true) {
    Network net;
    net.addNode(new AudioFileSource("audio", fileParams(in, length, advance, 16000)));
    net.addNode(new ShortTimeSpectrum("stft", framing(length, advance)));
    net.addNode(new Resynthesis("resynthesis", framing(length, advance)));
    net.addNode(new AudioFileSink("output", fileParams(out, length, advance, 16000)));
    net.connect("audio", "AUDIO", "stft", "AUDIO");
    net.connect("stft", "SPECTRUM", "resynthesis", "SPECTRUM");
    net.connect("resynthesis", "AUDIO", "output", "AUDIO");
    net.initialize();
    int frames = net.streamLength();
    for (int k = 0; k < frames; ++k) net.process(k);
    if (finish) endStream(net.nodes(), frames);
}

}  // namespace

TEST(AudioReader, ResamplesInTimeWithTheOriginal) {
    TempDir dir;
    std::vector<short> s(44100);
    for (int i = 0; i < 44100; ++i) s[i] = short(std::lrint(10000 * std::sin(2 * M_PI * 440 * i / 44100.0)));
    writeWav(dir / "tone.wav", 44100, 1, s);
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
    TempDir dir;
    std::ofstream(dir / "text.wav") << "not audio at all";
    writeWav(dir / "cut.wav", 16000, 2, noise(2 * 8000, 1));
    std::filesystem::resize_file(dir / "cut.wav", 20000);
    writeWav(dir / "ok.wav", 16000, 2, noise(2 * 800, 1));
    const struct {
        std::string path;
        int rate;
        std::string expected;
    } cases[] = {{dir / "missing.wav", 16000, "missing.wav: No such file"},
                 {dir / "text.wav", 16000, "text.wav"},
                 {dir / "cut.wav", 16000, "cut.wav is truncated"},
                 // beyond what the resampler can do: refused when opened, not at the first frame
                 {dir / "ok.wav", 99999999, "from 16000 Hz to 99999999 Hz"},
                 {dir / "ok.wav", 62, "from 16000 Hz to 62 Hz"}};
    for (const auto& c : cases) {
        const std::string err = readerError(c.path, c.rate);
        EXPECT_NE(err.find(c.expected), std::string::npos) << c.expected << " in: " << err;
    }
}

TEST(AudioFileSource, FramesEndWithTheirNewSamplesAndTheStreamWithTheFile) {
    TempDir dir;
    const int length = 8, advance = 3;
    auto value = [](int i) { return i == 9 ? 32767 : i + 1; };  // the last pair at full scale
    std::vector<short> s;
    for (int i = 0; i < 10; ++i) s.push_back(short(value(i))), s.push_back(short(-value(i) - 1));
    writeWav(dir / "ramp.wav", 16000, 2, s);
    auto* source = new AudioFileSource("audio", fileParams(dir / "ramp.wav", length, advance, 16000));
    NodeHarness h(source);
    h.initialize();
    // Frame k holds samples 3k - 5 ... 3k + 2; the last one holding sample 9 is frame 4.
    EXPECT_EQ(source->streamLength(), 5);
    EXPECT_EQ(source->sampleCount(), 10);
    for (int k = 0; k < 7; ++k) {
        RCPtr<Matrix<float>> f = h.pull("AUDIO", k);
        ASSERT_EQ(f->nrows(), 2);
        ASSERT_EQ(f->ncols(), length);
        for (int i = 0; i < length; ++i) {  // on the 16-bit scale, silent past the end
            int sample = k * advance - (length - advance) + i;
            bool in = sample >= 0 && sample < 10;
            EXPECT_EQ((*f)(0, i), in ? float(value(sample)) : 0.0f) << "frame " << k << " column " << i;
            EXPECT_EQ((*f)(1, i), in ? float(-value(sample) - 1) : 0.0f) << "frame " << k << " column " << i;
        }
    }
}

// A float recording holding NaN or infinity is an error at the frame that reads it,
// naming the sample, not a stream of frames turned silent or NaN.
TEST(AudioFileSource, NonFiniteSamplesAreRefusedNamingTheSample) {
    TempDir dir;
    for (float bad : {NAN, INFINITY}) {
        std::vector<float> s(2 * 1000, 0.25f);
        s[2 * 700 + 1] = bad;  // sample 700 of channel 1
        SF_INFO info{};
        info.samplerate = 16000, info.channels = 2, info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open((dir / "bad.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_float(f, s.data(), 1000);
        sf_close(f);
        NodeHarness h(new AudioFileSource("audio", fileParams(dir / "bad.wav", 512, 160, 16000)));
        h.initialize();
        std::string error;
        try {
            for (int k = 0; k < 7; ++k) h.pull("AUDIO", k);
        } catch (BaseException* e) {
            error = e->message();
            delete e;
        }
        EXPECT_NE(error.find("non-finite sample"), std::string::npos) << error;
        EXPECT_NE(error.find("at sample 700 of channel 1"), std::string::npos) << error;
    }
}

TEST(RoundTrip, ReproducesEverySampleInPlace) {
    struct Case {
        int length, advance, channels, frames;
    };
    for (Case c : {Case{400, 100, 3, 1001}, Case{512, 160, 1, 1}}) {
        SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.advance) + " x" +
                     std::to_string(c.channels));
        TempDir dir;
        std::vector<short> s = noise(size_t(c.frames) * c.channels, 3);
        writeWav(dir / "in.wav", 16000, c.channels, s);
        roundTrip(dir / "in.wav", dir / "out.wav", c.length, c.advance);
        Wav out = readWav(dir / "out.wav");
        EXPECT_EQ(out.channels, c.channels);
        EXPECT_EQ(out.rate, 16000);
        EXPECT_EQ(out.frames(), c.frames);
        EXPECT_TRUE(out.samples == s);
    }
}

TEST(AudioFileSink, UnfinishedRunLeavesNoFileAndObjectsAreReleased) {
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(2 * 5000, 4));
    long before = Object::liveCount();
    roundTrip(dir / "in.wav", dir / "out.wav", 512, 160, /*finish=*/false);
    EXPECT_EQ(Object::liveCount(), before);
    EXPECT_EQ(dir.files(), std::vector<std::string>{"in.wav"});
}

TEST(AudioFileSink, WritesChosenRowsOfAnyStreamClippedAndRounded) {
    // Without an audio source upstream the sink writes every frame's new samples
    // (columns 2 and 3 of 4); the file channels are rows 2 and 0.
    TempDir dir;
    Params p = fileParams(dir / "rows.wav", 4, 2, 8000);
    p.s("CHANNELS", "2,0");
    const float row2[] = {40000.0f, -40000.0f, 1.5f, -2.5f}, row0[] = {32767.4f, std::nanf(""), 7.4f, -7.6f};
    auto frame = [&](int k) {
        auto* m = new Matrix<float>(3, 4);
        std::fill(m->data(), m->data() + m->size(), 1e6f);  // old samples and row 1 are never written
        for (int i = 0; i < 2; ++i) (*m)(2, 2 + i) = row2[2 * k + i], (*m)(0, 2 + i) = row0[2 * k + i];
        return ObjectRef(m);
    };
    runToEnd(new AudioFileSink("out", p), "AUDIO", frame, 2);
    Wav w = readWav(dir / "rows.wav");
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.rate, 8000);
    EXPECT_EQ(w.samples, (std::vector<short>{32767, 32767, -32768, 0, 2, 7, -2, -8}));
}

TEST(Resynthesis, ShortSpectrumFrameIsRefusedBeforeItIsRead) {
    NodeHarness res(new Resynthesis("res", framing(8, 4)));
    res.feed("SPECTRUM", [](int k) { return ObjectRef(new Matrix<std::complex<float>>(2, k == 2 ? 4 : 5)); });
    res.initialize();
    EXPECT_EQ(hostError([&] { res.run("AUDIO", 3); }),
              "Resynthesis \"res\": frame 2: SPECTRUM frame is 2 x 4, expected LENGTH/2 + 1 = 5 columns");
    EXPECT_EQ(res.input("SPECTRUM").maxRequested(), 2);
}

// An Ogg file cut short has no length in its header (libsndfile says SF_COUNT_MAX): the
// count overflowed, giving 0 samples when resampled and "declares 9223372036854775807
// samples" otherwise. A WAV with no data bytes, or cut inside its header, ran with exit 0
// and an empty result; it holds no audio and is an error.
TEST(AudioReader, OggOfUnknownLengthIsCountedAndEmptyFilesAreErrors) {
    TempDir dir;
    writeWav(dir / "full.ogg", 16000, 2, noise(2 * 32000, 3), SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    std::filesystem::copy_file(dir / "full.ogg", dir / "cut.ogg");
    std::filesystem::resize_file(dir / "cut.ogg", std::filesystem::file_size(dir / "full.ogg") / 2);
    for (int rate : {16000, 8000}) {
        nodes::AudioReader r(dir / "cut.ogg", rate);
        const long long n = r.sampleCount();
        EXPECT_GT(n, rate / 4) << rate;
        EXPECT_LT(n, 2 * rate) << rate;
        std::vector<float> all(size_t(n) * 2);
        r.read(all.data(), n);
        float peak = 0;
        for (float x : all) peak = std::max(peak, std::abs(x));
        EXPECT_GT(peak, 1000.0f) << rate;
    }
    writeWav(dir / "empty.wav", 16000, 2, std::vector<short>{});
    writeWav(dir / "header.wav", 16000, 2, noise(200, 4));
    std::filesystem::resize_file(dir / "header.wav", 42);
    for (const std::string name : {"empty.wav", "header.wav"}) {
        const std::string err = readerError(dir / name);
        EXPECT_NE(err.find(name), std::string::npos) << err;
        EXPECT_TRUE(err.find("holds no audio") != std::string::npos || err.find("truncated") != std::string::npos ||
                    err.find("as audio") != std::string::npos)
            << err;
    }
}

// A result of 4 h 40 min in 8 channels came back as 22.78 s: past 4 GiB the RIFF sizes wrap.
// Such results, and those of unknown length, are written as RF64 (plain WAV while small).
TEST(AudioFileSink, LargeOrUnknownLengthResultsAreWrittenAsRf64) {
    const long long hours = 16000LL * 3600 * 5;
    EXPECT_EQ(nodes::wavFormatFor(16000, 2), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(nodes::wavFormatFor(hours / 8, 8), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(nodes::wavFormatFor(hours, 8), SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    EXPECT_EQ(nodes::wavFormatFor(nodes::kWavDataLimit / 2 + 1, 1), SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    EXPECT_EQ(nodes::wavFormatFor(-1, 2), SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
}
