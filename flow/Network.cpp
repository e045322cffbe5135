#include "flow/Network.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>

namespace FD {

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

std::vector<Node*> Network::topologicalOrder() const {
    // Depth-first over the inputs, on a stack of our own: a node met again while still
    // open closes a cycle. A chain longer than kMaxDepth is refused here, before frames
    // pulled through it by nested calls can overflow the stack.
    std::map<const Node*, int> state;  // 1 open, 2 done
    std::vector<Node*> order;
    struct Open {
        Node* node;
        size_t next;  // the input to visit next
    };
    std::vector<Open> path;
    auto open = [&](Node* n) {
        int& s = state[n];
        if (s == 2) return;
        if (s == 1) {
            std::string cycle;
            bool on = false;
            for (const Open& p : path) {
                if (p.node == n) on = true;
                if (on) cycle += p.node->getName() + " -> ";
            }
            throw new GeneralException("the network has a cycle: " + cycle + n->getName());
        }
        s = 1;
        path.push_back({n, 0});
    };
    for (const RCPtr<Node>& root : nodes_) {
        open(root.get());
        while (!path.empty()) {
            Open& top = path.back();
            const std::vector<NodeInput>& inputs = top.node->getInputs();
            if (top.next < inputs.size()) {
                Node* input = inputs[top.next++].node;
                if (input) open(input);
                continue;
            }
            state[top.node] = 2;
            order.push_back(top.node);
            path.pop_back();
        }
    }
    std::map<const Node*, int> depth;  // nodes in the longest chain that ends at a node
    for (Node* n : order) {
        int d = 0;
        for (const NodeInput& in : n->getInputs())
            if (in.node) d = std::max(d, depth[in.node]);
        depth[n] = d + 1;
        if (d + 1 > kMaxDepth)
            throw new GeneralException("the network holds a chain of more than " + std::to_string(kMaxDepth) +
                                       " nodes, ending at " + n->getName() + "; a chain may be at most " +
                                       std::to_string(kMaxDepth) + " nodes long");
    }
    return order;
}

void Network::initialize() {
    if (initialized_) return;
    for (const RCPtr<Node>& n : nodes_) {
        for (const NodeInput& in : n->getInputs())
            if (!in.node)
                throw new GeneralException("node " + n->getName() + ": input " + in.name + " is not connected");
    }
    std::vector<Node*> order = topologicalOrder();

    std::set<const Node*> consumed;
    for (Node* n : order)
        for (const NodeInput& in : n->getInputs()) consumed.insert(in.node);
    sinks_.clear();
    for (Node* n : order)
        if (!consumed.count(n)) sinks_.push_back(n);

    for (Node* sink : sinks_)
        for (size_t o = 0; o < sink->getOutputNames().size(); ++o) sink->request(int(o), 0, 0);
    for (Node* n : order) n->initialize();
    initialized_ = true;
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
