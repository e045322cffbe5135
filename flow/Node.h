// Nodes of a network, the buffered node every processing node derives from, and
// the factories that create nodes by type name.
//
// The host is demand-driven: getOutput(output, count) of a node computes the frame
// if it is not there yet. A BufferedNode runs calculate() for counts 0, 1, 2, ...
// exactly once each, computing the frames in between when a later one is asked for.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "flow/Buffer.h"
#include "flow/Types.h"

namespace FD {

class Node;

// One input of a node: the node and output it is connected to.
struct NodeInput {
    Node* node = nullptr;
    int outputID = -1;
    std::string name;
};

class _NodeFactory {
public:
    explicit _NodeFactory(std::string name) : name_(std::move(name)) {}
    virtual const std::string& getName() const { return name_; }
    virtual Node* Create(const std::string& nodeName, const ParameterSet& params) = 0;
    virtual ~_NodeFactory() = default;

private:
    std::string name_;
};

template <class T>
class NodeFactory : public _NodeFactory {
public:
    explicit NodeFactory(const std::string& name) : _NodeFactory(name) {}
    Node* Create(const std::string& nodeName, const ParameterSet& params) override {
        return new T(nodeName, params);
    }
};

class Node : public Object {
public:
    Node(std::string nodeName, const ParameterSet& params);
    ~Node() override;

    const std::string& getName() const { return name; }

    // Port names in registration order; the ID of a port is its index.
    const std::vector<NodeInput>& getInputs() const { return inputs; }
    const std::vector<std::string>& getOutputNames() const { return outputNames; }
    int translateInput(const std::string& inputName) const;    // -1 if none
    int translateOutput(const std::string& outputName) const;  // -1 if none

    // Connects input `inputName` of this node to output `outputName` of `from`.
    // Unknown port names throw a GeneralException naming node and port.
    void connectToNode(const std::string& inputName, Node* from, const std::string& outputName);

    // Look-ahead and look-back wanted of output `outputID` by a consumer, relative to
    // the consumer's own frame; the node adds its own needs and passes the sums on
    // to its inputs. Called by the network before initialize().
    virtual void request(int outputID, int lookAhead, int lookBack);

    // Called once before the first frame, after every request().
    virtual void initialize();

    // The object of output `outputID` for frame `count`.
    virtual ObjectRef getOutput(int outputID, int count) = 0;

    // Number of frames in the stream this node starts, or -1 when the node does
    // not end the stream (processing nodes; endless sources) or its end is not
    // known yet (a live source, see SampleStream).
    virtual int streamLength() const { return -1; }

    // How many frames past its own count this node may read of input `inputID`
    // (its look-ahead on that input plus the frames it writes ahead on its outputs).
    virtual int inputLookAhead(int inputID) const { return (void)inputID, 0; }
    // How many frames before its own count this node may read input `inputID` again.
    virtual int inputLookBack(int inputID) const { return (void)inputID, 0; }

    // Registration of node types (at module load). An icon given to addXPM is
    // accepted for compatibility and never shown: this host draws no node.
    static void addFactory(const std::string& typeName, _NodeFactory* factory);
    static void addXPM(const std::string& typeName, char** xpm);
    static _NodeFactory* getFactory(const std::string& typeName);  // nullptr if none
    static const std::vector<std::string>& factoryNames();         // in registration order

protected:
    int addInput(const std::string& inputName);
    int addOutput(const std::string& outputName);
    // The object of input `inputID` for frame `count`, from the connected node.
    ObjectRef getInput(int inputID, int count);

    std::string name;
    ParameterSet parameters;
    std::vector<NodeInput> inputs;
    std::vector<std::string> outputNames;
};

// A node whose outputs are computed frame by frame, in order, and kept in a
// buffer per output for the frames its consumers may still ask for.
class BufferedNode : public Node {
public:
    BufferedNode(std::string nodeName, const ParameterSet& params);

    void request(int outputID, int lookAhead, int lookBack) override;
    // The most frames an output may be asked to keep around its current one.
    static constexpr long long kMaxWindowFrames = 1LL << 30;
    void initialize() override;
    ObjectRef getOutput(int outputID, int count) override;
    int inputLookAhead(int inputID) const override;
    int inputLookBack(int inputID) const override;

    // Called by the network before initialize(), once per link, when a single BufferedNode
    // reads this node's outputs: that node reads output `outputID` from `back` frames
    // before to `ahead` frames after its own count (its inputLookBack and inputLookAhead).
    // Its in-order frames alone then drive this node, and the windows fit its reach
    // instead of the sum of the reaches downstream that request() passes on.
    void readOnlyBy(int outputID, int ahead, int back);
    // Frames output `outputID` will keep, once the requests (and readOnlyBy) are in.
    long long windowFrames(int outputID) const;

    // Computes frame `count`: runs once per count, for 0, 1, 2, ... in order (the
    // in-order contract, which every constructor accepts by setting inOrder). It
    // must store an object for `count` in the buffer of every output of the node,
    // `out` being the one of `outputID`, before it returns; frames it writes
    // ahead (writesAhead) count as stored when their own turn comes.
    virtual void calculate(int outputID, int count, Buffer& out) = 0;

protected:
    int addInput(const std::string& inputName);
    int addOutput(const std::string& outputName);

    // What calculate() reaches beyond the count it computes, declared in the
    // constructor so that the host keeps those frames:
    // it reads input `inputID` up to `frames` frames ahead of the count,
    void readsAhead(int inputID, int frames);
    // it reads input `inputID` again up to `frames` frames back,
    void keepsBack(int inputID, int frames);
    // it stores output `outputID` up to `frames` frames ahead of the count.
    void writesAhead(int outputID, int frames);

    struct OutputCacheInfo {
        int writeAhead = 0;                         // frames after the count the node stores
        int requestedAhead = 0, requestedBack = 0;  // from consumers
        RCPtr<Buffer> buffer;
    };

    bool inOrder = false;  // set true by every constructor: calculate() runs in order
    std::vector<OutputCacheInfo> outputs;

private:
    struct InputReach {
        int ahead = 0;  // frames after the count the node reads
        int back = 0;   // frames before the count the node reads again
    };

    void computeUpTo(int outputID, int count);

    std::vector<InputReach> inputReach_;
    // Set by readOnlyBy: the furthest the one reader drives this node ahead of its own
    // count, and per output how far back it reads.
    bool oneReader_ = false;
    int readerAhead_ = 0;
    std::vector<int> readerBack_;
    int processCount_ = -1;  // last count calculate() ran for
    bool initialized_ = false;
    bool requestsPassedOn_ = false;  // request() has passed this node's windows upstream
};

}  // namespace FD
