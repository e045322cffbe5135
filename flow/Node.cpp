#include "flow/Node.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <new>

namespace FD {

namespace {
// The host owns the factories handed to it and frees them at exit.
struct Registry {
    std::map<std::string, std::unique_ptr<_NodeFactory>> factories;
    std::vector<std::string> order;
};
Registry& registry() {
    static Registry r;
    return r;
}
}  // namespace

// ---------------------------------------------------------------- Node

Node::Node(std::string nodeName, const ParameterSet& params)
    : name(std::move(nodeName)), parameters(params) {}

Node::~Node() = default;

int Node::addInput(const std::string& inputName) {
    if (translateInput(inputName) >= 0)
        throw new GeneralException("node " + name + ": input " + inputName + " added twice");
    inputs.push_back(NodeInput{nullptr, -1, inputName});
    return int(inputs.size()) - 1;
}

int Node::addOutput(const std::string& outputName) {
    if (translateOutput(outputName) >= 0)
        throw new GeneralException("node " + name + ": output " + outputName + " added twice");
    outputNames.push_back(outputName);
    return int(outputNames.size()) - 1;
}

int Node::translateInput(const std::string& inputName) const {
    for (size_t i = 0; i < inputs.size(); ++i)
        if (inputs[i].name == inputName) return int(i);
    return -1;
}

int Node::translateOutput(const std::string& outputName) const {
    for (size_t i = 0; i < outputNames.size(); ++i)
        if (outputNames[i] == outputName) return int(i);
    return -1;
}

void Node::connectToNode(const std::string& inputName, Node* from, const std::string& outputName) {
    int in = translateInput(inputName);
    if (in < 0) throw new GeneralException("node " + name + " has no input " + inputName);
    if (!from) throw new GeneralException("node " + name + ": input " + inputName + " connected to nothing");
    int out = from->translateOutput(outputName);
    if (out < 0) throw new GeneralException("node " + from->getName() + " has no output " + outputName);
    if (inputs[in].node)
        throw new GeneralException("node " + name + ": input " + inputName + " is connected twice");
    inputs[in].node = from;
    inputs[in].outputID = out;
}

void Node::request(int, int, int) {}

void Node::initialize() {}

ObjectRef Node::getInput(int inputID, int count) {
    if (inputID < 0 || inputID >= int(inputs.size()))
        throw new GeneralException("node " + name + " has no input with id " + std::to_string(inputID));
    const NodeInput& in = inputs[inputID];
    if (!in.node) throw new GeneralException("node " + name + ": input " + in.name + " is not connected");
    return in.node->getOutput(in.outputID, count);
}

void Node::addFactory(const std::string& typeName, _NodeFactory* factory) {
    Registry& r = registry();
    if (!r.factories.count(typeName)) r.order.push_back(typeName);
    std::unique_ptr<_NodeFactory>& held = r.factories[typeName];
    if (held.get() != factory) held.reset(factory);
}

void Node::addXPM(const std::string&, char**) {}

_NodeFactory* Node::getFactory(const std::string& typeName) {
    auto it = registry().factories.find(typeName);
    return it == registry().factories.end() ? nullptr : it->second.get();
}

const std::vector<std::string>& Node::factoryNames() { return registry().order; }

// ---------------------------------------------------------------- BufferedNode

BufferedNode::BufferedNode(std::string nodeName, const ParameterSet& params)
    : Node(std::move(nodeName), params) {}

int BufferedNode::addInput(const std::string& inputName) {
    int id = Node::addInput(inputName);
    inputReach_.resize(inputs.size());
    return id;
}

int BufferedNode::addOutput(const std::string& outputName) {
    int id = Node::addOutput(outputName);
    outputs.resize(outputNames.size());
    return id;
}

void BufferedNode::readsAhead(int inputID, int frames) { inputReach_.at(size_t(inputID)).ahead = frames; }

void BufferedNode::keepsBack(int inputID, int frames) { inputReach_.at(size_t(inputID)).back = frames; }

void BufferedNode::writesAhead(int outputID, int frames) { outputs.at(size_t(outputID)).writeAhead = frames; }

void BufferedNode::request(int outputID, int lookAhead, int lookBack) {
    if (outputID < 0 || outputID >= int(outputs.size()))
        throw new GeneralException("node " + name + " has no output with id " + std::to_string(outputID));
    OutputCacheInfo& o = outputs[outputID];
    // A request that widens nothing changes nothing upstream: without this, every path
    // to a shared input node was walked again, exponentially many in a network's depth.
    if (requestsPassedOn_ && lookAhead <= o.requestedAhead && lookBack <= o.requestedBack) return;
    requestsPassedOn_ = true;
    o.requestedAhead = std::max(o.requestedAhead, lookAhead);
    o.requestedBack = std::max(o.requestedBack, lookBack);

    // The furthest this node may be driven ahead of, and back from, its consumers'
    // frame; each input then needs its own window on top of that.
    // Windows add up along a chain (stacked trackers each look half their window ahead):
    // summed in 64 bits and refused past kMaxWindowFrames instead of wrapping.
    long long ahead = 0, back = 0;
    for (const OutputCacheInfo& out : outputs) {
        ahead = std::max(ahead, (long long)out.requestedAhead + out.writeAhead);
        back = std::max(back, (long long)out.requestedBack);
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (!inputs[i].node) continue;
        const long long wantAhead = ahead + inputReach_[i].ahead, wantBack = back + inputReach_[i].back;
        if (wantAhead + wantBack > kMaxWindowFrames)
            throw new GeneralException("node " + name + ": the frames kept ahead (" + std::to_string(wantAhead) +
                                       ") and back (" + std::to_string(wantBack) + ") on input " +
                                       inputs[i].name + " add up to more than " +
                                       std::to_string(kMaxWindowFrames));
        inputs[i].node->request(inputs[i].outputID, int(wantAhead), int(wantBack));
    }
}

int BufferedNode::inputLookAhead(int inputID) const {
    int ahead = 0;
    for (const OutputCacheInfo& out : outputs) ahead = std::max(ahead, out.writeAhead);
    return ahead + (inputID >= 0 && inputID < int(inputReach_.size()) ? inputReach_[size_t(inputID)].ahead : 0);
}

int BufferedNode::inputLookBack(int inputID) const {
    return inputID >= 0 && inputID < int(inputReach_.size()) ? inputReach_[size_t(inputID)].back : 0;
}

void BufferedNode::readOnlyBy(int outputID, int ahead, int back) {
    if (outputID < 0 || outputID >= int(outputs.size()))
        throw new GeneralException("node " + name + " has no output with id " + std::to_string(outputID));
    oneReader_ = true;
    readerBack_.resize(outputs.size());
    readerAhead_ = std::max(readerAhead_, ahead);
    readerBack_[size_t(outputID)] = std::max(readerBack_[size_t(outputID)], back);
}

long long BufferedNode::windowFrames(int outputID) const {
    const OutputCacheInfo& o = outputs.at(size_t(outputID));
    if (oneReader_) return (long long)readerAhead_ + o.writeAhead + readerBack_[size_t(outputID)] + 1;
    // A reader of one output may drive the node further ahead than the readers of
    // another ask for; every output then keeps its frames until its own readers had them.
    long long drivenAhead = 0;
    for (const OutputCacheInfo& out : outputs) drivenAhead = std::max(drivenAhead, (long long)out.requestedAhead);
    return drivenAhead + o.writeAhead + o.requestedBack + 1;
}

void BufferedNode::initialize() {
    Node::initialize();
    if (!inOrder)
        throw new GeneralException(
            "node " + name + ": its constructor does not set inOrder; frames are computed in order only");
    for (size_t i = 0; i < outputs.size(); ++i) {
        const long long size = windowFrames(int(i));
        if (size > INT_MAX)
            throw new GeneralException("node " + name + ": output " + outputNames[i] + " would keep " +
                                       std::to_string(size) + " frames, more than " + std::to_string(INT_MAX));
        outputs[i].buffer = RCPtr<Buffer>(new Buffer(int(size)));
    }
    initialized_ = true;
}

ObjectRef BufferedNode::getOutput(int outputID, int count) {
    if (outputID < 0 || outputID >= int(outputs.size()))
        throw new GeneralException("node " + name + " has no output with id " + std::to_string(outputID));
    if (!initialized_) throw new GeneralException("node " + name + " was asked for a frame before initialize()");
    Buffer& buffer = *outputs[outputID].buffer;
    if (count >= 0) {
        computeUpTo(outputID, count);
        if (!buffer.isValid(count) && count >= buffer.oldest()) {
            throw new GeneralException("node " + name + " stored nothing on output " + outputNames[outputID] +
                                       " for frame " + std::to_string(count));
        }
    }
    return buffer.get(count);
}

void BufferedNode::computeUpTo(int outputID, int count) {
    // A calculate() may ask this node for a later frame of its own; the loop then
    // finds those frames done and carries on after them.
    while (processCount_ < count) {
        int next = ++processCount_;
        for (OutputCacheInfo& o : outputs) o.buffer->setWriteLimit(next + o.writeAhead);
        try {
            calculate(outputID, next, *outputs[outputID].buffer);
        } catch (const std::bad_alloc&) {  // named here, where the node is known
            auto* e = new GeneralException(kOutOfMemory);
            e->place("node " + name, "", next);
            throw e;
        }
    }
}

}  // namespace FD
