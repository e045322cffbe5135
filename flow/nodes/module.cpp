// The host's own node module (libflownodes.so): audio files in and out, the
// short-time spectrum and its inverse, and writers of results for other tools.
// Loaded by the runner next to the plug-in; registers factories and describes
// each type for the catalogue.
#include <algorithm>
#include <cmath>
#include <functional>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/nodes/AudioFileSink.h"
#include "flow/nodes/AudioFileSource.h"
#include "flow/nodes/ShortTimeSpectrum.h"
#include "flow/nodes/Writers.h"

namespace {

using FD::NodeInfo;

const char* kFraming =
    "frames of LENGTH samples, ADVANCE apart; frame k ends with samples k*ADVANCE .. k*ADVANCE+ADVANCE-1";

template <class T>
void registerNode(NodeInfo info, std::function<std::vector<FD::MemoryNeed>(const FD::NumberOf&)> needs = {}) {
    info.memoryNeeds = std::move(needs);
    FD::Node::addFactory(info.type, new FD::NodeFactory<T>(info.type));
    FD::describeNode(info);
}

// The frames of one LENGTH overlap each other LENGTH / ADVANCE times; each is kept as a
// spectrum of LENGTH/2+1 complex bins and a signal frame, for two channels at least.
std::vector<FD::MemoryNeed> overlapMemory(const FD::NumberOf& number) {
    const double length = number("LENGTH"), advance = std::max(1.0, number("ADVANCE"));
    const double frames = std::ceil(length / advance) + 1;
    return {{"LENGTH", frames * 2 * (length * 4 + (length / 2 + 1) * 8),
             std::to_string(long(frames)) + " overlapping frames of " + std::to_string(long(length)) +
                 " samples in two channels"}};
}

int registerModule() {
    FD::Object::setModuleVersion("FLOWNODES", "1", "1.0.0");
    registerNode<FD::AudioFileSource>(
        {"AudioFileSource",
         "reads an audio file (WAV, FLAC, ...; any channel count), a stream on standard input or a FIFO, "
         "or an ALSA capture, as signal frames; resamples to SAMPLING_RATE",
         {},
         {{"AUDIO", std::string("Matrix<float>, one row per channel, 16-bit scale; ") + kFraming, FD::kinds::audio}},
         {{"FILE", "string", "audio file to read, \"-\" for standard input, a FIFO, or alsa:DEVICE"},
          {"LENGTH", "int", "samples per frame"},
          {"ADVANCE", "int", "samples between frames, 1 to LENGTH"},
          {"SAMPLING_RATE", "int",
           "samples per second of the stream (the input is resampled if it differs)"},
          {"CHANNELS", "string", "input channels to use, in order, e.g. \"2,3\" (default or \"\": all; a capture: two)",
           true}}});
    registerNode<FD::ShortTimeSpectrum>(
        {"ShortTimeSpectrum",
         "short-time spectrum of signal frames: sine-tapered window, real FFT, LENGTH/2+1 bins per row",
         {{"AUDIO", "Matrix<float> signal frames of LENGTH samples", FD::kinds::audio}},
         {{"SPECTRUM", "Matrix<complex<float>>, one row per channel, LENGTH/2+1 bins from 0 Hz to half the rate",
           FD::kinds::spectrum}},
         {{"LENGTH", "int", "samples per frame (FFT size)"},
          {"ADVANCE", "int", "samples between frames, 1 to LENGTH"}}},
        overlapMemory);
    registerNode<FD::Resynthesis>(
        {"Resynthesis",
         "signal frames back from spectrum frames by weighted overlap-add (exact inverse of "
         "ShortTimeSpectrum)",
         {{"SPECTRUM", "Matrix<complex<float>> with LENGTH/2+1 columns", FD::kinds::spectrum}},
         {{"AUDIO", "Matrix<float> signal frames of LENGTH samples, aligned with the analysed ones",
           FD::kinds::audio}},
         {{"LENGTH", "int", "samples per frame (FFT size)"},
          {"ADVANCE", "int", "samples between frames, 1 to LENGTH"}}},
        overlapMemory);
    registerNode<FD::AudioFileSink>(
        {"AudioFileSink",
         "writes a signal stream to a 16-bit WAV file with exactly the source's sample count",
         {{"AUDIO", "Matrix<float> signal frames, 16-bit scale", FD::kinds::audio}},
         {{"OUTPUT", "the AUDIO frames, passed on", FD::kinds::audio}},
         {{"FILE", "string",
           "WAV file to write (appears when the run ends), or \"-\", a device, FIFO or socket to stream to"},
          {"SAMPLING_RATE", "int", "samples per second, must match the source"},
          {"LENGTH", "int", "samples per input frame"},
          {"ADVANCE", "int", "new samples per input frame, must match the source"},
          {"CHANNELS", "string", "rows to write, e.g. \"0\" or \"1,0\" (default: all rows)", true}}});
    registerNode<FD::SourceListWriter>(
        {"SourceListWriter",
         "writes source lists as JSON Lines: frame, time (s), sources with id, azimuth (degrees), power",
         {{"SOURCES", "Vector<ObjectRef> of Source records", FD::kinds::sources}},
         {{"OUTPUT", "the SOURCES lists, passed on", FD::kinds::sources}},
         {{"FILE", "string", "JSON Lines file, \"-\", a device, FIFO or socket, or tcp://HOST:PORT"},
          {"ADVANCE", "int", "samples between frames"},
          {"SAMPLING_RATE", "int", "samples per second"}}});
    registerNode<FD::SegmentWriter>(
        {"SegmentWriter",
         "writes speech segments as a label file: start<TAB>end<TAB>speech, in seconds",
         {{"DECISION", "Vector<ObjectRef>: empty for no speech, non-empty for speech", FD::kinds::sources}},
         {{"OUTPUT", "the DECISION lists, passed on", FD::kinds::sources}},
         {{"FILE", "string", "label file, \"-\", a device, FIFO or socket, or tcp://HOST:PORT"},
          {"ADVANCE", "int", "samples between frames"},
          {"SAMPLING_RATE", "int", "samples per second"}}});
    registerNode<FD::MatrixWriter>(
        {"MatrixWriter",
         "writes a signal or spectrum stream to a NumPy .npy file of shape frames x rows x columns",
         {{"INPUT", "Matrix<float> (float32) or Matrix<complex<float>> (complex64) frames of a fixed shape",
           FD::kinds::audioOrSpectrum}},
         {{"OUTPUT", "the INPUT frames, passed on", FD::kinds::audioOrSpectrum}},
         {{"FILE", "string", ".npy file to write"}}});
    return 0;
}

[[maybe_unused]] const int registered = registerModule();

}  // namespace
