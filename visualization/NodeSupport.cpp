#include "visualization/NodeSupport.h"

#include "plugin/Descriptions.h"

namespace vis {

WindowParameters readWindowParameters(const FD::NodeParameters& params) {
    WindowParameters p;
    p.visualizationTimeLength = params.real("VISUALIZATION_TIME_LENGTH");
    p.windowName = params.text("WINDOW_NAME");
    p.advance = params.frameShift();
    p.samplingRate = params.samplingRate();
    p.time = timeBase(params.errors(), p.visualizationTimeLength, p.advance, p.samplingRate);
    return p;
}

FD::NodeInfo windowNodeDescription(std::string type, std::string help, std::vector<FD::PortInfo> inputs,
                                   std::vector<FD::PortInfo> outputs) {
    FD::NodeInfo info{std::move(type), std::move(help), std::move(inputs), std::move(outputs), {}};
    info.params = {FD::boundedParam("VISUALIZATION_TIME_LENGTH", "float", "seconds shown in the window", FD::ParamInfo::Bound::Above, 0.0),
                   {"WINDOW_NAME", "string", "window title"},
                   zelkbp::advanceParam(),
                   zelkbp::samplingRateParam()};
    info.window = true;
    return info;
}

const FD::Source& expectSource(const FD::Vector<FD::ObjectRef>& list, size_t i, const FD::NodeErrors& errors,
                               const char* port, int frame) {
    const FD::Source* source = dynamic_cast<const FD::Source*>(list[i].get());
    if (!source)
        errors.atFrame(frame, port,
                       std::string(port) + " element " + std::to_string(i) +
                           " of the source list: expected Source, got " + FD::describeType(list[i].get()));
    return *source;
}

}  // namespace vis
