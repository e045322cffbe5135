// The node catalogue: for each node type, its inputs, outputs and parameters
// (name and type, in the order the constructor reads them), with one line of help
// each. Modules describe their types here next to registering their factories;
// the network loader checks parameter names and types against it before building
// a node, and the runner prints it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace FD {

struct ParamInfo {
    std::string name;
    std::string type;  // "int", "float", "string" or "bool"
    std::string help;  // one line: meaning, unit, accepted values
    bool optional = false;
    // What the loader accepts before it builds the node, beyond the type: for a string,
    // the values that mean something (empty: any text); for a number, a lower bound.
    std::vector<std::string> choices{};
    enum class Bound { None, AtLeast, Above } bound = Bound::None;
    double minimum = 0.0;
};

// Bytes one node may ask for, and the frame windows of a network may hold: 1 GiB, or
// flowrun --memory-budget / ZELKBP_MEMORY_BUDGET (MiB) when set.
double memoryBudget();
// "1024 MiB".
std::string mebibytes(double bytes);

// A parameter description that states its accepted values.
ParamInfo oneOfParam(std::string name, std::string help, std::vector<std::string> choices);
// A number parameter that must be >= minimum (AtLeast) or > minimum (Above).
ParamInfo boundedParam(std::string name, std::string type, std::string help, ParamInfo::Bound bound,
                       double minimum);
// "" when `value` is acceptable for `info`, else what it must be ("one of \"A\" or \"B\"",
// "above 0").
std::string unacceptable(const ParamInfo& info, const std::string& text, double number);

// The kinds of frames a port carries, by the object type of each frame.
namespace kinds {
inline const std::string audio = "audio";        // Matrix<float> signal frames
inline const std::string spectrum = "spectrum";  // Matrix<complex<float>> spectrum frames
inline const std::string sources = "sources";    // Vector<ObjectRef> of Source records
inline const std::string audioOrSpectrum = "audio|spectrum";
}  // namespace kinds

struct PortInfo {
    std::string name;
    std::string help;  // what travels on the port
    // One of FD::kinds, or several joined by '|' for a port that takes or passes on
    // more than one; empty: not stated, any link accepted. The loader refuses a link
    // whose two ends state kinds that have none in common.
    std::string kind{};
};

// "signal frames", "a spectrum", "a source list", "signal frames or a spectrum".
std::string kindText(const std::string& kind);
// Whether frames of kind `output` may reach an input of kind `input`.
bool kindsMatch(const std::string& output, const std::string& input);

// Memory a node would need for what one of its parameters asks, estimated from the
// parameter values before the node is built.
struct MemoryNeed {
    std::string param;  // the parameter that asks for it
    double bytes = 0;
    std::string what;  // "a window of 1000000 frames"
};
// The value of a number parameter by name (0 when absent or not a number).
using NumberOf = std::function<double(const std::string&)>;

struct NodeInfo {
    std::string type;
    std::string help;  // one line: what the node does
    std::vector<PortInfo> inputs;
    std::vector<PortInfo> outputs;
    std::vector<ParamInfo> params;
    bool window = false;  // shows a live window (the runner then prepares the toolkit)
    // The node's large memory needs, checked by the loader against memoryBudget().
    std::function<std::vector<MemoryNeed>(const NumberOf&)> memoryNeeds{};

    const ParamInfo* param(const std::string& name) const;
};

// Adds or replaces the description of a node type.
void describeNode(const NodeInfo& info);
// The description of a type, nullptr when none was given.
const NodeInfo* nodeInfo(const std::string& type);

}  // namespace FD
