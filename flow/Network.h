// A network of nodes: built by type name through the registered factories,
// connected output to input, checked, initialised, and pulled frame by frame.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "flow/Node.h"

namespace FD {

// A depth-first walk of a network's graph, given as node name -> the names of
// the nodes it reads from, starting from each of `names` in turn: every node
// after the nodes it reads from, and every cycle met, as the names along the
// data flow with the first repeated at the end (a -> b -> a), once per node
// that closes one.
struct GraphWalk {
    std::vector<std::string> upstreamFirst;
    std::vector<std::vector<std::string>> cycles;
    int longestChain = 0;  // nodes in the longest chain, and the node it ends at
    std::string longestChainEnd;
};
GraphWalk walkGraph(const std::vector<std::string>& names,
                    const std::map<std::string, std::vector<std::string>>& upstream);

// The problem of a walk whose longest chain exceeds Network::kMaxDepth, "" if none.
std::string chainTooLong(const GraphWalk& walk);

// "a -> b -> a".
std::string cycleText(const std::vector<std::string>& cycle);

class Network {
public:
    // The longest chain of nodes a network may hold: frames are pulled through a chain
    // by nested calls, one level per node, and the stack has to hold them.
    static constexpr int kMaxDepth = 500;

    Network() = default;
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;
    ~Network();

    // Creates a node of a registered type. An unknown type throws a GeneralException
    // listing the known ones; a duplicate node name is refused.
    Node* addNode(const std::string& type, const std::string& nodeName, const ParameterSet& params);
    // Adopts a node built elsewhere (tests, host-side nodes).
    Node* addNode(Node* node);

    void connect(const std::string& fromNode, const std::string& output, const std::string& toNode,
                 const std::string& input);

    Node* getNode(const std::string& nodeName) const;  // nullptr if none
    const std::vector<RCPtr<Node>>& nodes() const { return nodes_; }

    // Inputs not connected to anything: (node, input name), in node order.
    std::vector<std::pair<Node*, std::string>> unconnectedInputs() const;

    // Checks that every input is connected and that there is no cycle, sizes the
    // frame windows from the sinks (nodes whose outputs nobody reads) upwards, refuses
    // windows that would hold more than the memory budget (memoryBudget(), a frame
    // taken as kFrameBytes), and initialises every node, upstream first.
    void initialize();
    // A frame as the memory bound counts it: about a two-channel spectrum of 512 points
    // (2 x 257 complex floats).
    static constexpr int kFrameBytes = 4096;

    // Frames in the stream: the shortest length any node reports, -1 if none ends it.
    int streamLength() const;

    // Pulls every output of every sink for frame `count`.
    void process(int count);

    const std::vector<Node*>& sinks() const { return sinks_; }

    // Frames that sink i (of sinks()) may run ahead of the sinks that read furthest
    // ahead of the sources, without waiting for a later input frame than those do:
    // the difference between the two look-aheads. Each sink is asked for that much
    // look-ahead, so the frame windows hold the frames in between (StreamDriver).
    int sinkLead(size_t i) const { return leads_.at(i); }

private:
    std::vector<Node*> topologicalOrder() const;  // upstream first; a cycle throws
    void fitWindowsToOneReader(const std::vector<Node*>& order);
    void checkWindowMemory(const std::vector<Node*>& order) const;

    std::vector<RCPtr<Node>> nodes_;
    std::vector<Node*> sinks_;
    std::vector<int> leads_;
    bool initialized_ = false;
};

}  // namespace FD
