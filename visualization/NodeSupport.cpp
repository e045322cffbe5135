#include "visualization/NodeSupport.h"

#include "plugin/Descriptions.h"

namespace vis {

WindowParameters readWindowParameters(const FD::ParameterSet& params, const std::string& who) {
    WindowParameters p;
    p.visualizationTimeLength = FD::dereference_cast<float>(params.get("VISUALIZATION_TIME_LENGTH"));
    p.windowName = FD::object_cast<FD::String>(params.get("WINDOW_NAME"));
    p.advance = FD::dereference_cast<int>(params.get("ADVANCE"));
    p.samplingRate = FD::dereference_cast<int>(params.get("SAMPLING_RATE"));
    p.time = timeBase(who, p.visualizationTimeLength, p.advance, p.samplingRate);
    return p;
}

FD::NodeInfo windowNodeDescription(std::string type, std::string help, std::vector<FD::PortInfo> inputs,
                                   std::vector<FD::PortInfo> outputs) {
    FD::NodeInfo info{std::move(type), std::move(help), std::move(inputs), std::move(outputs), {}};
    info.params = {{"VISUALIZATION_TIME_LENGTH", "float", "seconds shown in the window"},
                   {"WINDOW_NAME", "string", "window title"},
                   zelkbp::advanceParam(),
                   zelkbp::samplingRateParam()};
    info.window = true;
    return info;
}

std::string nodeLabel(const char* type, const std::string& name) {
    return std::string(type) + " \"" + name + "\"";
}

const FD::Source& expectSource(const FD::Vector<FD::ObjectRef>& list, size_t i, const std::string& who,
                               const char* port, int frame) {
    const FD::Source* source = dynamic_cast<const FD::Source*>(list[i].get());
    if (!source)
        throw new FD::GeneralException(
            who + ": " + port + " at frame " + std::to_string(frame) + ": element " + std::to_string(i) +
            " of the source list: expected Source, got " + FD::describeType(list[i].get()));
    return *source;
}

}  // namespace vis
