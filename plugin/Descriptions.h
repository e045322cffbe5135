// Catalogue wording shared by the plug-in's node descriptions: the frames its
// ports carry and the two parameters every node reads.
#pragma once

#include "flow/Catalogue.h"

namespace zelkbp {

inline const char* const kSpectrumFrames =
    "Matrix<complex<float>>, one row per microphone (0 left, 1 right), bins 0 Hz to rate/2";
inline const char* const kSignalFrames = "Matrix<float> signal frames, one row per channel";
inline const char* const kSourceLists = "Vector<ObjectRef> of Source records";

inline FD::ParamInfo advanceParam() { return {"ADVANCE", "int", "frame shift in samples"}; }
inline FD::ParamInfo samplingRateParam() { return {"SAMPLING_RATE", "int", "samples per second"}; }
// The noise-learning switch of the enhancement and detection nodes.
inline FD::ParamInfo noiseUpdateParam() {
    return {"NOISE_UPDATE", "string",
            "\"NONE\" (default): noise learned at the start only; \"CONTINUOUS\": keeps learning it where "
            "speech is unlikely",
            true};
}

}  // namespace zelkbp
