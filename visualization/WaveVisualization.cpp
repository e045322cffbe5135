#include "visualization/WaveVisualization.h"

#include "plugin/Descriptions.h"
#include "visualization/WindowToolkit.h"

// The window (drawing state, handlers, plotting) is in WaveWindow.cpp, part of the
// toolkit library that the first window to open loads.

kwWaveGtk::~kwWaveGtk() {
    if (drawingArea) vis::loadedWindowToolkit()->wave.release(*this);
}

// ------------------------------------------------------------------ node

FD::NodeInfo WaveVisualization::description() {
    return vis::windowNodeDescription(
        "WaveVisualization", "window plotting the waveform; passes its input on",
        {{"INPUT_AUDIO_SIGNAL", zelkbp::kSignalFrames, FD::kinds::audio}},
        {{"OUTPUT_AUDIO_SIGNAL", "the input signal", FD::kinds::audio}});
}

WaveVisualization::WaveVisualization(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params),
      who(FD::nodeLabel("WaveVisualization", nodeName)),
      errors("WaveVisualization", nodeName) {
    inputAudioSignalID = addInput("INPUT_AUDIO_SIGNAL");
    outputAudioSignalID = addOutput("OUTPUT_AUDIO_SIGNAL");
    vis::WindowParameters p = vis::readWindowParameters(FD::NodeParameters(errors, parameters));
    visualizationTimeLength = p.visualizationTimeLength;
    windowName = p.windowName;
    advance = p.advance;
    samplingRate = p.samplingRate;
    gtkState.secondsPerFrame = p.time.secondsPerFrame;
    gtkState.windowFrames = p.time.windowFrames;
    gtkState.windowStart = 0;
    keepsBack(inputAudioSignalID, gtkState.windowFrames);
    inOrder = true;
}

WaveVisualization::~WaveVisualization() = default;

void WaveVisualization::initialize() {
    FD::BufferedNode::initialize();
    toolkit = vis::windowToolkit(who);
    if (toolkit) toolkit->wave.open(*this);
}

void WaveVisualization::calculate(int, int count, FD::Buffer&) {
    FD::ObjectRef signal = getInput(inputAudioSignalID, count);
    vis::expectFrame<FD::Matrix<float>>(signal, errors, "INPUT_AUDIO_SIGNAL", count, "Matrix<float>");
    if (toolkit && count % vis::kRefreshInterval == 0) toolkit->wave.refresh(*this, count);
    (*outputs[outputAudioSignalID].buffer)[count] = signal;
}

