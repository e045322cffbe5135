// Host-side helpers shared by the four window nodes: their common parameters and
// the checked reading of input frames, with errors that name node, port and frame.
#pragma once

#include <string>

#include "flow/Catalogue.h"
#include "flow/Types.h"
#include "flow/Source.h"
#include "visualization/PlotGeometry.h"

namespace vis {

// VISUALIZATION_TIME_LENGTH (float), WINDOW_NAME (string), ADVANCE (int),
// SAMPLING_RATE (int), read in this order with the host's typed casts, and the time
// window they give (refused when unusable, see timeBase).
struct WindowParameters {
    float visualizationTimeLength = 0.0f;
    std::string windowName;
    int advance = 0;
    int samplingRate = 0;
    TimeBase time{};
};
WindowParameters readWindowParameters(const FD::ParameterSet& params, const std::string& who);

// A window node's catalogue entry: its type, help and ports with the four
// parameters above, marked as showing a window.
FD::NodeInfo windowNodeDescription(std::string type, std::string help, std::vector<FD::PortInfo> inputs,
                                   std::vector<FD::PortInfo> outputs);

// `who` of messages: `WaveVisualization "wave"`.
std::string nodeLabel(const char* type, const std::string& name);

// The object of an input frame as a T; anything else is a GeneralException
// "<who>: <port> at frame <f>: expected <expected>, got <found>".
template <class T>
FD::RCPtr<T> expectFrame(const FD::ObjectRef& object, const std::string& who, const char* port, int frame,
                         const char* expected) {
    if (!dynamic_cast<T*>(object.get()))
        throw new FD::GeneralException(who + ": " + port + " at frame " + std::to_string(frame) +
                                       ": expected " + expected + ", got " + FD::describeType(object.get()));
    return FD::RCPtr<T>(object);
}

// Element i of a source list as a source record, checked the same way.
const FD::Source& expectSource(const FD::Vector<FD::ObjectRef>& list, size_t i, const std::string& who,
                               const char* port, int frame);

}  // namespace vis
