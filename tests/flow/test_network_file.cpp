// Network files: arguments and typed parameters reach the nodes, and every
// problem of a file is reported at once, one line each, with its line number.
#include <gtest/gtest.h>

#include "flow/Catalogue.h"
#include "flow/NetworkFile.h"
#include "tests/flow/AudioFiles.h"

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
        if (dereference_cast<float>(p.get("RATE")) <= 0)
            throw new GeneralException("TestTicks \"" + name + "\": RATE must be positive");
        inOrder = true;
    }
    void calculate(int, int count, Buffer& out) override { out[count] = ObjectRef(new Int(count)); }
    int streamLength() const override { return 10; }
};

using Lines = std::vector<std::string>;

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

    // Writes `text` to net.n as it is, or inside <document><network> (body from line 4).
    std::string write(const std::string& text, bool raw = false) {
        std::ofstream(path_) << (raw ? text
                                     : "<?xml version=\"1.0\"?>\n<document>\n<network name=\"MAIN\">\n" +
                                           text + "</network>\n</document>\n");
        return path_;
    }

    // The problems loading `path` reports, each with the path cut off its start.
    static Lines problemsOf(const std::string& path, const std::map<std::string, std::string>& args = {}) {
        try {
            loadNetwork(path, args);
        } catch (LoadError* e) {
            Lines p = e->problems();
            delete e;
            for (std::string& s : p)
                if (s.compare(0, path.size(), path) == 0) s.erase(0, path.size());
            return p;
        }
        return {};
    }
    Lines problems(const std::string& body, const std::map<std::string, std::string>& args = {}) {
        return problemsOf(write(body), args);
    }

    ScratchDir dir_;
    std::string path_ = dir_ / "net.n";
};

const std::string kTicks =
    "<node name=\"src\" type=\"TestTicks\"><param name=\"RATE\" type=\"float\" value=\"2\"/></node>\n";

std::string ticks(const std::string& name, const std::string& type, const std::string& value) {
    return "<node name=\"" + name + "\" type=\"TestTicks\"><param name=\"RATE\" type=\"" + type + "\" " +
           value + "/></node>\n";
}

std::string gainNode(const std::string& name, const std::string& params) {
    return "<node name=\"" + name + "\" type=\"TestGain\">\n" + params + "</node>\n";
}

std::string link(const std::string& from, const std::string& out, const std::string& to) {
    return "<link from=\"" + from + "\" output=\"" + out + "\" to=\"" + to + "\" input=\"IN\"/>\n";
}

}  // namespace

TEST_F(NetworkFile, ArgumentsAndValuesReachTheNodesTyped) {
    write("<arg name=\"G\" type=\"float\"/>\n<arg name=\"LOUD\" type=\"bool\" default=\"true\"/>\n" + kTicks +
          gainNode("g",
                   "<param name=\"GAIN\" type=\"float\" arg=\"G\"/>\n"
                   "<param name=\"LABEL\" type=\"string\" value=\"x y\"/>\n"
                   "<param name=\"TAPS\" type=\"int\" value=\"-3\"/>\n"
                   "<param name=\"LOUD\" type=\"bool\" arg=\"LOUD\"/>\n") +
          link("src", "OUT", "g"));
    std::unique_ptr<Network> net = loadNetwork(path_, {{"G", "2.5"}});
    auto* g = dynamic_cast<TestGain*>(net->getNode("g"));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->gain, 2.5f);
    EXPECT_EQ(g->label, "x y");
    EXPECT_EQ(g->taps, -3);
    EXPECT_TRUE(g->loud);
    EXPECT_EQ(net->streamLength(), 10);
    net->process(9);
    EXPECT_EQ(net->sinks().size(), 1u);

    net = loadNetwork(path_, {{"G", "1e-3"}, {"LOUD", "false"}});
    EXPECT_FALSE(dynamic_cast<TestGain*>(net->getNode("g"))->loud);
    std::vector<NetworkArgument> args = networkArguments(path_);
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[1].name, "LOUD");
    EXPECT_EQ(args[1].defaultValue, "true");
}

TEST_F(NetworkFile, ParameterProblemsAreCheckedAgainstTheCatalogueAndReleaseTheNodes) {
    long before = Object::liveCount();
    Lines p = problems(kTicks +
                       gainNode("g",
                                "<param name=\"GAIN\" type=\"int\" value=\"18\"/>\n"     // line 6
                                "<param name=\"LABLE\" type=\"string\" value=\"x\"/>\n"  // line 7
                                "<param name=\"LOUD\" type=\"bool\" value=\"yes\"/>\n")  // line 8
                       + link("src", "OUT", "g"));
    EXPECT_EQ(p, (Lines{
                     ":8: LOUD of node g: \"yes\" is not a bool",
                     ":6: GAIN of node g expects float, got int 18",
                     ":7: node g (TestGain) has no parameter LABLE (did you mean LABEL?); it takes GAIN, "
                     "LABEL, TAPS, LOUD",
                     ":5: node g (TestGain) is missing parameter LABEL (string)",
                     ":5: node g (TestGain) is missing parameter TAPS (int)",
                 }));
    EXPECT_EQ(Object::liveCount(), before);
}

TEST_F(NetworkFile, ConstructorErrorsAreMadeReadable) {
    // TestTicks has no catalogue entry: its own cast and range check speak.
    for (auto [body, expected] :
         {std::pair{ticks("t", "int", "value=\"18\""), ":4: RATE of node t expects float, got int 18"},
          {"<node name=\"t\" type=\"TestTicks\"></node>\n",
           ":4: node t (TestTicks) is missing parameter RATE"},
          {ticks("t", "float", "value=\"-1\""), ":4: TestTicks \"t\": RATE must be positive"}})
        EXPECT_EQ(problems(body), Lines{expected});
}

TEST_F(NetworkFile, StructureProblems) {
    Lines p = problems(kTicks + "<node name=\"x\" type=\"TestGian\"/>\n" + gainNode("a", "") +
                       link("src", "OUTPUT", "a") + link("src", "OUT", "b"));
    ASSERT_GE(p.size(), 3u);
    EXPECT_EQ(p[0].substr(0, 65), ":5: node x: unknown node type TestGian (did you mean TestGain?); ");
    EXPECT_NE(p[0].find("known types: "), std::string::npos);
    EXPECT_NE(p[0].find("TestTicks"), std::string::npos);
    EXPECT_EQ(p[p.size() - 2],
              ":8: link from src OUTPUT to a IN: node src (TestTicks) has no output OUTPUT (did you "
              "mean OUT?); its outputs: OUT");
    EXPECT_EQ(p.back(), ":9: link from src OUT to b IN: there is no node b");
    EXPECT_EQ(networkNodeTypes(path_), (Lines{"TestTicks", "TestGian", "TestGain"}));
}

TEST_F(NetworkFile, UnconnectedInputsAndCycles) {
    const std::string params =
        "<param name=\"GAIN\" type=\"float\" value=\"1\"/>\n<param name=\"LABEL\" type=\"string\" "
        "value=\"\"/>\n"
        "<param name=\"TAPS\" type=\"int\" value=\"1\"/>\n<param name=\"LOUD\" type=\"bool\" "
        "value=\"false\"/>\n";
    EXPECT_EQ(problems(gainNode("a", params)), Lines{":4: input IN of node a is not connected"});
    EXPECT_EQ(problems(gainNode("a", params) + gainNode("b", params) + link("a", "OUT", "b") +
                       link("b", "OUT", "a")),
              Lines{": the network has a cycle: a -> b -> a"});
    EXPECT_EQ(problems(kTicks + gainNode("a", params) + link("src", "OUT", "a") + link("src", "OUT", "a")),
              Lines{":12: link from src OUT to a IN: node a: input IN is connected twice"});
}

TEST_F(NetworkFile, ArgumentProblems) {
    std::string body =
        "<arg name=\"N\" type=\"int\"/>\n<arg name=\"F\" type=\"float\" default=\"x\"/>\n"
        "<arg name=\"S\" type=\"string\"/>\n" +
        kTicks + ticks("t", "float", "arg=\"N\"") + ticks("u", "float", "arg=\"M\"");
    EXPECT_EQ(
        problems(body, {{"N", "12x"}, {"NN", "1"}}),
        (Lines{
            ":5: argument F: default \"x\" is not a float",
            ": unknown argument NN (did you mean N?); the network takes N, F, S",
            ": argument N=12x is not an int",
            ": argument S (string) has no value: give S=... on the command line",
            ":8: RATE of node t is a float but argument N is an int",
            ":9: RATE of node u takes argument M, which the network does not declare (declared: N, F, S)",
        }));
}

TEST_F(NetworkFile, FilesThatAreNotNetworks) {
    write("<document>\n<network>\n<node name=\"a\" type=\"X\">\n</network>\n", true);
    EXPECT_EQ(problemsOf(path_), Lines{":4: not well-formed XML: Start-end tags mismatch"});
    write("<networks/>", true);
    EXPECT_EQ(problemsOf(path_), Lines{":1: the file must hold a <document> element, found <networks>"});
    EXPECT_EQ(problemsOf(dir_ / "absent.n"),
              Lines{"cannot read " + (dir_ / "absent.n") + ": No such file or directory"});
}

TEST(ParseValue, TypesAreStrict) {
    EXPECT_EQ(dereference_cast<int>(parseValue("int", "-12")), -12);
    EXPECT_EQ(dereference_cast<float>(parseValue("float", "18")), 18.0f);
    EXPECT_EQ(object_cast<String>(parseValue("string", "")), "");
    for (auto [type, text] : {std::pair{"int", "1.5"},
                              {"int", "99999999999"},
                              {"int", " 1"},
                              {"int", ""},
                              {"float", "nan"},
                              {"float", "1e99"},
                              {"bool", "1"},
                              {"double", "1"}})
        EXPECT_FALSE(parseValue(type, text)) << type << " " << text;
}
