// Test support: one node under test, each input fed scripted objects by count,
// its outputs pulled by count:
//   NodeHarness h(new MyNode("node", Params().i("ADVANCE", 160).set()));
//   h.feed("AUDIO_SPECTRUM", [](int count) { return makeSpectrum(count); });
//   h.initialize();
//   RCPtr<Vector<ObjectRef>> out = h.pull("ESTIMATED_DOA", 0);
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "flow/Network.h"
#include "flow/Node.h"

namespace FD {
namespace testing {

// Runs `f` and returns the message of the host exception it throws (and frees
// it), or "" when it throws none.
std::string hostError(const std::function<void()>& f);

// Builds a parameter set with typed values.
class Params {
public:
    Params& i(const std::string& name, int v) { return add(name, new Int(v)); }
    Params& f(const std::string& name, float v) { return add(name, new Float(v)); }
    Params& b(const std::string& name, bool v) { return add(name, new Bool(v)); }
    Params& s(const std::string& name, const std::string& v) { return add(name, new String(v)); }
    Params& add(const std::string& name, Object* value) {
        set_.add(name, ObjectRef(value));
        return *this;
    }
    Params& remove(const std::string& name);
    const ParameterSet& set() const { return set_; }
    operator const ParameterSet&() const { return set_; }  // NOLINT

private:
    ParameterSet set_;
};

// A node whose output OUTPUT is a function of the count; it records the counts asked.
class ScriptedSource : public Node {
public:
    using Script = std::function<ObjectRef(int count)>;
    ScriptedSource(const std::string& nodeName, Script script, int length = -1);

    ObjectRef getOutput(int outputID, int count) override;
    int streamLength() const override { return length_; }

    const std::vector<int>& requested() const { return requested_; }
    int maxRequested() const { return maxRequested_; }

private:
    Script script_;
    int length_;
    std::vector<int> requested_;
    int maxRequested_ = -1;
};

// Frames from a list: frame k is frames[k]; past the end, `after` if set, else a
// GeneralException naming the frame.
ScriptedSource::Script framesScript(std::vector<ObjectRef> frames, ObjectRef after = ObjectRef());

class NodeHarness {
public:
    // Takes over the node (or builds one of a registered type).
    explicit NodeHarness(Node* node);
    static NodeHarness* fromFactory(const std::string& type, const ParameterSet& params,
                                    const std::string& nodeName = "node");

    // Every input must be fed before initialize().
    ScriptedSource& feed(const std::string& inputName, ScriptedSource::Script script, int length = -1);

    void initialize();
    ObjectRef pull(const std::string& outputName, int count);  // computed on demand
    // Frames 0 .. n-1 of `outputName`, pulled in order.
    std::vector<ObjectRef> run(const std::string& outputName, int n);

    Node& node() { return *node_; }
    ScriptedSource& input(const std::string& inputName);
    Network& network() { return net_; }

private:
    Network net_;
    Node* node_;
    std::map<std::string, ScriptedSource*> sources_;
};

// Feeds `frames` scripted frames to `input` of the sink `node` (taken over),
// pulls its OUTPUT for each and ends the stream, as the runner does after the
// last frame (a file writer then gives its file its name).
void runToEnd(Node* node, const std::string& input, ScriptedSource::Script script, int frames);

}  // namespace testing
}  // namespace FD
