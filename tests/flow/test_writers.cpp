// Result writers: JSON Lines of source lists, speech-segment label files and
// .npy matrices, each complete only after the end of the stream.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "flow/Stream.h"
#include "flow/nodes/Writers.h"
#include "plugin/Source.h"
#include "tests/flow/AudioFiles.h"
#include "tests/support/NodeHarness.h"

using FD::testing::hostError;
using namespace FD;
using FD::testing::Params;
using FD::testing::ScratchDir;
namespace ft = FD::testing;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ObjectRef sourceAt(float degrees, float power, int id) {
    auto* s = new Source();
    double r = degrees * M_PI / 180.0;
    s->x[0] = float(std::cos(r));
    s->x[1] = float(std::sin(r));
    s->power = power;
    s->id = id;
    return ObjectRef(s);
}

// Runs a writer over `frames` scripted frames and ends the stream.
template <class W>
void runWriter(W* writer, const char* input, std::function<ObjectRef(int)> script, int frames) {
    ft::NodeHarness h(writer);
    h.feed(input, script, frames);
    h.initialize();
    h.run("OUTPUT", frames);
    writer->endOfStream(frames);
}

Params timed(const std::string& file) {
    Params p;
    p.s("FILE", file).i("ADVANCE", 160).i("SAMPLING_RATE", 16000);
    return p;
}

}  // namespace

TEST(SourceListWriter, OneJsonLinePerFrameWithAzimuthsInDegrees) {
    ScratchDir dir;
    auto script = [](int k) {
        auto* list = new Vector<ObjectRef>();
        if (k == 1) {
            list->push_back(sourceAt(-30.0f, 0.5f, 0));
            list->push_back(sourceAt(135.0f, 1.0f, 7));
        }
        return ObjectRef(list);
    };
    runWriter(new SourceListWriter("src", timed(dir / "s.jsonl")), "SOURCES", script, 3);
    EXPECT_EQ(slurp(dir / "s.jsonl"),
              "{\"frame\":0,\"time\":0.0,\"sources\":[]}\n"
              "{\"frame\":1,\"time\":0.01,\"sources\":[{\"id\":0,\"azimuth\":-30.0,\"power\":0.5},"
              "{\"id\":7,\"azimuth\":135.0,\"power\":1.0}]}\n"
              "{\"frame\":2,\"time\":0.02,\"sources\":[]}\n");
}

TEST(SourceListWriter, ForeignElementsAndNonFiniteValues) {
    ScratchDir dir;
    auto bad = [](int) {
        auto* list = new Vector<ObjectRef>();
        list->push_back(ObjectRef(new Float(1.0f)));
        return ObjectRef(list);
    };
    EXPECT_EQ(
        hostError([&] { runWriter(new SourceListWriter("w", timed(dir / "a.jsonl")), "SOURCES", bad, 1); }),
        "SourceListWriter \"w\": frame 0: SOURCES element 0 is float, not a Source");
    EXPECT_TRUE(dir.files().empty());

    auto nan = [](int) {
        auto* list = new Vector<ObjectRef>();
        list->push_back(sourceAt(10.0f, std::nanf(""), 1));
        return ObjectRef(list);
    };
    runWriter(new SourceListWriter("w", timed(dir / "n.jsonl")), "SOURCES", nan, 1);
    EXPECT_NE(slurp(dir / "n.jsonl").find("\"power\":null"), std::string::npos);
}

TEST(SegmentWriter, SpeechRunsBecomeLabelLines) {
    ScratchDir dir;
    // Speech in frames 2-4 and from 8 to the end of the 10-frame stream.
    auto script = [](int k) {
        auto* list = new Vector<ObjectRef>();
        if ((k >= 2 && k <= 4) || k >= 8) list->push_back(sourceAt(0.0f, 1.0f, 777));
        return ObjectRef(list);
    };
    runWriter(new SegmentWriter("vad", timed(dir / "speech.txt")), "DECISION", script, 10);
    EXPECT_EQ(slurp(dir / "speech.txt"), "0.020000\t0.050000\tspeech\n0.080000\t0.100000\tspeech\n");

    auto silent = [](int) { return ObjectRef(new Vector<ObjectRef>()); };
    runWriter(new SegmentWriter("vad", timed(dir / "none.txt")), "DECISION", silent, 4);
    EXPECT_EQ(slurp(dir / "none.txt"), "");
}

TEST(SegmentWriter, SegmentsEndWithTheRecording) {
    // Ten frames of 160 samples over a recording of 1400 samples (0.0875 s): speech
    // from frame 7 on is cut at the end of the recording, speech past it is dropped.
    class Decisions : public ft::ScriptedSource, public SampleStream {
    public:
        Decisions(std::vector<int> speech)
            : ScriptedSource(
                  "dec",
                  [speech](int k) {
                      auto* list = new Vector<ObjectRef>();
                      if (speech[size_t(k)]) list->push_back(sourceAt(0.0f, 1.0f, 777));
                      return ObjectRef(list);
                  },
                  int(speech.size())) {}
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
        auto* writer = new SegmentWriter("vad", timed(dir / "s.txt"));
        net.addNode(writer);
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
    runWriter(new MatrixWriter("npy", p), "INPUT", script, 4);
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
    EXPECT_EQ(hostError([&] { runWriter(new MatrixWriter("npy", p), "INPUT", script, 5); }),
              "MatrixWriter \"npy\": frame 3: INPUT frame is Matrix<float> 2 x 5, the stream started with "
              "Matrix<float> 2 x 4");
    auto vector = [](int) { return ObjectRef(new Vector<ObjectRef>()); };
    EXPECT_NE(hostError([&] {
                  runWriter(new MatrixWriter("npy", p), "INPUT", vector, 1);
              }).find("INPUT expects Matrix<float> or Matrix<complex<float>>"),
              std::string::npos);
    EXPECT_TRUE(dir.files().empty());

    // An empty stream still gives a valid, empty array.
    runWriter(new MatrixWriter("npy", p), "INPUT", script, 0);
    EXPECT_NE(slurp(dir / "m.npy").find("'shape': (0, 0, 0)"), std::string::npos);
}
