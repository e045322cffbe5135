#include "visualization/VADvisualization.h"

#include "plugin/Descriptions.h"
#include "visualization/WindowToolkit.h"

// The window (drawing state, handlers, plotting) is in VADWindow.cpp, part of the
// toolkit library that the first window to open loads.

kwVADGtk::~kwVADGtk() {
    if (drawingArea) vis::loadedWindowToolkit()->vad.release(*this);
}

// ------------------------------------------------------------------ node

FD::NodeInfo VADvisualization::description() {
    return vis::windowNodeDescription(
        "VADvisualization",
        "window plotting the signal and the voice-activity decisions; passes its inputs on",
        {{"INPUT_AUDIO_SIGNAL", zelkbp::kSignalFrames, FD::kinds::audio},
         {"INPUT_VAD_DECISION", "Vector<ObjectRef>, empty for no speech", FD::kinds::sources}},
        {{"OUTPUT_AUDIO_SIGNAL", "the input signal", FD::kinds::audio},
         {"OUTPUT_VAD_DECISION", "the input decisions", FD::kinds::sources}});
}

VADvisualization::VADvisualization(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params),
      who(FD::nodeLabel("VADvisualization", nodeName)),
      errors("VADvisualization", nodeName) {
    inputAudioSignalID = addInput("INPUT_AUDIO_SIGNAL");
    inputVadDecisionID = addInput("INPUT_VAD_DECISION");
    outputAudioSignalID = addOutput("OUTPUT_AUDIO_SIGNAL");
    outputVadDecisionID = addOutput("OUTPUT_VAD_DECISION");
    vis::WindowParameters p = vis::readWindowParameters(FD::NodeParameters(errors, parameters));
    visualizationTimeLength = p.visualizationTimeLength;
    windowName = p.windowName;
    advance = p.advance;
    samplingRate = p.samplingRate;
    gtkState.secondsPerFrame = p.time.secondsPerFrame;
    gtkState.windowFrames = p.time.windowFrames;
    gtkState.windowStart = 0;
    keepsBack(inputAudioSignalID, gtkState.windowFrames);
    keepsBack(inputVadDecisionID, gtkState.windowFrames);
    inOrder = true;
}

VADvisualization::~VADvisualization() = default;

void VADvisualization::initialize() {
    FD::BufferedNode::initialize();
    toolkit = vis::windowToolkit(who);
    if (toolkit) toolkit->vad.open(*this);
}

void VADvisualization::calculate(int, int count, FD::Buffer&) {
    FD::ObjectRef signal = getInput(inputAudioSignalID, count);
    vis::expectFrame<FD::Matrix<float>>(signal, errors, "INPUT_AUDIO_SIGNAL", count, "Matrix<float>");
    FD::ObjectRef decision = getInput(inputVadDecisionID, count);
    vis::expectFrame<FD::Vector<FD::ObjectRef>>(decision, errors, "INPUT_VAD_DECISION", count,
                                                "Vector<ObjectRef>");
    if (toolkit && count % vis::kRefreshInterval == 0) toolkit->vad.refresh(*this, count);
    (*outputs[outputAudioSignalID].buffer)[count] = signal;
    (*outputs[outputVadDecisionID].buffer)[count] = decision;
}

