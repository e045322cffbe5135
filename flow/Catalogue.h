// The node catalogue: for each node type, its inputs, outputs and parameters
// (name and type, in the order the constructor reads them), with one line of help
// each. Modules describe their types here next to registering their factories;
// the network loader checks parameter names and types against it before building
// a node, and the runner prints it.
#pragma once

#include <string>
#include <vector>

namespace FD {

struct ParamInfo {
    std::string name;
    std::string type;  // "int", "float", "string" or "bool"
    std::string help;  // one line: meaning, unit, accepted values
    bool optional = false;
};

struct PortInfo {
    std::string name;
    std::string help;  // what travels on the port
};

struct NodeInfo {
    std::string type;
    std::string help;  // one line: what the node does
    std::vector<PortInfo> inputs;
    std::vector<PortInfo> outputs;
    std::vector<ParamInfo> params;
    bool window = false;  // shows a live window (the runner then prepares the toolkit)

    const ParamInfo* param(const std::string& name) const;
};

// Adds or replaces the description of a node type.
void describeNode(const NodeInfo& info);
// The description of a type, nullptr when none was given.
const NodeInfo* nodeInfo(const std::string& type);

}  // namespace FD
