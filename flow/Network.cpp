#include "flow/Network.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "flow/Catalogue.h"
#include "flow/Stream.h"

namespace FD {

GraphWalk walkGraph(const std::vector<std::string>& names,
                    const std::map<std::string, std::vector<std::string>>& upstream) {
    // Depth-first, on a stack of our own: chains of any length walk without recursion.
    GraphWalk walk;
    std::map<std::string, int> state;  // 1 open, 2 done
    std::map<std::string, int> chain;  // nodes in the longest chain ending at a node
    std::vector<std::string> path;     // the open nodes, downstream to upstream
    std::vector<size_t> next;          // per open node: the upstream node to visit next
    static const std::vector<std::string> none;
    auto inputsOf = [&](const std::string& n) -> const std::vector<std::string>& {
        auto it = upstream.find(n);
        return it == upstream.end() ? none : it->second;
    };
    auto open = [&](const std::string& n) {
        int& s = state[n];
        if (s == 2) return;
        if (s == 1) {
            // The path from n on runs against the data flow: reverse it.
            auto from = std::find(path.begin(), path.end(), n);
            std::vector<std::string> cycle(path.rbegin(), std::make_reverse_iterator(from));
            cycle.insert(cycle.begin(), n);
            bool seen = false;
            for (const auto& c : walk.cycles) seen = seen || c.front() == n;
            if (!seen) walk.cycles.push_back(cycle);
            return;
        }
        s = 1;
        path.push_back(n);
        next.push_back(0);
    };
    for (const std::string& root : names) {
        open(root);
        while (!path.empty()) {
            const std::string n = path.back();
            const std::vector<std::string>& inputs = inputsOf(n);
            if (next.back() < inputs.size()) {
                open(inputs[next.back()++]);
                continue;
            }
            path.pop_back();
            next.pop_back();
            state[n] = 2;
            int longest = 0;
            for (const std::string& u : inputs) longest = std::max(longest, chain[u]);
            chain[n] = longest + 1;
            if (longest + 1 > walk.longestChain) walk.longestChain = longest + 1, walk.longestChainEnd = n;
            walk.upstreamFirst.push_back(n);
        }
    }
    return walk;
}

std::string chainTooLong(const GraphWalk& walk) {
    if (walk.longestChain <= Network::kMaxDepth) return "";
    return "the network holds a chain of " + std::to_string(walk.longestChain) + " nodes, ending at " +
           walk.longestChainEnd + "; a chain may be at most " + std::to_string(Network::kMaxDepth) +
           " nodes long";
}

std::string cycleText(const std::vector<std::string>& cycle) {
    std::string text;
    for (const std::string& n : cycle) text += (text.empty() ? "" : " -> ") + n;
    return text;
}

Network::~Network() {
    // Nodes hold raw pointers to their upstream nodes; release downstream first.
    while (!nodes_.empty()) nodes_.pop_back();
}

Node* Network::addNode(const std::string& type, const std::string& nodeName, const ParameterSet& params) {
    _NodeFactory* factory = Node::getFactory(type);
    if (!factory) {
        std::string known;
        for (const std::string& n : Node::factoryNames()) known += (known.empty() ? "" : ", ") + n;
        throw new GeneralException("node " + nodeName + ": unknown node type " + type +
                                   " (known types: " + (known.empty() ? "none" : known) + ")");
    }
    if (getNode(nodeName)) throw new GeneralException("two nodes are named " + nodeName);
    return addNode(factory->Create(nodeName, params));
}

Node* Network::addNode(Node* node) {
    RCPtr<Node> held(node);
    if (getNode(node->getName()) ) throw new GeneralException("two nodes are named " + node->getName());
    nodes_.push_back(held);
    return node;
}

Node* Network::getNode(const std::string& nodeName) const {
    for (const RCPtr<Node>& n : nodes_)
        if (n->getName() == nodeName) return n.get();
    return nullptr;
}

void Network::connect(const std::string& fromNode, const std::string& output, const std::string& toNode,
                      const std::string& input) {
    Node* from = getNode(fromNode);
    if (!from) throw new GeneralException("link from unknown node " + fromNode);
    Node* to = getNode(toNode);
    if (!to) throw new GeneralException("link to unknown node " + toNode);
    to->connectToNode(input, from, output);
}

std::vector<std::pair<Node*, std::string>> Network::unconnectedInputs() const {
    std::vector<std::pair<Node*, std::string>> loose;
    for (const RCPtr<Node>& n : nodes_)
        for (const NodeInput& in : n->getInputs())
            if (!in.node) loose.emplace_back(n.get(), in.name);
    return loose;
}

std::vector<Node*> Network::topologicalOrder() const {
    std::vector<std::string> names;
    std::map<std::string, std::vector<std::string>> upstream;
    for (const RCPtr<Node>& n : nodes_) {
        names.push_back(n->getName());
        for (const NodeInput& in : n->getInputs())
            if (in.node) upstream[n->getName()].push_back(in.node->getName());
    }
    GraphWalk walk = walkGraph(names, upstream);
    if (!walk.cycles.empty())
        throw new GeneralException("the network has a cycle: " + cycleText(walk.cycles.front()));
    const std::string tooLong = chainTooLong(walk);
    if (!tooLong.empty()) throw new GeneralException(tooLong);
    std::vector<Node*> order;
    for (const std::string& name : walk.upstreamFirst) order.push_back(getNode(name));
    return order;
}

void Network::initialize() {
    if (initialized_) return;
    for (const auto& [node, input] : unconnectedInputs())
        throw new GeneralException("node " + node->getName() + ": input " + input + " is not connected");
    std::vector<Node*> order = topologicalOrder();

    std::set<const Node*> consumed;
    for (Node* n : order)
        for (const NodeInput& in : n->getInputs()) consumed.insert(in.node);
    sinks_.clear();
    for (Node* n : order)
        if (!consumed.count(n)) sinks_.push_back(n);

    // Frames each node reads ahead of the sources, through its furthest-reading input;
    // summed in 64 bits and held at 2^30, past which the nodes' own requests refuse the
    // windows with the node named.
    std::map<const Node*, int> ahead;
    for (Node* n : order) {
        long long a = 0;
        for (size_t i = 0; i < n->getInputs().size(); ++i)
            a = std::max(a, (long long)n->inputLookAhead(int(i)) + ahead[n->getInputs()[i].node]);
        ahead[n] = int(std::min(a, 1LL << 30));
    }
    int furthest = 0;
    for (Node* sink : sinks_) furthest = std::max(furthest, ahead[sink]);
    leads_.clear();
    for (Node* sink : sinks_) {
        leads_.push_back(sink->getOutputNames().empty() ? 0 : furthest - ahead[sink]);
        for (size_t o = 0; o < sink->getOutputNames().size(); ++o) sink->request(int(o), leads_.back(), 0);
    }
    fitWindowsToOneReader(order);
    checkWindowMemory(order);
    for (Node* n : order) n->initialize();
    initialized_ = true;
}

void Network::fitWindowsToOneReader(const std::vector<Node*>& order) {
    // The sums of reaches that request() passes upstream are needed where readers may sit
    // at different frames (at start-up one may have driven a node far ahead while another
    // still reads frame 0) or where a reader's reach is unknown. A node that one
    // BufferedNode alone reads follows that reader's in-order frames; a sample stream is
    // also read directly by the stream driver, so it keeps the sums.
    std::map<const Node*, std::set<Node*>> readers;
    for (Node* n : order)
        for (const NodeInput& in : n->getInputs()) readers[in.node].insert(n);
    for (Node* n : order) {
        auto* node = dynamic_cast<BufferedNode*>(n);
        auto found = readers.find(n);
        if (!node || dynamic_cast<SampleStream*>(n) || found == readers.end() || found->second.size() != 1)
            continue;
        auto* reader = dynamic_cast<BufferedNode*>(*found->second.begin());
        if (!reader) continue;
        const std::vector<NodeInput>& inputs = reader->getInputs();
        for (size_t i = 0; i < inputs.size(); ++i)
            if (inputs[i].node == n)
                node->readOnlyBy(inputs[i].outputID, reader->inputLookAhead(int(i)), reader->inputLookBack(int(i)));
    }
}

void Network::checkWindowMemory(const std::vector<Node*>& order) const {
    long long total = 0, largest = 0;
    std::string where;
    for (Node* n : order) {
        auto* node = dynamic_cast<BufferedNode*>(n);
        for (size_t o = 0; node && o < n->getOutputNames().size(); ++o) {
            const long long frames = node->windowFrames(int(o));
            total += frames;
            if (frames <= largest) continue;
            largest = frames;
            where = "node " + n->getName() + " output " + n->getOutputNames()[o];
        }
    }
    const double budget = memoryBudget(), bytes = double(total) * kFrameBytes;
    if (!(bytes > budget)) return;
    throw new GeneralException("the frame windows of this network would hold " + std::to_string(total) +
                               " frames (about " + mebibytes(bytes) + " at " + std::to_string(kFrameBytes / 1024) +
                               " KiB a frame), more than the memory budget of " + mebibytes(budget) +
                               " (flowrun --memory-budget MIB or ZELKBP_MEMORY_BUDGET raises it); the largest, " +
                               where + ", holds " + std::to_string(largest));
}

int Network::streamLength() const {
    int length = -1;
    for (const RCPtr<Node>& n : nodes_) {
        int l = n->streamLength();
        if (l >= 0 && (length < 0 || l < length)) length = l;
    }
    return length;
}

void Network::process(int count) {
    if (!initialized_) initialize();
    for (Node* sink : sinks_)
        for (size_t o = 0; o < sink->getOutputNames().size(); ++o) sink->getOutput(int(o), count);
}

}  // namespace FD
