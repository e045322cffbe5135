// Host-side helpers shared by the four window nodes: their common parameters and
// catalogue entry.
#pragma once

#include <string>
#include <vector>

#include "flow/Catalogue.h"
#include "flow/NodeSupport.h"
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
WindowParameters readWindowParameters(const FD::NodeParameters& params);

// A window node's catalogue entry: its type, help and ports with the four
// parameters above, marked as showing a window.
FD::NodeInfo windowNodeDescription(std::string type, std::string help, std::vector<FD::PortInfo> inputs,
                                   std::vector<FD::PortInfo> outputs);

// The object of an input frame as a T, held (the frames of the time window are
// fetched again at each refresh); anything else is the node's error
// "<port> expects <expected>, got <found>" at frame `frame`.
template <class T>
FD::RCPtr<T> expectFrame(const FD::ObjectRef& object, const FD::NodeErrors& errors, const char* port,
                         int frame, const char* expected) {
    errors.frameAs<T>(object, frame, port, expected);
    return FD::RCPtr<T>(object);
}

// Element i of a source list as a source record, checked the same way.
const FD::Source& expectSource(const FD::Vector<FD::ObjectRef>& list, size_t i, const FD::NodeErrors& errors,
                               const char* port, int frame);

}  // namespace vis
