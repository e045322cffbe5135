// The buffered node's promises: in-order calculate once per count, windows kept
// from look-ahead and look-back, frames computed on demand, bounded memory.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/NodeHarness.h"

using namespace FD;
using FD::testing::hostError;
using FD::testing::NodeHarness;

namespace {

// Outputs input + 1000 per frame and logs each calculate. Reads the input
// `readAhead` frames ahead and `readBack` back; writes -1 `writeAhead` frames
// ahead (one further at count `overwriteAt`); asks itself for frame `selfAhead`.
class Probe : public BufferedNode {
public:
    Probe(const std::string& name, int readAhead, int readBack, int writeAhead = 0, int selfAhead = 0)
        : BufferedNode(name, ParameterSet()),
          readAhead_(readAhead),
          readBack_(readBack),
          writeAhead_(writeAhead),
          selfAhead_(selfAhead) {
        addInput("IN");
        addOutput("OUT");
        inOrder = true;
        inputsCache[0].lookAhead = readAhead;
        inputsCache[0].lookBack = readBack;
        outputs[0].lookAhead = std::max(writeAhead, selfAhead);
    }

    void calculate(int, int count, Buffer& out) override {
        log.push_back(count);
        int v = dereference_cast<int>(getInput(0, count));
        if (readAhead_) dereference_cast<int>(getInput(0, count + readAhead_));
        if (readBack_ && count >= readBack_) dereference_cast<int>(getInput(0, count - readBack_));
        if (selfAhead_ && count == 0) getOutput(0, selfAhead_);
        if (!store) return;
        if (!out.isValid(count)) out[count] = ObjectRef(new Int(v + 1000));
        if (writeAhead_) out[count + writeAhead_] = ObjectRef(new Int(-1));
        if (count == overwriteAt) out[count + writeAhead_ + 1] = ObjectRef(new Int(-1));
    }

    std::vector<int> log;
    bool store = true;
    int overwriteAt = -1;

private:
    int readAhead_, readBack_, writeAhead_, selfAhead_;
};

class Pass : public Probe {
public:
    Pass(const std::string& name, const ParameterSet&) : Probe(name, 0, 0) {}
};

ObjectRef countAsInt(int count) { return ObjectRef(new Int(count)); }

// Feeds the counts to IN and initialises.
NodeHarness& fed(NodeHarness& h) {
    h.feed("IN", countAsInt);
    h.initialize();
    return h;
}

}  // namespace

TEST(BufferedNode, InOrderCalculateRunsOncePerCountEvenWhenAskedOutOfOrder) {
    auto* probe = new Probe("p", 0, 0);
    NodeHarness h(probe);
    fed(h);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 3)), 1003);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 3)), 1003);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 5)), 1005);
    EXPECT_EQ(probe->log, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(BufferedNode, LookAheadComputesLaterInputFramesOnDemand) {
    NodeHarness h(new Probe("p", 4, 0));
    fed(h).pull("OUT", 0);
    EXPECT_EQ(h.input("IN").maxRequested(), 4);
    h.pull("OUT", 10);
    EXPECT_EQ(h.input("IN").maxRequested(), 14);
}

TEST(BufferedNode, WindowsAreSizedFromTheConsumersAndRefuseOutsideFrames) {
    Network net;
    auto* up = new Probe("up", 0, 0);
    net.addNode(new FD::testing::ScriptedSource("src", countAsInt));
    net.addNode(up);
    net.addNode(new Probe("down", 0, 3));
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

TEST(BufferedNode, WriteAheadIsServedWithoutRecalculationAndBoundedByTheWindow) {
    auto* probe = new Probe("p", 0, 0, 1);
    NodeHarness h(probe);
    fed(h);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 0)), 1000);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 1)), -1);  // written while computing 0
    EXPECT_EQ(probe->log, (std::vector<int>{0, 1}));
    probe->overwriteAt = 3;
    std::string err = hostError([&] { h.pull("OUT", 3); });
    EXPECT_NE(err.find("trying to write to non-existing element"), std::string::npos) << err;
}

TEST(BufferedNode, GetOutputOnItselfRunsLaterFramesFirstAndOnlyOnce) {
    auto* probe = new Probe("p", 0, 0, 0, 3);
    NodeHarness h(probe);
    fed(h);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 0)), 1000);
    EXPECT_EQ(dereference_cast<int>(h.pull("OUT", 1)), 1001);
    std::vector<int> sorted = probe->log;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(probe->log.front(), 0);
    EXPECT_GE(probe->log.size(), 4u);
}

TEST(BufferedNode, NothingStoredForAFrameIsReportedWithNodeAndOutput) {
    auto* probe = new Probe("lazy", 0, 0);
    probe->store = false;
    NodeHarness h(probe);
    std::string err = hostError([&] { fed(h).pull("OUT", 0); });
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

TEST(Network, StructureErrorsNameNodesAndPorts) {
    Network net;
    net.addNode(new Probe("a", 0, 0));
    net.addNode(new Probe("b", 0, 0));
    EXPECT_NE(hostError([&] { net.connect("a", "OUTT", "b", "IN"); }).find("has no output OUTT"),
              std::string::npos);
    EXPECT_NE(hostError([&] { net.connect("a", "OUT", "b", "INN"); }).find("b has no input INN"),
              std::string::npos);
    net.connect("a", "OUT", "b", "IN");
    EXPECT_NE(hostError([&] { net.initialize(); }).find("node a: input IN is not connected"),
              std::string::npos);
    net.connect("b", "OUT", "a", "IN");
    std::string err = hostError([&] { net.initialize(); });
    EXPECT_NE(err.find("the network has a cycle: "), std::string::npos) << err;
    EXPECT_NE(err.find("a -> b"), std::string::npos) << err;
}

TEST(Network, UnknownTypeListsTheKnownOnesAndStreamLengthIsTheShortestSource) {
    Node::addFactory("TestPass", new NodeFactory<Pass>("TestPass"));
    Network net;
    std::string err = hostError([&] { net.addNode("NoSuchNode", "x", ParameterSet()); });
    EXPECT_NE(err.find("unknown node type NoSuchNode"), std::string::npos) << err;
    EXPECT_NE(err.find("TestPass"), std::string::npos) << err;
    EXPECT_NE(net.addNode("TestPass", "ok", ParameterSet()), nullptr);
    net.addNode(new FD::testing::ScriptedSource("s1", countAsInt, 40));
    net.addNode(new FD::testing::ScriptedSource("s2", countAsInt, 25));
    EXPECT_EQ(net.streamLength(), 25);
}
