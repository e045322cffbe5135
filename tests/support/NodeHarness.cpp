#include "tests/support/NodeHarness.h"

#include <algorithm>

#include "flow/Stream.h"

namespace FD {
namespace testing {

std::string hostError(const std::function<void()>& f) {
    try {
        f();
    } catch (BaseException* e) {
        std::string m = e->message();
        delete e;
        return m;
    }
    return "";
}

Params& Params::remove(const std::string& name) {
    ParameterSet copy;
    for (const auto& kv : set_.all())
        if (kv.first != name) copy.add(kv.first, kv.second);
    set_ = copy;
    return *this;
}

ScriptedSource::ScriptedSource(const std::string& nodeName, Script script, int length)
    : Node(nodeName, ParameterSet()), script_(std::move(script)), length_(length) {
    addOutput("OUTPUT");
}

ObjectRef ScriptedSource::getOutput(int, int count) {
    requested_.push_back(count);
    maxRequested_ = std::max(maxRequested_, count);
    return script_(count);
}

ScriptedSource::Script framesScript(std::vector<ObjectRef> frames, ObjectRef after) {
    return [frames = std::move(frames), after](int count) -> ObjectRef {
        if (count >= 0 && count < int(frames.size())) return frames[size_t(count)];
        if (after) return after;
        throw new GeneralException("scripted input has no frame " + std::to_string(count));
    };
}

NodeHarness::NodeHarness(Node* node) : node_(net_.addNode(node)) {}

NodeHarness* NodeHarness::fromFactory(const std::string& type, const ParameterSet& params,
                                      const std::string& nodeName) {
    _NodeFactory* factory = Node::getFactory(type);
    if (!factory) throw new GeneralException("no node type " + type + " is registered");
    return new NodeHarness(factory->Create(nodeName, params));
}

ScriptedSource& NodeHarness::feed(const std::string& inputName, ScriptedSource::Script script, int length) {
    auto* source = new ScriptedSource("input " + inputName, std::move(script), length);
    net_.addNode(source);
    node_->connectToNode(inputName, source, "OUTPUT");
    sources_[inputName] = source;
    return *source;
}

void NodeHarness::initialize() { net_.initialize(); }

ObjectRef NodeHarness::pull(const std::string& outputName, int count) {
    int id = node_->translateOutput(outputName);
    if (id < 0) throw new GeneralException("node " + node_->getName() + " has no output " + outputName);
    return node_->getOutput(id, count);
}

std::vector<ObjectRef> NodeHarness::run(const std::string& outputName, int n) {
    std::vector<ObjectRef> out;
    for (int c = 0; c < n; ++c) out.push_back(pull(outputName, c));
    return out;
}

ScriptedSource& NodeHarness::input(const std::string& inputName) {
    auto it = sources_.find(inputName);
    if (it == sources_.end()) throw new GeneralException("input " + inputName + " was not fed");
    return *it->second;
}

void runToEnd(Node* node, const std::string& input, ScriptedSource::Script script, int frames) {
    NodeHarness h(node);
    h.feed(input, std::move(script), frames);
    h.initialize();
    h.run("OUTPUT", frames);
    endStream(std::vector<Node*>{node}, frames);
}

}  // namespace testing
}  // namespace FD
