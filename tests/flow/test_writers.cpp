// Result writers: JSON Lines of source lists, speech-segment label files, .npy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <tuple>

#include "flow/Source.h"
#include "flow/nodes/Writers.h"
#include "tests/support/Files.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using namespace FD::testing;

namespace {

// A source list: one source per (azimuth in degrees, power, id).
ObjectRef sources(std::vector<std::tuple<float, float, int>> list) {
    auto* v = new Vector<ObjectRef>();
    for (auto [degrees, power, id] : list) {
        auto* s = new Source();
        s->x[0] = float(std::cos(degrees * M_PI / 180.0));
        s->x[1] = float(std::sin(degrees * M_PI / 180.0));
        s->power = power;
        s->id = id;
        v->push_back(ObjectRef(s));
    }
    return ObjectRef(v);
}

// Decision lists from a recording of `samples` samples at 16 kHz, frames 160 samples apart.
class Recording : public ScriptedSource, public SampleStream {
public:
    Recording(long long samples, Script script)
        : ScriptedSource("recording", std::move(script)), samples_(samples) {}
    long long sampleCount() const override { return samples_; }
    int sampleRate() const override { return 16000; }
    int frameAdvance() const override { return 160; }
    int channelCount() const override { return 2; }

private:
    long long samples_;
};

Params timed(const std::string& file) {
    Params p;
    p.s("FILE", file).i("ADVANCE", 160).i("SAMPLING_RATE", 16000);
    return p;
}

}  // namespace

TEST(SourceListWriter, OneJsonLinePerFrameWithAzimuthsInDegreesAndNanAsNull) {
    TempDir dir;
    auto script = [](int k) {
        return k == 1 ? sources({{-30.0f, 0.5f, 0}, {135.0f, 1.0f, 7}}) : sources({});
    };
    runToEnd(new SourceListWriter("src", timed(dir / "s.jsonl")), "SOURCES", script, 3);
    EXPECT_EQ(slurp(dir / "s.jsonl"),
              "{\"frame\":0,\"time\":0.0,\"sources\":[]}\n"
              "{\"frame\":1,\"time\":0.01,\"sources\":[{\"id\":0,\"azimuth\":-30.0,\"power\":0.5},"
              "{\"id\":7,\"azimuth\":135.0,\"power\":1.0}]}\n"
              "{\"frame\":2,\"time\":0.02,\"sources\":[]}\n");

    auto nan = [](int) { return sources({{10.0f, std::nanf(""), 1}}); };
    runToEnd(new SourceListWriter("w", timed(dir / "n.jsonl")), "SOURCES", nan, 1);
    EXPECT_NE(slurp(dir / "n.jsonl").find("\"power\":null"), std::string::npos);
}

TEST(SegmentWriter, SpeechRunsBecomeLabelLines) {
    TempDir dir;
    auto speech = [](int k) {
        return (k >= 2 && k <= 4) || k >= 8 ? sources({{0.0f, 1.0f, 777}}) : sources({});
    };
    runToEnd(new SegmentWriter("vad", timed(dir / "speech.txt")), "DECISION", speech, 10);
    EXPECT_EQ(slurp(dir / "speech.txt"), "0.020000\t0.050000\tspeech\n0.080000\t0.100000\tspeech\n");
}

TEST(SegmentWriter, CutsTheLastSegmentAtTheEndOfTheRecording) {
    // 1000 samples end at 0.0625 s, inside frame 6; frame 7 starts past the recording.
    const std::pair<int, std::string> cases[] = {{5, "0.050000\t0.062500\tspeech\n"}, {7, ""}};
    for (const auto& [first, expected] : cases) {
        TempDir dir;
        Network net;
        auto* recording = new Recording(1000, [first = first](int k) {
            return k >= first ? sources({{0.0f, 1.0f, 777}}) : sources({});
        });
        auto* writer = new SegmentWriter("vad", timed(dir / "speech.txt"));
        net.addNode(recording);
        net.addNode(writer);
        writer->connectToNode("DECISION", recording, "OUTPUT");
        net.initialize();
        for (int k = 0; k < 8; ++k) net.process(k);
        writer->endOfStream(8);
        EXPECT_EQ(slurp(dir / "speech.txt"), expected) << first;
    }
}

TEST(MatrixWriter, FramesBecomeAThreeDimensionalArray) {
    TempDir dir;
    auto script = [](int k) {
        auto* m = new Matrix<std::complex<float>>(2, 3);
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 3; ++c) (*m)(r, c) = {float(100 * k + 10 * r + c), float(-k)};
        return ObjectRef(m);
    };
    Params p;
    p.s("FILE", dir / "m.npy");
    runToEnd(new MatrixWriter("npy", p), "INPUT", script, 4);
    std::string data = slurp(dir / "m.npy");
    ASSERT_GT(data.size(), 10u);
    EXPECT_EQ(data.compare(0, 6, "\x93NUMPY"), 0);
    size_t headerLength = size_t(uint8_t(data[8])) | size_t(uint8_t(data[9])) << 8;
    std::string header = data.substr(10, headerLength);
    EXPECT_EQ((10 + headerLength) % 64, 0u);
    EXPECT_NE(header.find("'descr': '<c8'"), std::string::npos) << header;
    EXPECT_NE(header.find("'shape': (4, 2, 3)"), std::string::npos) << header;
    EXPECT_EQ(header.back(), '\n');
    ASSERT_EQ(data.size(), 10 + headerLength + 4 * 2 * 3 * 8);
    std::vector<std::complex<float>> values(24);
    std::memcpy(values.data(), data.data() + 10 + headerLength, 24 * 8);
    EXPECT_EQ(values[0], std::complex<float>(0, 0));
    EXPECT_EQ(values[23], std::complex<float>(312, -3));  // frame 3, row 1, column 2
}

TEST(MatrixWriter, ShapeChangesAreRefusedAndLeaveNoFile) {
    TempDir dir;
    Params p;
    p.s("FILE", dir / "m.npy");
    auto script = [](int k) { return ObjectRef(new Matrix<float>(2, k == 3 ? 5 : 4)); };
    EXPECT_EQ(hostError([&] { runToEnd(new MatrixWriter("npy", p), "INPUT", script, 5); }),
              "MatrixWriter \"npy\": frame 3: INPUT frame is Matrix<float> 2 x 5, the stream started with "
              "Matrix<float> 2 x 4");
    EXPECT_TRUE(dir.files().empty());

}

// power was written with 6 significant digits: 1.0000001f came back as 1. Every float now
// reads back exactly, in its shortest form.
TEST(SourceListWriter, PowerReadsBackAsTheSameFloat) {
    TempDir dir;
    const std::vector<float> powers = {1.0000001f, 0.537661f, 0.1f, 3.4028235e38f, 1.17549435e-38f, 123456.79f,
                                       -2.5e-7f, 16777217.0f};
    auto script = [&](int k) { return sources({{0.0f, powers[size_t(k)], k}}); };
    runToEnd(new SourceListWriter("p", timed(dir / "p.jsonl")), "SOURCES", script, int(powers.size()));
    std::istringstream lines(slurp(dir / "p.jsonl"));
    std::string line;
    for (float expected : powers) {
        ASSERT_TRUE(std::getline(lines, line));
        const size_t at = line.find("\"power\":") + 8;
        const std::string text = line.substr(at, line.find('}', at) - at);
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), expected) << text;
        EXPECT_LE(text.size(), 15u) << text;
    }
    EXPECT_NE(slurp(dir / "p.jsonl").find("\"power\":0.537661}"), std::string::npos);
}
