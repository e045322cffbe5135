#include "visualization/SpectrumVisualization.h"

#include "visualization/WindowToolkit.h"

#include "plugin/Descriptions.h"
// The window (drawing state, handlers, plotting) is in SpectrumWindow.cpp, part of the
// toolkit library that the first window to open loads.

kwSpectrumGtk::~kwSpectrumGtk() {
    if (drawingArea) vis::loadedWindowToolkit()->spectrum.release(*this);
}

// ------------------------------------------------------------------ node

FD::NodeInfo SpectrumVisualization::description() {
    return vis::windowNodeDescription("SpectrumVisualization",
                                      "window showing a scrolling spectrogram; passes its input on",
                                      {{"INPUT_AUDIO_SPECTRUM", zelkbp::kSpectrumFrames, FD::kinds::spectrum}},
                                      {{"OUTPUT_AUDIO_SPECTRUM", "the input spectrum", FD::kinds::spectrum}});
}

SpectrumVisualization::SpectrumVisualization(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params),
      who(FD::nodeLabel("SpectrumVisualization", nodeName)),
      errors("SpectrumVisualization", nodeName) {
    inputAudioSpectrumID = addInput("INPUT_AUDIO_SPECTRUM");
    outputAudioSpectrumID = addOutput("OUTPUT_AUDIO_SPECTRUM");
    vis::WindowParameters p = vis::readWindowParameters(FD::NodeParameters(errors, parameters));
    visualizationTimeLength = p.visualizationTimeLength;
    windowName = p.windowName;
    advance = p.advance;
    samplingRate = p.samplingRate;
    if (samplingRate < 2000)
        errors.refuse("SAMPLING_RATE", "SAMPLING_RATE must be at least 2000 Hz for the kHz axis, got " +
                                           std::to_string(samplingRate));
    gtkState.secondsPerFrame = p.time.secondsPerFrame;
    gtkState.windowFrames = p.time.windowFrames;
    gtkState.samplingRate = samplingRate;
    gtkState.windowStart = 0;
    keepsBack(inputAudioSpectrumID, gtkState.windowFrames);
    inOrder = true;
}

SpectrumVisualization::~SpectrumVisualization() = default;

void SpectrumVisualization::initialize() {
    FD::BufferedNode::initialize();
    toolkit = vis::windowToolkit(who);
    if (toolkit) toolkit->spectrum.open(*this);
}

void SpectrumVisualization::calculate(int, int count, FD::Buffer&) {
    FD::ObjectRef spectrum = getInput(inputAudioSpectrumID, count);
    vis::expectFrame<FD::Matrix<std::complex<float>>>(spectrum, errors, "INPUT_AUDIO_SPECTRUM", count,
                                                      "Matrix<complex<float>>");
    if (toolkit && count % vis::kRefreshInterval == 0) toolkit->spectrum.refresh(*this, count);
    (*outputs[outputAudioSpectrumID].buffer)[count] = spectrum;
}

