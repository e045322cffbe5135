// Result writers: JSON Lines of source lists, speech-segment label files and
// .npy matrices, each complete only after the end of the stream.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>

#include "flow/nodes/Writers.h"
#include "plugin/Source.h"
#include "tests/flow/AudioFiles.h"

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

// Speech decision lists: one source in the frames where `speech(k)`.
ScriptedSource::Script decisions(std::function<bool(int)> speech) {
    return [speech](int k) { return speech(k) ? sources({{0.0f, 1.0f, 777}}) : sources({}); };
}

Params timed(const std::string& file) {
    Params p;
    p.s("FILE", file).i("ADVANCE", 160).i("SAMPLING_RATE", 16000);
    return p;
}

}  // namespace

TEST(SourceListWriter, OneJsonLinePerFrameWithAzimuthsInDegreesAndForeignElementsRefused) {
    ScratchDir dir;
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

    auto bad = [](int) { return ObjectRef(new Vector<ObjectRef>{ObjectRef(new Float(1.0f))}); };
    EXPECT_EQ(
        hostError([&] { runToEnd(new SourceListWriter("w", timed(dir / "a.jsonl")), "SOURCES", bad, 1); }),
        "SourceListWriter \"w\": frame 0: SOURCES element 0 is float, not a Source");
    EXPECT_EQ(dir.files().size(), 2u);  // nothing left of the failed run
}

TEST(SegmentWriter, SpeechRunsBecomeLabelLines) {
    ScratchDir dir;
    runToEnd(new SegmentWriter("vad", timed(dir / "speech.txt")), "DECISION",
             decisions([](int k) { return (k >= 2 && k <= 4) || k >= 8; }), 10);
    EXPECT_EQ(slurp(dir / "speech.txt"), "0.020000\t0.050000\tspeech\n0.080000\t0.100000\tspeech\n");
    runToEnd(new SegmentWriter("vad", timed(dir / "none.txt")), "DECISION",
             decisions([](int) { return false; }), 4);
    EXPECT_EQ(slurp(dir / "none.txt"), "");
}

TEST(SegmentWriter, SegmentsEndWithTheRecording) {
    // Ten frames of 160 samples over a recording of 1400 samples (0.0875 s): speech
    // from frame 7 on is cut at the end of the recording, speech past it is dropped.
    class Decisions : public ScriptedSource, public SampleStream {
    public:
        explicit Decisions(std::vector<int> speech)
            : ScriptedSource("dec", decisions([speech](int k) { return speech[size_t(k)] != 0; }), 10) {}
        long long sampleCount() const override { return 1400; }
        int sampleRate() const override { return 16000; }
        int frameAdvance() const override { return 160; }
        int channelCount() const override { return 1; }
    };
    ScratchDir dir;
    for (auto [speech, expected] :
         {std::pair{std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1, 1, 1},
                    std::string("0.070000\t0.087500\tspeech\n")},
          {std::vector<int>{1, 0, 0, 0, 0, 0, 0, 0, 0, 1}, std::string("0.000000\t0.010000\tspeech\n")}}) {
        Network net;
        net.addNode(new Decisions(speech));
        net.addNode(new SegmentWriter("vad", timed(dir / "s.txt")));
        net.connect("dec", "OUTPUT", "vad", "DECISION");
        net.initialize();
        for (int k = 0; k < 10; ++k) net.process(k);
        endStream(net.nodes(), 10);
        EXPECT_EQ(slurp(dir / "s.txt"), expected);
    }
}

TEST(MatrixWriter, FramesBecomeAThreeDimensionalArray) {
    ScratchDir dir;
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

TEST(MatrixWriter, ShapeOrTypeChangesAreRefused) {
    ScratchDir dir;
    Params p;
    p.s("FILE", dir / "m.npy");
    auto script = [](int k) { return ObjectRef(new Matrix<float>(2, k == 3 ? 5 : 4)); };
    EXPECT_EQ(hostError([&] { runToEnd(new MatrixWriter("npy", p), "INPUT", script, 5); }),
              "MatrixWriter \"npy\": frame 3: INPUT frame is Matrix<float> 2 x 5, the stream started with "
              "Matrix<float> 2 x 4");
    auto vector = [](int) { return ObjectRef(new Vector<ObjectRef>()); };
    EXPECT_NE(hostError([&] {
                  runToEnd(new MatrixWriter("npy", p), "INPUT", vector, 1);
              }).find("INPUT expects Matrix<float> or Matrix<complex<float>>"),
              std::string::npos);
    EXPECT_TRUE(dir.files().empty());

    runToEnd(new MatrixWriter("npy", p), "INPUT", script, 0);  // an empty stream: a valid, empty array
    EXPECT_NE(slurp(dir / "m.npy").find("'shape': (0, 0, 0)"), std::string::npos);
}
