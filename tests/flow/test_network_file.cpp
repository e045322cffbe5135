// Network files: arguments and typed parameters reach the nodes, and every
// problem of a file is reported at once, one line each, with its line number.
#include <gtest/gtest.h>

#include <fstream>

#include "flow/Catalogue.h"
#include "flow/NetworkFile.h"
#include "tests/flow/AudioFiles.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using FD::testing::ScratchDir;

namespace {

// A node whose parameters the tests read back. Its catalogue entry declares
// GAIN (float), LABEL (string), TAPS (int) and LOUD (bool).
class TestGain : public BufferedNode {
public:
    TestGain(const std::string& name, const ParameterSet& p) : BufferedNode(name, p) {
        addInput("IN");
        addOutput("OUT");
        gain = dereference_cast<float>(p.get("GAIN"));
        label = object_cast<String>(p.get("LABEL"));
        taps = dereference_cast<int>(p.get("TAPS"));
        loud = dereference_cast<bool>(p.get("LOUD"));
        inOrder = true;
    }
    void calculate(int, int count, Buffer& out) override { out[count] = getInput(0, count); }
    float gain;
    std::string label;
    int taps;
    bool loud;
};

// A source of ten frames with no catalogue entry: its parameter errors come from
// the constructor's own casts.
class TestTicks : public BufferedNode {
public:
    TestTicks(const std::string& name, const ParameterSet& p) : BufferedNode(name, p) {
        addOutput("OUT");
        rate = dereference_cast<float>(p.get("RATE"));
        if (rate <= 0) throw new GeneralException("TestTicks \"" + name + "\": RATE must be positive");
        inOrder = true;
    }
    void calculate(int, int count, Buffer& out) override { out[count] = ObjectRef(new Int(count)); }
    int streamLength() const override { return 10; }
    float rate;
};

class NetworkFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Node::addFactory("TestGain", new NodeFactory<TestGain>("TestGain"));
        Node::addFactory("TestTicks", new NodeFactory<TestTicks>("TestTicks"));
        describeNode(
            {"TestGain",
             "test",
             {{"IN", ""}},
             {{"OUT", ""}},
             {{"GAIN", "float", ""}, {"LABEL", "string", ""}, {"TAPS", "int", ""}, {"LOUD", "bool", ""}}});
    }

    std::string write(const std::string& body) {
        std::string path = dir_ / "net.n";
        std::ofstream(path) << "<?xml version=\"1.0\"?>\n<document>\n<network name=\"MAIN\">\n"
                            << body << "</network>\n</document>\n";
        return path;
    }

    // The problems loading `body` reports, with the file name cut off.
    std::vector<std::string> problems(const std::string& body,
                                      const std::map<std::string, std::string>& args = {}) {
        std::string path = write(body);
        try {
            loadNetwork(path, args);
        } catch (LoadError* e) {
            std::vector<std::string> p = e->problems();
            delete e;
            for (std::string& s : p) s = s.substr(s.find("net.n") + 5);
            return p;
        }
        return {};
    }

    ScratchDir dir_;
};

const char* kTicks =
    "<node name=\"src\" type=\"TestTicks\"><param name=\"RATE\" type=\"float\" value=\"2\"/></node>\n";

std::string gainNode(const std::string& name, const std::string& params) {
    return "<node name=\"" + name + "\" type=\"TestGain\">\n" + params + "</node>\n";
}

const char* kGainParams =
    "<param name=\"GAIN\" type=\"float\" arg=\"G\"/>\n<param name=\"LABEL\" type=\"string\" value=\"x y\"/>\n"
    "<param name=\"TAPS\" type=\"int\" value=\"-3\"/>\n<param name=\"LOUD\" type=\"bool\" arg=\"LOUD\"/>\n";

}  // namespace

TEST_F(NetworkFile, ArgumentsAndValuesReachTheNodesTyped) {
    std::string path = write(std::string("<arg name=\"G\" type=\"float\"/>\n<arg name=\"LOUD\" type=\"bool\" "
                                         "default=\"true\"/>\n") +
                             kTicks + gainNode("g", kGainParams) +
                             "<link from=\"src\" output=\"OUT\" to=\"g\" input=\"IN\"/>\n");
    std::unique_ptr<Network> net = loadNetwork(path, {{"G", "2.5"}});
    auto* g = dynamic_cast<TestGain*>(net->getNode("g"));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->gain, 2.5f);
    EXPECT_EQ(g->label, "x y");
    EXPECT_EQ(g->taps, -3);
    EXPECT_TRUE(g->loud);
    EXPECT_EQ(net->streamLength(), 10);
    net->process(9);
    EXPECT_EQ(net->sinks().size(), 1u);

    net = loadNetwork(path, {{"G", "1e-3"}, {"LOUD", "false"}});
    EXPECT_FALSE(dynamic_cast<TestGain*>(net->getNode("g"))->loud);
    std::vector<NetworkArgument> args = networkArguments(path);
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[1].name, "LOUD");
    EXPECT_EQ(args[1].defaultValue, "true");
}

TEST_F(NetworkFile, ParameterProblemsAreCheckedAgainstTheCatalogue) {
    std::string body = std::string(kTicks) +
                       gainNode("g",
                                "<param name=\"GAIN\" type=\"int\" value=\"18\"/>\n"     // line 6
                                "<param name=\"LABLE\" type=\"string\" value=\"x\"/>\n"  // line 7
                                "<param name=\"LOUD\" type=\"bool\" value=\"yes\"/>\n")  // line 8
                       + "<link from=\"src\" output=\"OUT\" to=\"g\" input=\"IN\"/>\n";
    std::vector<std::string> p = problems(body);
    std::vector<std::string> expected = {
        ":8: LOUD of node g: \"yes\" is not a bool",
        ":6: GAIN of node g expects float, got int 18",
        ":7: node g (TestGain) has no parameter LABLE (did you mean LABEL?); it takes GAIN, LABEL, TAPS, "
        "LOUD",
        ":5: node g (TestGain) is missing parameter LABEL (string)",
        ":5: node g (TestGain) is missing parameter TAPS (int)",
    };
    EXPECT_EQ(p, expected);
}

TEST_F(NetworkFile, ConstructorErrorsAreMadeReadable) {
    // TestTicks has no catalogue entry: its own cast and range check speak.
    EXPECT_EQ(
        problems(
            "<node name=\"t\" type=\"TestTicks\"><param name=\"RATE\" type=\"int\" value=\"18\"/></node>\n"),
        std::vector<std::string>{":4: RATE of node t expects float, got int 18"});
    EXPECT_EQ(problems("<node name=\"t\" type=\"TestTicks\"></node>\n"),
              std::vector<std::string>{":4: node t (TestTicks) is missing parameter RATE"});
    EXPECT_EQ(problems("<node name=\"t\" type=\"TestTicks\"><param name=\"RATE\" type=\"float\" "
                       "value=\"-1\"/></node>\n"),
              std::vector<std::string>{":4: TestTicks \"t\": RATE must be positive"});
}

TEST_F(NetworkFile, StructureProblems) {
    std::vector<std::string> p =
        problems(std::string(kTicks) + "<node name=\"x\" type=\"TestGian\"/>\n" + gainNode("a", "") +
                 "<link from=\"src\" output=\"OUTPUT\" to=\"a\" input=\"IN\"/>\n"
                 "<link from=\"src\" output=\"OUT\" to=\"b\" input=\"IN\"/>\n");
    ASSERT_GE(p.size(), 3u);
    EXPECT_EQ(p[0].substr(0, 65), ":5: node x: unknown node type TestGian (did you mean TestGain?); ");
    EXPECT_NE(p[0].find("known types: "), std::string::npos);
    EXPECT_NE(p[0].find("TestTicks"), std::string::npos);
    EXPECT_EQ(p[p.size() - 2],
              ":8: link from src OUTPUT to a IN: node src (TestTicks) has no output OUTPUT (did you "
              "mean OUT?); its outputs: OUT");
    EXPECT_EQ(p.back(), ":9: link from src OUT to b IN: there is no node b");
    EXPECT_EQ(networkNodeTypes(dir_ / "net.n"),
              (std::vector<std::string>{"TestTicks", "TestGian", "TestGain"}));
}

TEST_F(NetworkFile, UnconnectedInputsAndCycles) {
    const std::string params =
        "<param name=\"GAIN\" type=\"float\" value=\"1\"/>\n"
        "<param name=\"LABEL\" type=\"string\" value=\"\"/>\n"
        "<param name=\"TAPS\" type=\"int\" value=\"1\"/>\n"
        "<param name=\"LOUD\" type=\"bool\" value=\"false\"/>\n";
    EXPECT_EQ(problems(gainNode("a", params)),
              std::vector<std::string>{":4: input IN of node a is not connected"});
    EXPECT_EQ(problems(gainNode("a", params) + gainNode("b", params) +
                       "<link from=\"a\" output=\"OUT\" to=\"b\" input=\"IN\"/>\n"
                       "<link from=\"b\" output=\"OUT\" to=\"a\" input=\"IN\"/>\n"),
              std::vector<std::string>{": the network has a cycle: a -> b -> a"});
    EXPECT_EQ(
        problems(std::string(kTicks) + gainNode("a", params) +
                 "<link from=\"src\" output=\"OUT\" to=\"a\" input=\"IN\"/>\n"
                 "<link from=\"src\" output=\"OUT\" to=\"a\" input=\"IN\"/>\n"),
        std::vector<std::string>{":12: link from src OUT to a IN: node a: input IN is connected twice"});
}

TEST_F(NetworkFile, ArgumentProblems) {
    std::string body =
        "<arg name=\"N\" type=\"int\"/>\n<arg name=\"F\" type=\"float\" default=\"x\"/>\n"
        "<arg name=\"S\" type=\"string\"/>\n" +
        std::string(kTicks) +
        "<node name=\"t\" type=\"TestTicks\"><param name=\"RATE\" type=\"float\" arg=\"N\"/></node>\n"
        "<node name=\"u\" type=\"TestTicks\"><param name=\"RATE\" type=\"float\" arg=\"M\"/></node>\n";
    std::vector<std::string> expected = {
        ":5: argument F: default \"x\" is not a float",
        ": unknown argument NN (did you mean N?); the network takes N, F, S",
        ": argument N=12x is not an int",
        ": argument S (string) has no value: give S=... on the command line",
        ":8: RATE of node t is a float but argument N is an int",
        ":9: RATE of node u takes argument M, which the network does not declare (declared: N, F, S)",
    };
    EXPECT_EQ(problems(body, {{"N", "12x"}, {"NN", "1"}}), expected);
}

TEST_F(NetworkFile, FilesThatAreNotNetworks) {
    std::string path = dir_ / "broken.n";
    std::ofstream(path) << "<document>\n<network>\n<node name=\"a\" type=\"X\">\n</network>\n";
    try {
        loadNetwork(path, {});
        FAIL() << "loaded a broken file";
    } catch (LoadError* e) {
        EXPECT_EQ(e->message(), path + ":4: not well-formed XML: Start-end tags mismatch");
        delete e;
    }
    try {
        loadNetwork(dir_ / "absent.n", {});
        FAIL() << "loaded a missing file";
    } catch (LoadError* e) {
        EXPECT_EQ(e->message(), "cannot read " + (dir_ / "absent.n") + ": No such file or directory");
        delete e;
    }
    std::ofstream(path) << "<networks/>";
    try {
        loadNetwork(path, {});
        FAIL();
    } catch (LoadError* e) {
        EXPECT_EQ(e->message(), path + ":1: the file must hold a <document> element, found <networks>");
        delete e;
    }
}

TEST_F(NetworkFile, FailedLoadReleasesEveryNode) {
    long before = Object::liveCount();
    EXPECT_FALSE(problems(std::string(kTicks) + gainNode("g", kGainParams)).empty());
    EXPECT_EQ(Object::liveCount(), before);
}

TEST(ParseValue, TypesAreStrict) {
    EXPECT_EQ(dereference_cast<int>(parseValue("int", "-12")), -12);
    EXPECT_FALSE(parseValue("int", "1.5"));
    EXPECT_FALSE(parseValue("int", "99999999999"));
    EXPECT_FALSE(parseValue("int", " 1"));
    EXPECT_FALSE(parseValue("int", ""));
    EXPECT_EQ(dereference_cast<float>(parseValue("float", "18")), 18.0f);
    EXPECT_FALSE(parseValue("float", "nan"));
    EXPECT_FALSE(parseValue("float", "1e99"));
    EXPECT_FALSE(parseValue("bool", "1"));
    EXPECT_EQ(object_cast<String>(parseValue("string", "")), "");
    EXPECT_FALSE(parseValue("double", "1"));
}
