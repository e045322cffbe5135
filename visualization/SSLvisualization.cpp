#include "visualization/SSLvisualization.h"

#include "visualization/WindowToolkit.h"

#include "plugin/Descriptions.h"
// The window (drawing state, handlers, plotting) is in SSLWindow.cpp, part of the
// toolkit library that the first window to open loads.

kwSSLGtk::~kwSSLGtk() {
    if (drawingArea) vis::loadedWindowToolkit()->ssl.release(*this);
}

// ------------------------------------------------------------------ node

FD::NodeInfo SSLvisualization::description() {
    return vis::windowNodeDescription(
        "SSLvisualization",
        "window plotting tracked directions over the signal envelope; passes its inputs on",
        {{"INPUT_AUDIO_SIGNAL", zelkbp::kSignalFrames, FD::kinds::audio}, {"INPUT_TRACKED_DOA", zelkbp::kSourceLists, FD::kinds::sources}},
        {{"OUTPUT_AUDIO_SIGNAL", "the input signal", FD::kinds::audio},
         {"OUTPUT_TRACKED_DOA", "the input directions", FD::kinds::sources}});
}

SSLvisualization::SSLvisualization(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params),
      who(FD::nodeLabel("SSLvisualization", nodeName)),
      errors("SSLvisualization", nodeName) {
    inputAudioSignalID = addInput("INPUT_AUDIO_SIGNAL");
    inputTrackedDoaID = addInput("INPUT_TRACKED_DOA");
    outputAudioSignalID = addOutput("OUTPUT_AUDIO_SIGNAL");
    outputTrackedDoaID = addOutput("OUTPUT_TRACKED_DOA");
    vis::WindowParameters p = vis::readWindowParameters(FD::NodeParameters(errors, parameters));
    visualizationTimeLength = p.visualizationTimeLength;
    windowName = p.windowName;
    advance = p.advance;
    samplingRate = p.samplingRate;
    gtkState.secondsPerFrame = p.time.secondsPerFrame;
    gtkState.windowFrames = p.time.windowFrames;
    gtkState.windowStart = 0;
    keepsBack(inputAudioSignalID, gtkState.windowFrames);
    keepsBack(inputTrackedDoaID, gtkState.windowFrames);
    inOrder = true;
}

SSLvisualization::~SSLvisualization() = default;

void SSLvisualization::initialize() {
    FD::BufferedNode::initialize();
    toolkit = vis::windowToolkit(who);
    if (toolkit) toolkit->ssl.open(*this);
}

void SSLvisualization::calculate(int, int count, FD::Buffer&) {
    FD::ObjectRef signal = getInput(inputAudioSignalID, count);
    vis::expectFrame<FD::Matrix<float>>(signal, errors, "INPUT_AUDIO_SIGNAL", count, "Matrix<float>");
    FD::ObjectRef sources = getInput(inputTrackedDoaID, count);
    FD::RCPtr<FD::Vector<FD::ObjectRef>> list = vis::expectFrame<FD::Vector<FD::ObjectRef>>(
        sources, errors, "INPUT_TRACKED_DOA", count, "Vector<ObjectRef>");
    for (size_t i = 0; i < list->size(); ++i) vis::expectSource(*list, i, errors, "INPUT_TRACKED_DOA", count);
    if (toolkit && count % vis::kRefreshInterval == 0) toolkit->ssl.refresh(*this, count);
    (*outputs[outputAudioSignalID].buffer)[count] = signal;
    (*outputs[outputTrackedDoaID].buffer)[count] = sources;
}

