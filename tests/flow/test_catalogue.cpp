// The node catalogue against the nodes themselves: for every registered type
// (the plug-in's and the host's, loaded as the runner loads them), the ports and
// the parameters a constructor really creates and reads, in order and by type.
#include <gtest/gtest.h>

#include "flow/Catalogue.h"
#include "flow/Module.h"
#include "flow/NetworkFile.h"
#include "tests/support/Files.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using FD::testing::TempDir;

namespace {

class Catalogue : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        loadModule(std::string(FLOW_MODULE_DIR) + "/libzelkbp.so");
        loadModule(std::string(FLOW_MODULE_DIR) + "/libflownodes.so");
    }

    // A valid value for each parameter: from the table, else a plain one of its
    // type; null for an optional parameter not in the table (it is left out).
    ObjectRef valid(const std::string& type, const ParamInfo& p) {
        static const std::string values =
            " ADVANCE=160 SAMPLING_RATE=16000 LENGTH=512 MICS_DISTANCE=18 GCCPHAT_THRESHOLD=0.1"
            " SOUND_DIFFRACTION_COMPENSATION=FREE_SPACE FREQUENCY_HIGH=4000 FREQUENCY_LOW=500"
            " NOISE_DURATION=0.5 CLUSTERING_DURATION=0.5 VISUALIZATION_TIME_LENGTH=3 WINDOW_NAME=w"
            " ITERATION_METHOD=[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION MAX_ITERATION=10"
            " NUMBER_OF_SOURCES_TO_BE_SEPARATED=2 SEPARATION_TIME_LENGTH=3 NOISE_PERIOD=0.5"
            " NOISE_REDUCTION_METHOD=WIENER_FILTERING HARMONIC_REGENERATION=NONE VAD_NOISE_DURATION=0.5"
            " VAD_THRESHOLD=3 CHANNELS=0 GATE=10 MERGE_DISTANCE=5 CONFIRMATION_HITS=5 CONFIRMATION_TIME=0.1"
            " SURVIVAL_TIME=1.5 PROCESS_NOISE=20 MEASUREMENT_NOISE=2 SCORE_TIME=0.2 NOISE_UPDATE=CONTINUOUS"
            " CLOSED_FORM_2X2=false KEEP_SOURCE_ORDER=true ";
        if (p.name == "FILE" && type == "AudioFileSource") {
            FD::testing::writeWav(dir_ / "in.wav", 16000, 2, std::vector<short>(64, 1));
            return ObjectRef(new String(dir_ / "in.wav"));
        }
        if (p.name == "FILE") return ObjectRef(new String(dir_ / ("out-" + type)));
        size_t at = values.find(" " + p.name + "=");
        if (at == std::string::npos && p.optional) return ObjectRef();
        if (at == std::string::npos) return parseValue(p.type, p.type == "string" ? "" : "1");
        at += p.name.size() + 2;
        return parseValue(p.type, values.substr(at, values.find(' ', at) - at));
    }

    // The host error building the node ("" on success), its subject in `subject`;
    // `castType` gets the type of a failed cast.
    static std::string build(const std::string& type, const ParameterSet& params,
                             std::string* castType = nullptr, std::string* subject = nullptr) {
        try {
            RCPtr<Node> n(Node::getFactory(type)->Create("node", params));
        } catch (BaseException* e) {
            std::string m = e->message();
            if (subject) *subject = e->subject();
            for (auto [t, hit] : {std::pair{"int", !!dynamic_cast<CastException<int>*>(e)},
                                  {"float", !!dynamic_cast<CastException<float>*>(e)},
                                  {"string", !!dynamic_cast<CastException<String>*>(e)},
                                  {"bool", !!dynamic_cast<CastException<bool>*>(e)}})
                if (castType && hit) *castType = t;
            delete e;
            return m.empty() ? "error" : m;
        }
        return "";
    }

    TempDir dir_;
};

}  // namespace

TEST_F(Catalogue, EveryRegisteredTypeIsDescribedAsItIsBuilt) {
    int checked = 0;
    for (const std::string& type : Node::factoryNames()) {
        if (type.compare(0, 4, "Test") == 0) continue;  // the other tests' own node types
        SCOPED_TRACE(type);
        const NodeInfo* info = nodeInfo(type);
        ASSERT_NE(info, nullptr) << "registered but not in the catalogue";

        // Every parameter present and valid: the node builds, with the ports of the catalogue.
        ParameterSet full;
        for (const ParamInfo& p : info->params)
            if (ObjectRef v = valid(type, p)) full.add(p.name, v);
        ASSERT_EQ(build(type, full), "");
        RCPtr<Node> node(Node::getFactory(type)->Create("node", full));
        std::vector<std::string> inputs, declaredIn, declaredOut;
        for (const NodeInput& in : node->getInputs()) inputs.push_back(in.name);
        for (const PortInfo& p : info->inputs) declaredIn.push_back(p.name);
        for (const PortInfo& p : info->outputs) declaredOut.push_back(p.name);
        EXPECT_EQ(inputs, declaredIn);
        EXPECT_EQ(node->getOutputNames(), declaredOut);
        // Each port states the kind of frames it carries, so that the loader checks its links.
        for (const auto* ports : {&info->inputs, &info->outputs})
            for (const PortInfo& p : *ports)
                EXPECT_TRUE(p.kind == kinds::audio || p.kind == kinds::spectrum || p.kind == kinds::sources ||
                            p.kind == kinds::audioOrSpectrum)
                    << p.name << " [" << p.kind << "]";

        // Reading order: with the first k required parameters only, the node asks for parameter k.
        ParameterSet prefix;
        for (const ParamInfo& p : info->params) {
            if (p.optional) continue;
            std::string subject;
            EXPECT_NE(build(type, prefix, nullptr, &subject).find("missing parameter " + p.name),
                      std::string::npos);
            EXPECT_EQ(subject, p.name);
            prefix.add(p.name, valid(type, p));
        }
        // Types: a value of another type is refused by the node's cast for the declared type.
        for (const ParamInfo& p : info->params) {
            ParameterSet set;
            for (const ParamInfo& q : info->params) {
                ObjectRef v = q.name != p.name  ? valid(type, q)
                              : p.type == "int" ? ObjectRef(new Float(1.0f))
                                                : ObjectRef(new Int(18));
                if (v) set.add(q.name, v);
            }
            std::string cast, subject;
            EXPECT_NE(build(type, set, &cast, &subject), "") << p.name;
            EXPECT_EQ(cast, p.type) << p.name;
            EXPECT_EQ(subject, p.name);
        }
        ++checked;
    }
    EXPECT_GE(checked, 7 + 10);  // the host's file nodes and the plug-in's
}
