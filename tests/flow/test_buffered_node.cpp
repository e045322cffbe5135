// The buffered node: in-order calculate once per count, look-ahead and look-back
// windows, frames computed on demand, bounded memory on a long stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "tests/support/NodeHarness.h"

using namespace FD;
using FD::testing::hostError;
using FD::testing::NodeHarness;
using FD::testing::ScriptedSource;

namespace {

// Outputs input + 1000 and logs each calculate. Reads IN `readAhead` frames ahead
// and `readBack` back; writes -1 `writeAhead` frames ahead (one further at count
// `overwriteAt`); asks itself for frame `selfAhead` at count 0.
class Probe : public BufferedNode {
public:
    Probe(const std::string& name, int readAhead, int readBack, int writeAhead = 0, int selfAhead = 0)
        : BufferedNode(name, ParameterSet()), ahead_(readAhead), back_(readBack), write_(writeAhead),
          self_(selfAhead) {
        addInput("IN");
        addOutput("OUT");
        inOrder = true;
        readsAhead(0, readAhead);
        keepsBack(0, readBack);
        writesAhead(0, std::max(writeAhead, selfAhead));
    }
    void calculate(int, int count, Buffer& out) override {
        log.push_back(count);
        int v = dereference_cast<int>(getInput(0, count));
        if (ahead_) getInput(0, count + ahead_);
        if (back_ && count >= back_) getInput(0, count - back_);
        if (self_ && count == 0) getOutput(0, self_);
        if (!out.isValid(count)) out[count] = ObjectRef(new Int(v + 1000));
        if (write_) out[count + write_] = ObjectRef(new Int(-1));
        if (count == overwriteAt) out[count + write_ + 1] = ObjectRef(new Int(-1));
    }
    std::vector<int> log;
    int overwriteAt = -1;

private:
    int ahead_, back_, write_, self_;
};

// Gives input + 1000 on both of its outputs.
class Twin : public BufferedNode {
public:
    explicit Twin(const std::string& name) : BufferedNode(name, ParameterSet()) {
        addInput("IN");
        addOutput("A");
        addOutput("B");
        inOrder = true;
    }
    void calculate(int, int count, Buffer&) override {
        const int v = dereference_cast<int>(getInput(0, count));
        for (OutputCacheInfo& o : outputs) (*o.buffer)[count] = ObjectRef(new Int(v + 1000));
    }
};

ObjectRef countAsInt(int count) { return ObjectRef(new Int(count)); }

Probe* fed(NodeHarness& h) {
    h.feed("IN", countAsInt);
    h.initialize();
    return static_cast<Probe*>(&h.node());
}

int pullInt(NodeHarness& h, int count) { return dereference_cast<int>(h.pull("OUT", count)); }

// source -> prefix0 -> ... -> prefix(n-1), Probes each reading `readAhead` frames ahead.
void chainOfProbes(Network& net, const std::string& prefix, int n, int readAhead) {
    net.addNode(new ScriptedSource("source", countAsInt, 4));
    std::string last = "source", port = "OUTPUT";
    for (int i = 0; i < n; ++i) {
        const std::string name = prefix + std::to_string(i);
        net.addNode(new Probe(name, readAhead, 0));
        net.connect(last, port, name, "IN");
        last = name, port = "OUT";
    }
}

}  // namespace

TEST(BufferedNode, InOrderCalculateRunsOncePerCountAndLooksAheadOnDemand) {
    NodeHarness h(new Probe("p", 0, 0));
    Probe* p = fed(h);
    EXPECT_EQ(pullInt(h, 3), 1003);
    EXPECT_EQ(pullInt(h, 3), 1003);
    EXPECT_EQ(pullInt(h, 5), 1005);
    EXPECT_EQ(p->log, (std::vector<int>{0, 1, 2, 3, 4, 5}));

    NodeHarness a(new Probe("p", 4, 0));
    fed(a);
    a.pull("OUT", 0);
    EXPECT_EQ(a.input("IN").maxRequested(), 4);
    a.pull("OUT", 10);
    EXPECT_EQ(a.input("IN").maxRequested(), 14);
}

TEST(BufferedNode, LookBackWindowServesInsideAndRefusesJustOutside) {
    Network net;
    auto* up = new Probe("up", 0, 0);
    net.addNode(new ScriptedSource("src", countAsInt));
    net.addNode(up);
    net.addNode(new Probe("down", 0, 3));
    net.connect("src", "OUTPUT", "up", "IN");
    net.connect("up", "OUT", "down", "IN");
    net.initialize();
    for (int c = 0; c <= 10; ++c) net.process(c);
    EXPECT_EQ(dereference_cast<int>(up->getOutput(0, 7)), 1007);
    std::string err = hostError([&] { up->getOutput(0, 6); });
    EXPECT_NE(err.find("trying to read non-existing element"), std::string::npos) << err;
    EXPECT_EQ(up->log.size(), 11u);
}

TEST(BufferedNode, LookAheadWriteIsServedWithoutRecalculationAndRefusedPastTheWindow) {
    NodeHarness h(new Probe("p", 0, 0, 1));
    Probe* p = fed(h);
    EXPECT_EQ(pullInt(h, 0), 1000);
    EXPECT_EQ(pullInt(h, 1), -1);
    EXPECT_EQ(p->log, (std::vector<int>{0, 1}));
    p->overwriteAt = 3;
    std::string err = hostError([&] { h.pull("OUT", 3); });
    EXPECT_NE(err.find("trying to write to non-existing element"), std::string::npos) << err;
}

TEST(BufferedNode, GetOutputOnItselfRunsLaterFramesFirstAndOnlyOnce) {
    NodeHarness h(new Probe("p", 0, 0, 0, 3));
    Probe* p = fed(h);
    EXPECT_EQ(pullInt(h, 0), 1000);
    EXPECT_EQ(pullInt(h, 1), 1001);
    std::vector<int> sorted = p->log;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(p->log.front(), 0);
    EXPECT_GE(p->log.size(), 4u);
}

TEST(BufferedNode, AnOutputKeepsItsFramesWhileAnotherOutputsConsumerDrivesTheNodeAhead) {
    Network net;
    net.addNode(new ScriptedSource("src", countAsInt));
    net.addNode(new Twin("twin"));
    auto* ahead = new Probe("ahead", 5, 0);  // drives the twin 5 frames ahead through A
    auto* level = new Probe("level", 0, 0);  // reads B at its own count
    net.addNode(ahead);
    net.addNode(level);
    net.connect("src", "OUTPUT", "twin", "IN");
    net.connect("twin", "A", "ahead", "IN");
    net.connect("twin", "B", "level", "IN");
    net.initialize();
    for (int c = 0; c < 20; ++c) {
        EXPECT_EQ(dereference_cast<int>(ahead->getOutput(0, c)), 2000 + c);
        EXPECT_EQ(dereference_cast<int>(level->getOutput(0, c)), 2000 + c);
    }
}

TEST(BufferedNode, LongStreamsHoldABoundedNumberOfFramesAndReleaseAll) {
    long before = Object::liveCount();
    {
        Network net;
        net.addNode(new ScriptedSource("src", countAsInt));
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

namespace {
// Adds its two inputs.
class Sum : public BufferedNode {
public:
    explicit Sum(const std::string& name) : BufferedNode(name, ParameterSet()) {
        addInput("A");
        addInput("B");
        addOutput("OUT");
        inOrder = true;
    }
    void calculate(int, int count, Buffer& out) override {
        out[count] = ObjectRef(new Int(dereference_cast<int>(getInput(0, count)) +
                                       dereference_cast<int>(getInput(1, count))));
    }
};
}  // namespace

// Requests walked every path to a shared input again: 2^40 walks for 40 layers of two nodes
// that both read both nodes of the layer before. A chain of thousands of nodes overflowed
// the stack; one deeper than Network::kMaxDepth is refused before anything runs.
TEST(Network, SharedInputsArePassedOnceAndDeepChainsAreRefused) {
    Network net;
    ScriptedSource* source = new ScriptedSource("source", countAsInt, 4);
    net.addNode(source);
    std::string x = "source", y = "source";  // 40 layers: 2^40 walks without the memo
    for (int layer = 0; layer < 40; ++layer) {
        const std::string nx = "x" + std::to_string(layer), ny = "y" + std::to_string(layer);
        net.addNode(new Sum(nx));
        net.addNode(new Sum(ny));
        const std::string out = layer == 0 ? "OUTPUT" : "OUT";
        for (const std::string& n : {nx, ny}) {
            net.connect(x, out, n, "A");
            net.connect(y, out, n, "B");
        }
        x = nx, y = ny;
    }
    ASSERT_EQ(hostError([&] { net.initialize(); }), "");
    net.process(0);

    Network chain;
    chainOfProbes(chain, "p", Network::kMaxDepth, 0);
    const std::string error = hostError([&] { chain.initialize(); });
    EXPECT_NE(error.find("the network holds a chain of 501 nodes, ending at p499"), std::string::npos)
        << error;
}

// Three stacked trackers, each reading half of a long window ahead, overflowed the int
// sum of the windows; the sum is now refused past kMaxWindowFrames with the node named.
TEST(Network, WindowsThatAddUpPastTheLimitAreRefused) {
    Network net;
    chainOfProbes(net, "t", 3, (1 << 30) - 1);
    const std::string error = hostError([&] { net.initialize(); });
    EXPECT_NE(error.find("node t1: the frames kept ahead (2147483646) and back (0) on input IN add up to more than "
                         "1073741824"),
              std::string::npos)
        << error;
}

namespace {
// Reads A `aheadA` frames ahead and B `backB` frames back; gives their sum.
class Pair : public BufferedNode {
public:
    Pair(const std::string& name, int aheadA, int backB)
        : BufferedNode(name, ParameterSet()), ahead_(aheadA), back_(backB) {
        addInput("A");
        addInput("B");
        addOutput("OUT");
        inOrder = true;
        readsAhead(0, aheadA);
        keepsBack(1, backB);
    }
    void calculate(int, int count, Buffer& out) override {
        const int a = dereference_cast<int>(getInput(0, count + ahead_));
        const int b = count >= back_ ? dereference_cast<int>(getInput(1, count - back_)) : 0;
        out[count] = ObjectRef(new Int(a + b));
    }

private:
    int ahead_, back_;
};

long long framesKept(const Network& net) {
    long long total = 0;
    for (const RCPtr<Node>& n : net.nodes())
        if (auto* b = dynamic_cast<const BufferedNode*>(n.get()))
            for (size_t o = 0; o < n->getOutputNames().size(); ++o) total += b->windowFrames(int(o));
    return total;
}
}  // namespace

// A node read by one buffered node is driven by that node's in-order frames alone: its
// windows follow that reader's reach, not the sum of every reach downstream (a chain
// held frames quadratic in its length). Shared nodes keep the sums: a reader may still
// ask for frame 0 after another drove them far ahead.
TEST(Network, WindowsOfNodesReadByOneNodeGrowLinearlyAlongAChain) {
    Network net;  // source -> p0 -> ... -> p39, each reading 10 ahead and 3 back
    net.addNode(new ScriptedSource("source", countAsInt));
    std::vector<Probe*> chain;
    std::string last = "source", port = "OUTPUT";
    for (int i = 0; i < 40; ++i) {
        const std::string name = "p" + std::to_string(i);
        chain.push_back(new Probe(name, 10, 3, 0, i % 5 == 0 ? 4 : 0));  // some ask for a later own frame
        net.addNode(chain.back());
        net.connect(last, port, name, "IN");
        last = name, port = "OUT";
    }
    net.initialize();
    EXPECT_LT(framesKept(net), 40 * 20);  // the sums kept about 40 * 39 / 2 * 13
    const long afterInit = Object::liveCount();
    for (int c = 0; c < 300; ++c) {
        net.process(c);
        ASSERT_EQ(dereference_cast<int>(chain.back()->getOutput(0, c)), c + 40000) << c;
    }
    EXPECT_LT(Object::liveCount() - afterInit, 40 * 20);

    // s -> x; x read by a0 -> a1 (20 ahead each) and by b (level); both joined by j.
    Network diamond;
    diamond.addNode(new ScriptedSource("src", countAsInt));
    diamond.addNode(new Probe("s", 0, 0));
    diamond.addNode(new Probe("x", 0, 0));
    diamond.addNode(new Probe("a0", 20, 0));
    diamond.addNode(new Probe("a1", 20, 0));
    diamond.addNode(new Probe("b", 0, 0));
    auto* join = new Sum("j");
    diamond.addNode(join);
    for (auto [from, port, to, in] : std::vector<std::array<const char*, 4>>{
             {"src", "OUTPUT", "s", "IN"}, {"s", "OUT", "x", "IN"}, {"x", "OUT", "a0", "IN"},
             {"a0", "OUT", "a1", "IN"}, {"x", "OUT", "b", "IN"}, {"a1", "OUT", "j", "A"}, {"b", "OUT", "j", "B"}})
        diamond.connect(from, port, to, in);
    diamond.initialize();
    for (int c = 0; c < 100; ++c) ASSERT_EQ(dereference_cast<int>(join->getOutput(0, c)), 2 * c + 7000) << c;
}

// One node reading two outputs of a node, each with its own reach, below a node that
// reads far ahead: the two windows fit the reader, and every frame is there when read.
TEST(Network, TwoOutputsReadByOneNodeKeepWhatThatNodeReads) {
    Network net;
    net.addNode(new ScriptedSource("src", countAsInt));
    auto* twin = new Twin("twin");
    net.addNode(twin);
    net.addNode(new Pair("pair", 5, 3));
    auto* far = new Probe("far", 50, 0);
    net.addNode(far);
    net.connect("src", "OUTPUT", "twin", "IN");
    net.connect("twin", "A", "pair", "A");
    net.connect("twin", "B", "pair", "B");
    net.connect("pair", "OUT", "far", "IN");
    net.initialize();
    EXPECT_EQ(twin->windowFrames(0), 6);
    EXPECT_EQ(twin->windowFrames(1), 9);
    for (int c = 0; c < 100; ++c) {
        const int expected = (c + 5 + 1000) + (c >= 3 ? c - 3 + 1000 : 0) + 1000;
        ASSERT_EQ(dereference_cast<int>(far->getOutput(0, c)), expected) << c;
    }
}

// Before any buffer is allocated, windows holding more frames than the memory budget
// are refused, naming the largest; ZELKBP_MEMORY_BUDGET (MiB) moves the budget.
TEST(Network, WindowsBeyondTheMemoryBudgetAreRefusedNamingTheLargest) {
    const char* saved = std::getenv("ZELKBP_MEMORY_BUDGET");
    const std::string savedValue = saved ? saved : "";
    for (auto [budget, expected] : std::vector<std::pair<const char*, std::string>>{
             {"1", "the frame windows of this network would hold 603 frames (about 3 MiB at 4 KiB a frame), more "
                   "than the memory budget of 1 MiB (flowrun --memory-budget MIB or ZELKBP_MEMORY_BUDGET raises "
                   "it); the largest, node t0 output OUT, holds 301"},
             {"3", ""}}) {
        setenv("ZELKBP_MEMORY_BUDGET", budget, 1);
        Network net;
        chainOfProbes(net, "t", 3, 300);
        EXPECT_EQ(hostError([&] { net.initialize(); }), expected) << budget;
    }
    if (saved) setenv("ZELKBP_MEMORY_BUDGET", savedValue.c_str(), 1);
    else unsetenv("ZELKBP_MEMORY_BUDGET");
}
