// Shared wording of the host nodes' messages: `Type "name": ...`.
#pragma once

#include <string>

#include "flow/Exception.h"
#include "flow/Types.h"

namespace FD {
namespace nodes {

inline std::string who(const char* type, const std::string& name) {
    return std::string(type) + " \"" + name + "\": ";
}

// The object of a frame as the type a port expects; anything else is an error
// naming the port and both types ("AUDIO expects Matrix<float>, got float").
template <class T>
T& frameAs(const ObjectRef& ref, const std::string& prefix, const std::string& port, const char* expected) {
    auto* p = dynamic_cast<T*>(ref.get());
    if (!p)
        throw new GeneralException(prefix + port + " expects " + expected + ", got " +
                                   describeType(ref.get()));
    return *p;
}

// Reads an int parameter that must lie in [low, high].
int intInRange(const ParameterSet& params, const std::string& prefix, const std::string& param, int low,
               int high, const std::string& what);

// Reads a string parameter.
std::string stringParam(const ParameterSet& params, const std::string& param);

// Frame k in seconds: k * advance / rate.
double frameTime(long long frame, int advance, int rate);

inline std::string frameText(int count) { return "frame " + std::to_string(count) + ": "; }

}  // namespace nodes
}  // namespace FD
