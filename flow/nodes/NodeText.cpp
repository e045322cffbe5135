#include "flow/nodes/NodeText.h"

namespace FD {
namespace nodes {

int intInRange(const ParameterSet& params, const std::string& prefix, const std::string& param, int low,
               int high, const std::string& what) {
    int v = dereference_cast<int>(params.get(param));
    if (v < low || v > high)
        throw new GeneralException(prefix + param + " must be " + what + ", got " + std::to_string(v));
    return v;
}

std::string stringParam(const ParameterSet& params, const std::string& param) {
    return object_cast<String>(params.get(param));
}

double frameTime(long long frame, int advance, int rate) { return double(frame) * advance / rate; }

}  // namespace nodes
}  // namespace FD
