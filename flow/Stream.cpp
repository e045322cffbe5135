#include "flow/Stream.h"

#include <set>
#include <vector>

#include "flow/Node.h"

namespace FD {

namespace {
// Nodes upstream of `node`, breadth first, the node itself first.
std::vector<const Node*> upstream(const Node* node) {
    std::vector<const Node*> order;
    std::set<const Node*> seen;
    if (!node) return order;
    order.push_back(node);
    seen.insert(node);
    for (size_t i = 0; i < order.size(); ++i) {
        for (const NodeInput& in : order[i]->getInputs()) {
            if (in.node && seen.insert(in.node).second) order.push_back(in.node);
        }
    }
    return order;
}
}  // namespace

const SampleStream* findSampleStream(const Node* node) {
    for (const Node* n : upstream(node))
        if (auto* s = dynamic_cast<const SampleStream*>(n)) return s;
    return nullptr;
}

}  // namespace FD
