#include "visualization/WaveVisualization.h"

#include "visualization/WindowToolkit.h"

// The window (drawing state, handlers, plotting) is in WaveWindow.cpp, part of the
// toolkit library that the first window to open loads.

kwWaveGtk::~kwWaveGtk() {
    if (drawingArea) vis::loadedWindowToolkit()->wave.release(*this);
}

// ------------------------------------------------------------------ node

WaveVisualization::WaveVisualization(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params), who(vis::nodeLabel("WaveVisualization", nodeName)) {
    inputAudioSignalID = addInput("INPUT_AUDIO_SIGNAL");
    outputAudioSignalID = addOutput("OUTPUT_AUDIO_SIGNAL");
    vis::WindowParameters p = vis::readWindowParameters(parameters, who);
    visualizationTimeLength = p.visualizationTimeLength;
    windowName = p.windowName;
    advance = p.advance;
    samplingRate = p.samplingRate;
    gtkState.secondsPerFrame = p.time.secondsPerFrame;
    gtkState.windowFrames = p.time.windowFrames;
    gtkState.windowStart = 0;
    inputsCache[inputAudioSignalID].lookBack = gtkState.windowFrames;
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
    vis::expectFrame<FD::Matrix<float>>(signal, who, "INPUT_AUDIO_SIGNAL", count, "Matrix<float>");
    if (toolkit && count % vis::kRefreshInterval == 0) toolkit->wave.refresh(*this, count);
    (*outputs[outputAudioSignalID].buffer)[count] = signal;
}

