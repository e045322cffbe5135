// The buffered node's promises: in-order calculate once per count, windows kept
// from look-ahead and look-back, frames computed on demand, bounded memory.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/NodeHarness.h"

using FD::testing::hostError;
using namespace FD;
using FD::testing::NodeHarness;

namespace {

// Outputs input + 1000 per frame and logs each calculate. Its reads of the input
// reach `readAhead` frames ahead and `readBack` frames back.
class Probe : public BufferedNode {
public:
    Probe(const std::string& name, int readAhead, int readBack, int writeAhead = 0, int selfAhead = 0)
        : BufferedNode(name, ParameterSet()), readAhead_(readAhead), readBack_(readBack),
          writeAhead_(writeAhead), selfAhead_(selfAhead) {
        in_ = addInput("IN");
        out_ = addOutput("OUT");
        inOrder = true;
        inputsCache[in_].lookAhead = readAhead;
        inputsCache[in_].lookBack = readBack;
        outputs[out_].lookAhead = std::max(writeAhead, selfAhead);
    }

    void calculate(int, int count, Buffer& out) override {
        log.push_back(count);
        int v = dereference_cast<int>(getInput(in_, count));
        if (readAhead_) dereference_cast<int>(getInput(in_, count + readAhead_));
        if (readBack_ && count >= readBack_) dereference_cast<int>(getInput(in_, count - readBack_));
        if (selfAhead_ && count == 0) getOutput(out_, selfAhead_);
        if (!out.isValid(count)) out[count] = ObjectRef(new Int(v + 1000));
        if (writeAhead_) out[count + writeAhead_] = ObjectRef(new Int(-1));
    }

    std::vector<int> log;

private:
    int in_, out_;
    int readAhead_, readBack_, writeAhead_, selfAhead_;
};

ObjectRef countAsInt(int count) { return ObjectRef(new Int(count)); }

}  // namespace

TEST(BufferedNode, InOrderCalculateRunsOncePerCountEvenWhenAskedOutOfOrder) {
    auto* probe = new Probe("p", 0, 0);
    NodeHarness h(probe);
    h.feed("IN", countAsInt);
    h.initialize();
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 3)), 1003);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 3)), 1003);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 5)), 1005);
    EXPECT_EQ(probe->log, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(BufferedNode, LookAheadComputesLaterInputFramesOnDemand) {
    auto* probe = new Probe("p", 4, 0);
    NodeHarness h(probe);
    auto& in = h.feed("IN", countAsInt);
    h.initialize();
    h.pull("OUT", 0);
    EXPECT_EQ(in.maxRequested(), 4);
    h.pull("OUT", 10);
    EXPECT_EQ(in.maxRequested(), 14);
}

TEST(BufferedNode, WindowsAreSizedFromTheConsumersAndRefuseOutsideFrames) {
    Network net;
    auto* src = new FD::testing::ScriptedSource("src", countAsInt);
    auto* up = new Probe("up", 0, 0);
    auto* down = new Probe("down", 0, 3);
    net.addNode(src);
    net.addNode(up);
    net.addNode(down);
    net.connect("src", "OUTPUT", "up", "IN");
    net.connect("up", "OUT", "down", "IN");
    net.initialize();
    for (int c = 0; c <= 10; ++c) net.process(c);
    // 'down' at frame 10 may read back to 7: served. Frame 6 has left the window.
    EXPECT_EQ(dereference_cast<int>(up->getOutput(0, 7)), 1007);
    std::string err = hostError([&] { up->getOutput(0, 6); });
    EXPECT_NE(err.find("trying to read non-existing element"), std::string::npos) << err;
    EXPECT_EQ(up->log.size(), 11u);
}

TEST(BufferedNode, WritingOutsideTheWindowIsABufferException) {
    // Declares 2 frames of write-ahead but writes 2: fine. A node that writes
    // further than it declared is refused with the host's message.
    class Overwriter : public BufferedNode {
    public:
        explicit Overwriter(const std::string& n) : BufferedNode(n, ParameterSet()) {
            addInput("IN");
            addOutput("OUT");
            inOrder = true;
            outputs[0].lookAhead = 2;
        }
        void calculate(int, int count, Buffer& out) override {
            out[count] = ObjectRef(new Int(count));
            out[count + (count == 3 ? 3 : 2)] = ObjectRef(new Int(count));
        }
    };
    NodeHarness h(new Overwriter("w"));
    h.feed("IN", countAsInt);
    h.initialize();
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 2)), 2);
    std::string err = hostError([&] { h.pull("OUT", 3); });
    EXPECT_NE(err.find("trying to write to non-existing element"), std::string::npos) << err;
}

TEST(BufferedNode, WriteAheadFramesAreServedWithoutRecalculation) {
    auto* probe = new Probe("p", 0, 0, 1);
    NodeHarness h(probe);
    h.feed("IN", countAsInt);
    h.initialize();
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 0)), 1000);
    // Frame 1 was written ahead (-1) while computing 0; calculate(1) keeps it.
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 1)), -1);
    EXPECT_EQ(probe->log, (std::vector<int>{0, 1}));
}

TEST(BufferedNode, GetOutputOnItselfRunsLaterFramesFirstAndOnlyOnce) {
    auto* probe = new Probe("p", 0, 0, 0, 3);
    NodeHarness h(probe);
    h.feed("IN", countAsInt);
    h.initialize();
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 0)), 1000);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 1)), 1001);
    // 0 asks for 3, 3 for 6, ... each count calculated once, starting in order.
    std::vector<int> sorted = probe->log;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(probe->log.front(), 0);
}

TEST(BufferedNode, NothingStoredForAFrameIsReportedWithNodeAndOutput) {
    class Lazy : public BufferedNode {
    public:
        explicit Lazy(const std::string& n) : BufferedNode(n, ParameterSet()) {
            addOutput("OUT");
            inOrder = true;
        }
        void calculate(int, int, Buffer&) override {}
    };
    NodeHarness h(new Lazy("lazy"));
    h.initialize();
    std::string err = hostError([&] { h.pull("OUT", 0); });
    EXPECT_NE(err.find("lazy"), std::string::npos) << err;
    EXPECT_NE(err.find("OUT"), std::string::npos) << err;
}

TEST(BufferedNode, LongStreamsHoldABoundedNumberOfFramesAndReleaseAll) {
    long before = Object::liveCount();
    {
        Network net;
        net.addNode(new FD::testing::ScriptedSource("src", countAsInt));
        net.addNode(new Probe("a", 5, 0));
        net.addNode(new Probe("b", 0, 20));
        net.connect("src", "OUTPUT", "a", "IN");
        net.connect("a", "OUT", "b", "IN");
        net.initialize();
        long afterInit = Object::liveCount();
        for (int c = 0; c < 20000; ++c) net.process(c);
        EXPECT_LT(Object::liveCount() - afterInit, 100);
    }
    EXPECT_EQ(Object::liveCount(), before);
}
