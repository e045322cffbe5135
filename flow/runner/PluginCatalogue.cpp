#include "flow/runner/PluginCatalogue.h"

#include "flow/Catalogue.h"

namespace FD {

namespace {
const char* kSpectrum =
    "Matrix<complex<float>>, one row per microphone (0 left, 1 right), bins 0 Hz to rate/2";
const char* kSignal = "Matrix<float> signal frames, one row per channel";
const char* kSources = "Vector<ObjectRef> of Source records";

ParamInfo advance() { return {"ADVANCE", "int", "frame shift in samples"}; }
ParamInfo rate() { return {"SAMPLING_RATE", "int", "samples per second"}; }
ParamInfo timeLength() { return {"VISUALIZATION_TIME_LENGTH", "float", "seconds shown in the window"}; }
ParamInfo windowName() { return {"WINDOW_NAME", "string", "window title"}; }
}  // namespace

// The four window nodes.
void describeWindowNode(NodeInfo info) {
    info.window = true;
    describeNode(info);
}

void describePluginNodes() {
    describeNode(
        {"BinauralMultisourceLocalization",
         "directions of several sources per frame by noise-weighted GCC-PHAT over 181 azimuths",
         {{"AUDIO_SPECTRUM", kSpectrum}},
         {{"ESTIMATED_DOA", kSources}},
         {{"MICS_DISTANCE", "float", "microphone spacing in centimetres"},
          {"GCCPHAT_THRESHOLD", "float", "minimum direction score reported"},
          {"SOUND_DIFFRACTION_COMPENSATION", "string", "head model: \"FREE_SPACE\" or \"SPHERICAL_HEAD\""},
          advance(),
          rate(),
          {"FREQUENCY_HIGH", "float", "upper band edge in Hz (exclusive)"},
          {"FREQUENCY_LOW", "float", "lower band edge in Hz"},
          {"NOISE_DURATION", "float", "seconds of noise learned at the start"}}});
    describeNode({"BinauralMultisourceTracker",
                  "clusters localized directions over a sliding window of frames",
                  {{"ESTIMATED_DOA", kSources}},
                  {{"TRACKED_DOA", kSources}},
                  {advance(), rate(), {"CLUSTERING_DURATION", "float", "seconds of the clustering window"}}});
    describeWindowNode(
        {"SSLvisualization",
         "window plotting tracked directions over the signal envelope; passes its inputs on",
         {{"INPUT_AUDIO_SIGNAL", kSignal}, {"INPUT_TRACKED_DOA", kSources}},
         {{"OUTPUT_AUDIO_SIGNAL", "the input signal"}, {"OUTPUT_TRACKED_DOA", "the input directions"}},
         {timeLength(), windowName(), advance(), rate()}});
    describeNode({"SourceSeparation",
                  "blind separation of the multichannel spectrum by independent vector analysis over blocks",
                  {{"INPUT_AUDIO_SPECTRUM", kSpectrum}},
                  {{"OUTPUT_AUDIO_SPECTRUM", "Matrix<complex<float>>, one row per separated source"},
                   {"SOURCE_DIRECTIONS", "Vector<ObjectRef> of Source records, one per row (id = row): "
                                         "the direction of the row's talker"}},
                  {{"ITERATION_METHOD", "string",
                    "\"[IVA]NATURAL_GRADIENT_DESCENT_METHOD\" or "
                    "\"[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION\""},
                   {"NUMBER_OF_SOURCES_TO_BE_SEPARATED", "int", "sources to separate"},
                   {"MAX_ITERATION", "int", "iterations per block"},
                   {"SEPARATION_TIME_LENGTH", "float", "seconds per separation block"},
                   advance(),
                   rate(),
                   {"KEEP_SOURCE_ORDER", "bool",
                    "true: each row keeps its talker from block to block (default false)", true},
                   {"MICS_DISTANCE", "float", "microphone spacing in centimetres (for SOURCE_DIRECTIONS)", true},
                   {"SOUND_DIFFRACTION_COMPENSATION", "string",
                    "head model for SOURCE_DIRECTIONS: \"FREE_SPACE\" (default) or \"SPHERICAL_HEAD\"", true}}});
    describeWindowNode({"SpectrumVisualization",
                        "window showing a scrolling spectrogram; passes its input on",
                        {{"INPUT_AUDIO_SPECTRUM", kSpectrum}},
                        {{"OUTPUT_AUDIO_SPECTRUM", "the input spectrum"}},
                        {timeLength(), windowName(), advance(), rate()}});
    describeNode({"SpeechEnhancement",
                  "noise reduction per channel, optionally with harmonic regeneration",
                  {{"NOISY_SPEECH_SPECTRUM", kSpectrum}},
                  {{"SPEECH_EHANCED_SPECTRUM", "Matrix<complex<float>> of the same shape"}},
                  {{"NOISE_REDUCTION_METHOD", "string",
                    "\"SPECTRAL_SUBTRACTION\", \"WIENER_FILTERING\", \"TWO_STEP_WIENER_FILTERING\" or "
                    "\"MINIMUM_MEAN_SQUARE_ERROR\""},
                   {"HARMONIC_REGENERATION", "string", "\"USE\" to regenerate harmonics, anything else not"},
                   {"NOISE_PERIOD", "float", "seconds of noise learned at the start"},
                   advance(),
                   rate()}});
    describeWindowNode(
        {"VADvisualization",
         "window plotting the signal and the voice-activity decisions; passes its inputs on",
         {{"INPUT_AUDIO_SIGNAL", kSignal}, {"INPUT_VAD_DECISION", "Vector<ObjectRef>, empty for no speech"}},
         {{"OUTPUT_AUDIO_SIGNAL", "the input signal"}, {"OUTPUT_VAD_DECISION", "the input decisions"}},
         {timeLength(), windowName(), advance(), rate()}});
    describeNode({"VoiceActivityDetection",
                  "speech / no-speech decision per frame against noise learned at the start",
                  {{"AUDIO_SPECTRUM", kSpectrum}},
                  {{"VAD_DECISION", "Vector<ObjectRef>: empty for no speech, one Source for speech"}},
                  {advance(),
                   rate(),
                   {"VAD_NOISE_DURATION", "float", "seconds of noise learned at the start"},
                   {"VAD_THRESHOLD", "float", "decision threshold"}}});
    describeWindowNode({"WaveVisualization",
                        "window plotting the waveform; passes its input on",
                        {{"INPUT_AUDIO_SIGNAL", kSignal}},
                        {{"OUTPUT_AUDIO_SIGNAL", "the input signal"}},
                        {timeLength(), windowName(), advance(), rate()}});
}

}  // namespace FD
