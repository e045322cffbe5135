// The node catalogue against the nodes themselves: for every registered type
// (the plug-in's and the host's, loaded as the runner loads them), the ports and
// the parameters a constructor really creates and reads, in order and by type.
#include <gtest/gtest.h>

#include "flow/Catalogue.h"
#include "flow/Module.h"
#include "flow/runner/PluginCatalogue.h"
#include "tests/flow/AudioFiles.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using FD::testing::ScratchDir;

namespace {

class Catalogue : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        describePluginNodes();
        loadModule(std::string(FLOW_MODULE_DIR) + "/libzelkbp.so");
        loadModule(std::string(FLOW_MODULE_DIR) + "/libflownodes.so");
    }

    // A valid value for each parameter name.
    ObjectRef valid(const std::string& type, const ParamInfo& p) {
        static const std::map<std::string, ObjectRef> values = {
            {"ADVANCE", ObjectRef(new Int(160))},
            {"SAMPLING_RATE", ObjectRef(new Int(16000))},
            {"LENGTH", ObjectRef(new Int(512))},
            {"MICS_DISTANCE", ObjectRef(new Float(18.0f))},
            {"GCCPHAT_THRESHOLD", ObjectRef(new Float(0.1f))},
            {"SOUND_DIFFRACTION_COMPENSATION", ObjectRef(new String("FREE_SPACE"))},
            {"FREQUENCY_HIGH", ObjectRef(new Float(4000.0f))},
            {"FREQUENCY_LOW", ObjectRef(new Float(500.0f))},
            {"NOISE_DURATION", ObjectRef(new Float(0.5f))},
            {"CLUSTERING_DURATION", ObjectRef(new Float(0.5f))},
            {"VISUALIZATION_TIME_LENGTH", ObjectRef(new Float(3.0f))},
            {"WINDOW_NAME", ObjectRef(new String("w"))},
            {"ITERATION_METHOD", ObjectRef(new String("[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION"))},
            {"NUMBER_OF_SOURCES_TO_BE_SEPARATED", ObjectRef(new Int(2))},
            {"MAX_ITERATION", ObjectRef(new Int(10))},
            {"SEPARATION_TIME_LENGTH", ObjectRef(new Float(3.0f))},
            {"NOISE_REDUCTION_METHOD", ObjectRef(new String("WIENER_FILTERING"))},
            {"HARMONIC_REGENERATION", ObjectRef(new String("NONE"))},
            {"NOISE_PERIOD", ObjectRef(new Float(0.5f))},
            {"VAD_NOISE_DURATION", ObjectRef(new Float(0.5f))},
            {"VAD_THRESHOLD", ObjectRef(new Float(3.0f))},
            {"CHANNELS", ObjectRef(new String("0"))},
        };
        if (p.name == "FILE") {
            if (type == "AudioFileSource") {
                FD::testing::writeWav(dir_ / "in.wav", 16000, 2, std::vector<short>(64, 1));
                return ObjectRef(new String(dir_ / "in.wav"));
            }
            return ObjectRef(new String(dir_ / ("out-" + type)));
        }
        auto it = values.find(p.name);
        return it == values.end() ? ObjectRef() : it->second;
    }

    // A value of another type than `type`.
    static ObjectRef wrong(const std::string& type) {
        if (type == "int") return ObjectRef(new Float(1.0f));
        if (type == "float") return ObjectRef(new Int(18));
        return ObjectRef(new Int(1));
    }

    // Builds the node; returns the host error text, empty on success.
    static std::string build(const std::string& type, const ParameterSet& params, RCPtr<Node>* node = nullptr,
                             std::string* castType = nullptr) {
        try {
            RCPtr<Node> n(Node::getFactory(type)->Create("node", params));
            if (node) *node = n;
        } catch (BaseException* e) {
            std::string m = e->message();
            if (castType) {
                if (dynamic_cast<CastException<int>*>(e)) *castType = "int";
                if (dynamic_cast<CastException<float>*>(e)) *castType = "float";
                if (dynamic_cast<CastException<String>*>(e)) *castType = "string";
                if (dynamic_cast<CastException<bool>*>(e)) *castType = "bool";
            }
            delete e;
            return m.empty() ? "error" : m;
        }
        return "";
    }

    ScratchDir dir_;
};

std::vector<std::string> names(const std::vector<PortInfo>& ports) {
    std::vector<std::string> n;
    for (const PortInfo& p : ports) n.push_back(p.name);
    return n;
}

}  // namespace

TEST_F(Catalogue, EveryRegisteredTypeIsDescribedAsItIsBuilt) {
    const std::vector<std::string> host = {"AudioFileSource", "ShortTimeSpectrum", "Resynthesis",
                                           "AudioFileSink",   "SourceListWriter",  "SegmentWriter",
                                           "MatrixWriter"};
    for (const std::string& type : host) EXPECT_NE(Node::getFactory(type), nullptr) << type;

    int checked = 0;
    for (const std::string& type : Node::factoryNames()) {
        if (type.compare(0, 4, "Test") == 0) continue;  // the other tests' own node types
        SCOPED_TRACE(type);
        const NodeInfo* info = nodeInfo(type);
        ASSERT_NE(info, nullptr) << "registered but not in the catalogue";
        std::vector<const ParamInfo*> required;
        for (const ParamInfo& p : info->params)
            if (!p.optional) required.push_back(&p);

        // Every parameter present and valid: the node builds, with the ports of the catalogue.
        ParameterSet full;
        for (const ParamInfo& p : info->params) {
            ObjectRef v = valid(type, p);
            ASSERT_TRUE(v) << "no test value for " << p.name;
            full.add(p.name, v);
        }
        RCPtr<Node> node;
        ASSERT_EQ(build(type, full, &node), "");
        std::vector<std::string> inputs;
        for (const NodeInput& in : node->getInputs()) inputs.push_back(in.name);
        EXPECT_EQ(inputs, names(info->inputs));
        EXPECT_EQ(node->getOutputNames(), names(info->outputs));
        node = RCPtr<Node>();

        // Reading order: with the first k required parameters only, the node asks for parameter k.
        for (size_t k = 0; k < required.size(); ++k) {
            ParameterSet prefix;
            for (size_t i = 0; i < k; ++i) prefix.add(required[i]->name, valid(type, *required[i]));
            EXPECT_EQ(build(type, prefix), "missing parameter " + required[k]->name);
            if (!prefix.namesRead().empty()) {
                EXPECT_EQ(prefix.namesRead().back(), required[k]->name);
            }
        }
        // Types: each parameter given a value of another type is refused by the node's cast for its type.
        for (const ParamInfo& p : info->params) {
            ParameterSet set;
            for (const ParamInfo& q : info->params)
                set.add(q.name, q.name == p.name ? wrong(p.type) : valid(type, q));
            std::string cast;
            EXPECT_NE(build(type, set, nullptr, &cast), "") << p.name;
            EXPECT_EQ(cast, p.type) << p.name;
        }
        ++checked;
    }
    EXPECT_GE(checked, int(host.size()));
}

TEST_F(Catalogue, PluginEntriesFollowThePortTable) {
    // The catalogue covers all nine plug-in types, registered yet or not.
    const std::vector<std::string> plugin = {"BinauralMultisourceLocalization",
                                             "BinauralMultisourceTracker",
                                             "SSLvisualization",
                                             "SourceSeparation",
                                             "SpectrumVisualization",
                                             "SpeechEnhancement",
                                             "VADvisualization",
                                             "VoiceActivityDetection",
                                             "WaveVisualization"};
    for (const std::string& type : plugin) {
        ASSERT_NE(nodeInfo(type), nullptr) << type;
        // The runner prepares the window toolkit for exactly the four window nodes.
        bool window = type.find("visualization") != std::string::npos ||
                      type.find("Visualization") != std::string::npos;
        EXPECT_EQ(nodeInfo(type)->window, window) << type;
    }
    const NodeInfo* loc = nodeInfo("BinauralMultisourceLocalization");
    std::vector<std::string> params;
    for (const ParamInfo& p : loc->params) params.push_back(p.name + ":" + p.type);
    EXPECT_EQ(params, (std::vector<std::string>{"MICS_DISTANCE:float", "GCCPHAT_THRESHOLD:float",
                                                "SOUND_DIFFRACTION_COMPENSATION:string", "ADVANCE:int",
                                                "SAMPLING_RATE:int", "FREQUENCY_HIGH:float",
                                                "FREQUENCY_LOW:float", "NOISE_DURATION:float"}));
    EXPECT_EQ(names(nodeInfo("SpeechEnhancement")->outputs),
              std::vector<std::string>{"SPEECH_EHANCED_SPECTRUM"});
    EXPECT_EQ(names(nodeInfo("VADvisualization")->inputs),
              (std::vector<std::string>{"INPUT_AUDIO_SIGNAL", "INPUT_VAD_DECISION"}));
}
