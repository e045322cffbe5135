// Network checks before the first frame.
#include <gtest/gtest.h>

#include "tests/support/NodeHarness.h"

using FD::testing::hostError;
using namespace FD;

namespace {

class Pass : public BufferedNode {
public:
    Pass(const std::string& name, const ParameterSet& p) : BufferedNode(name, p) {
        addInput("IN");
        addOutput("OUT");
        inOrder = true;
    }
    void calculate(int, int count, Buffer& out) override { out[count] = getInput(0, count); }
};

}  // namespace

TEST(Network, CycleIsRefusedNamingItsNodes) {
    Network net;
    net.addNode(new Pass("a", ParameterSet()));
    net.addNode(new Pass("b", ParameterSet()));
    net.connect("a", "OUT", "b", "IN");
    net.connect("b", "OUT", "a", "IN");
    std::string err = hostError([&] { net.initialize(); });
    EXPECT_NE(err.find("cycle"), std::string::npos) << err;
    EXPECT_NE(err.find("a -> b"), std::string::npos) << err;
}

TEST(Network, UnconnectedInputAndUnknownPortsAreNamed) {
    Network net;
    net.addNode(new Pass("a", ParameterSet()));
    net.addNode(new Pass("b", ParameterSet()));
    EXPECT_NE(hostError([&] { net.connect("a", "OUTT", "b", "IN"); }).find("has no output OUTT"),
              std::string::npos);
    EXPECT_NE(hostError([&] { net.connect("a", "OUT", "b", "INN"); }).find("b has no input INN"),
              std::string::npos);
    net.connect("a", "OUT", "b", "IN");
    std::string err = hostError([&] { net.initialize(); });
    EXPECT_NE(err.find("node a: input IN is not connected"), std::string::npos) << err;
}

TEST(Network, UnknownTypeListsTheKnownOnes) {
    Node::addFactory("TestPass", new NodeFactory<Pass>("TestPass"));
    Network net;
    std::string err = hostError([&] { net.addNode("NoSuchNode", "x", ParameterSet()); });
    EXPECT_NE(err.find("unknown node type NoSuchNode"), std::string::npos) << err;
    EXPECT_NE(err.find("TestPass"), std::string::npos) << err;
    EXPECT_NE(net.addNode("TestPass", "ok", ParameterSet()), nullptr);
}

TEST(Network, StreamLengthIsTheShortestSource) {
    Network net;
    net.addNode(new FD::testing::ScriptedSource("s1", [](int c) { return ObjectRef(new Int(c)); }, 40));
    net.addNode(new FD::testing::ScriptedSource("s2", [](int c) { return ObjectRef(new Int(c)); }, 25));
    EXPECT_EQ(net.streamLength(), 25);
}
