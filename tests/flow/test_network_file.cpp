// Network files: arguments and typed parameters reach the nodes; every problem of
// a file is reported, one line each, with its line number.
#include <gtest/gtest.h>

#include <filesystem>

#include <fstream>

#include "flow/Catalogue.h"
#include "flow/NetworkFile.h"
#include "flow/NodeSupport.h"
#include "tests/support/Files.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using Lines = std::vector<std::string>;

namespace {

// Its catalogue entry declares GAIN (float), LABEL (string), TAPS (int), LOUD (bool).
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

// Ten frames; no catalogue entry.
class TestTicks : public BufferedNode {
public:
    TestTicks(const std::string& name, const ParameterSet& p) : BufferedNode(name, p) {
        addOutput("OUT");
        NodeParameters(NodeErrors("TestTicks", name), p).real("RATE");
        inOrder = true;
    }
    void calculate(int, int count, Buffer& out) override { out[count] = ObjectRef(new Int(count)); }
    int streamLength() const override { return 10; }
};

std::string ticks(const std::string& name, const std::string& value, const std::string& type = "float") {
    return "<node name=\"" + name + "\" type=\"TestTicks\"><param name=\"RATE\" type=\"" + type + "\" " +
           value + "/></node>\n";
}
const std::string kTicks = ticks("src", "value=\"2\"");

std::string gainNode(const std::string& name, const std::string& params) {
    return "<node name=\"" + name + "\" type=\"TestGain\">\n" + params + "</node>\n";
}

std::string link(const std::string& from, const std::string& out, const std::string& to) {
    return "<link from=\"" + from + "\" output=\"" + out + "\" to=\"" + to + "\" input=\"IN\"/>\n";
}

class NetworkFiles : public ::testing::Test {
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

    // Writes `text` as it is, or inside <document><network> (body from line 4).
    void write(const std::string& text, bool raw = false) {
        std::ofstream(path_) << (raw ? text
                                     : "<?xml version=\"1.0\"?>\n<document>\n<network name=\"MAIN\">\n" +
                                           text + "</network>\n</document>\n");
    }

    // The problems reported, each with the path cut off its start.
    Lines problems(const std::string& body, const std::map<std::string, std::string>& args = {}) {
        if (!body.empty()) write(body);
        try {
            loadNetwork(path_, args);
        } catch (LoadError* e) {
            Lines p = e->problems();
            delete e;
            for (std::string& s : p)
                if (s.compare(0, path_.size(), path_) == 0) s.erase(0, path_.size());
            return p;
        }
        return {};
    }

    FD::testing::TempDir dir_;
    std::string path_ = dir_ / "net.n";
};

}  // namespace

TEST_F(NetworkFiles, ArgumentsAndValuesReachTheNodesTyped) {
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
}

TEST_F(NetworkFiles, ParameterProblemsAreCheckedAgainstTheCatalogueAndReleaseTheNodes) {
    long before = Object::liveCount();
    Lines p = problems(kTicks +
                       gainNode("g",
                                "<param name=\"GAIN\" type=\"int\" value=\"18\"/>\n"     // line 6
                                "<param name=\"LABLE\" type=\"string\" value=\"x\"/>\n"  // line 7
                                "<param name=\"LOUD\" type=\"bool\" value=\"true\"/>\n")
                       + link("src", "OUT", "g"));
    EXPECT_EQ(p, (Lines{
                     ":6: GAIN of node g expects float, got int 18",
                     ":7: node g (TestGain) has no parameter LABLE (did you mean LABEL?); it takes GAIN, "
                     "LABEL, TAPS, LOUD",
                     ":5: node g (TestGain) is missing parameter LABEL (string)",
                     ":5: node g (TestGain) is missing parameter TAPS (int)",
                 }));
    EXPECT_EQ(Object::liveCount(), before);
    // Without a catalogue entry the node's own cast speaks.
    EXPECT_EQ(problems(ticks("t", "value=\"18\"", "int")),
              Lines{":4: RATE of node t expects float, got int 18"});
}

TEST_F(NetworkFiles, StructureProblems) {
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

    const std::string params =
        "<param name=\"GAIN\" type=\"float\" value=\"1\"/>\n<param name=\"LABEL\" type=\"string\" value=\"\"/>\n"
        "<param name=\"TAPS\" type=\"int\" value=\"1\"/>\n<param name=\"LOUD\" type=\"bool\" value=\"false\"/>\n";
    EXPECT_EQ(problems(gainNode("a", params)), Lines{":4: input IN of node a is not connected"});
    EXPECT_EQ(problems(gainNode("a", params) + gainNode("b", params) + link("a", "OUT", "b") +
                       link("b", "OUT", "a")),
              Lines{": the network has a cycle: a -> b -> a"});
}

TEST_F(NetworkFiles, ArgumentProblemsAndMalformedXml) {
    EXPECT_EQ(problems("<arg name=\"N\" type=\"int\"/>\n<arg name=\"S\" type=\"string\"/>\n" + kTicks,
                       {{"N", "12x"}}),
              (Lines{": argument N=12x is not an int",
                     ": argument S (string) has no value: give S=... on the command line"}));
    write("<document>\n<network>\n<node name=\"a\" type=\"X\">\n</network>\n", true);
    EXPECT_EQ(problems(""), Lines{":4: not well-formed XML: Start-end tags mismatch"});
}

// Values a node would ignore or could not use are refused at load, naming the accepted ones:
// METHOD=WEINER_FILTERING once ran with no noise reduction and exit 0.
TEST_F(NetworkFiles, ValuesOutsideTheDescribedChoicesAndBoundsAreRefused) {
    Node::addFactory("TestPick", new NodeFactory<TestTicks>("TestPick"));
    describeNode({"TestPick",
                  "test",
                  {},
                  {{"OUT", ""}},
                  {{"RATE", "float", ""},
                   oneOfParam("MODE", "mode", {"FAST", "SLOW"}),
                   boundedParam("SIZE", "float", "", ParamInfo::Bound::Above, 0.0),
                   boundedParam("TIME", "float", "", ParamInfo::Bound::AtLeast, 0.0)}});
    auto pick = [](const std::string& mode, const std::string& size, const std::string& time) {
        return "<node name=\"p\" type=\"TestPick\"><param name=\"RATE\" type=\"float\" value=\"1\"/>\n"
               "<param name=\"MODE\" type=\"string\" value=\"" + mode + "\"/>\n"
               "<param name=\"SIZE\" type=\"float\" value=\"" + size + "\"/>\n"
               "<param name=\"TIME\" type=\"float\" value=\"" + time + "\"/></node>\n";
    };
    EXPECT_EQ(problems(pick("FAST", "0.1", "0")), Lines{});
    const struct {
        std::string mode, size, time, problem;
    } cases[] = {
        {"fast", "1", "1", ":5: MODE of node p must be \"FAST\" or \"SLOW\", got \"fast\""},
        {"", "1", "1", ":5: MODE of node p must be \"FAST\" or \"SLOW\", got \"\""},
        {"SLOW", "0", "1", ":6: SIZE of node p must be above 0, got 0"},
        {"SLOW", "-2.5", "1", ":6: SIZE of node p must be above 0, got -2.5"},
        {"SLOW", "1", "-0.5", ":7: TIME of node p must be at least 0, got -0.5"},
    };
    for (const auto& c : cases) EXPECT_EQ(problems(pick(c.mode, c.size, c.time)), Lines{c.problem}) << c.problem;
}

// Lenient XML and oversized files: a second MAIN network was ignored, a repeated attribute
// or a second document accepted, /dev/zero read until memory ran out, a directory called
// "not well-formed XML", and line numbers cost a scan from the file's start each.
TEST_F(NetworkFiles, FileLevelProblemsAreRefusedWithTheirLine) {
    const std::string main = "<network name=\"MAIN\">\n" + kTicks + "</network>\n";
    const struct {
        std::string text, problem;
    } cases[] = {
        {"<document>\n" + main + main + "</document>\n", ":5: a second network named MAIN (the first is on line 2)"},
        {"<document>\n" + main + "</document>\n<document>\n" + main + "</document>\n",
         ":6: a second top-level element <document> after the document: one document per file"},
        {"<document>\n<network name=\"MAIN\" name=\"OTHER\">\n" + kTicks + "</network>\n</document>\n",
         ":2: <network> gives attribute name twice"},
    };
    for (const auto& c : cases) {
        write(c.text, true);
        EXPECT_EQ(problems(""), Lines{c.problem}) << c.problem;
    }

    std::filesystem::remove(path_);
    std::filesystem::create_directory(path_);
    EXPECT_EQ(problems(""), Lines{"cannot read " + path_ + ": it is a directory"});
    std::filesystem::remove(path_);
    write(std::string(kMaxNetworkFileBytes + 1, ' '), true);
    EXPECT_EQ(problems(""), Lines{": a network file may hold at most 4 MiB; this one holds more"});

    std::string args;
    for (int i = 0; i < 40000; ++i) args += "<arg name=\"A" + std::to_string(i) + "\" type=\"int\" default=\"1\"/>\n";
    const Lines many = problems(args + kTicks + "<arg name=\"A7\" type=\"int\" default=\"1\"/>\n");
    ASSERT_EQ(many.size(), 1u);
    EXPECT_EQ(many[0].substr(0, 8), ":40005: ");
}

namespace {
class TestPass : public BufferedNode {
public:
    TestPass(const std::string& name, const ParameterSet& p) : BufferedNode(name, p) {
        addInput("IN");
        addOutput("OUT");
        inOrder = true;
    }
    void calculate(int, int count, Buffer& out) override { out[count] = getInput(0, count); }
};
}  // namespace

// A link between ports that carry different kinds of frames is refused at load with its
// line and both ends (a spectrum into a source-list writer failed only at frame 0).
TEST_F(NetworkFiles, LinksBetweenPortsOfDifferentKindsAreRefused) {
    const struct {
        std::string type, in, out;
    } types[] = {
        {"TestSpectra", kinds::spectrum, kinds::spectrum},
        {"TestLists", kinds::sources, kinds::sources},
        {"TestEither", kinds::audioOrSpectrum, kinds::audioOrSpectrum},
        {"TestAnything", "", ""},
    };
    for (const auto& t : types) {
        Node::addFactory(t.type, new NodeFactory<TestPass>(t.type));
        describeNode({t.type, "test", {{"IN", "", t.in}}, {{"OUT", "", t.out}}, {}});
    }
    auto chain = [](const std::string& a, const std::string& b) {
        return kTicks + "<node name=\"a\" type=\"" + a + "\"/>\n<node name=\"b\" type=\"" + b + "\"/>\n" +
               link("src", "OUT", "a") + link("a", "OUT", "b");  // the second link on line 8
    };
    const struct {
        std::string from, to, problem;
    } cases[] = {
        {"TestSpectra", "TestLists",
         ":8: link from a OUT to b IN: output OUT of node a (TestSpectra) gives a spectrum, but input IN of "
         "node "
         "b (TestLists) takes a source list"},
        {"TestLists", "TestEither",
         ":8: link from a OUT to b IN: output OUT of node a (TestLists) gives a source list, but input IN of "
         "node b (TestEither) takes signal frames or a spectrum"},
        {"TestSpectra", "TestEither", ""},
        {"TestEither", "TestSpectra", ""},
        {"TestLists", "TestAnything", ""},
        {"TestAnything", "TestLists", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(problems(chain(c.from, c.to)), c.problem.empty() ? Lines{} : Lines{c.problem})
            << c.from << c.to;
}

// What a node's constructor cannot get from the machine is said as such, naming the node.
TEST_F(NetworkFiles, ANodeThatRunsOutOfMemoryWhileBuiltIsNamed) {
    struct TestHog : TestPass {
        TestHog(const std::string& name, const ParameterSet& p) : TestPass(name, p) {
            throw std::bad_alloc();
        }
    };
    Node::addFactory("TestHog", new NodeFactory<TestHog>("TestHog"));
    EXPECT_EQ(
        problems(kTicks + "<node name=\"h\" type=\"TestHog\"/>\n" + link("src", "OUT", "h")),
        Lines{":5: node h (TestHog): out of memory (the machine could not provide the memory asked for)"});
}
