#include "separation/SourceSeparation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <new>
#include <optional>
#include <stdexcept>

#include "flow/Source.h"
#include "plugin/Descriptions.h"

using FD::formatNumber;

namespace {

// Frames per block the node accepts: the host keeps a whole block of frames ahead on
// the input and on the output, so the count has to stay far from int overflow.
const int kMaxBlockLength = INT_MAX / 4;

}  // namespace

// ---------------------------------------------------------------- construction

FD::NodeInfo SourceSeparation::description() {
    FD::NodeInfo info{
        "SourceSeparation",
        "blind separation of the multichannel spectrum by independent vector analysis over blocks",
        {{"INPUT_AUDIO_SPECTRUM", zelkbp::kSpectrumFrames, FD::kinds::spectrum}},
        {{"OUTPUT_AUDIO_SPECTRUM", "Matrix<complex<float>>, one row per separated source", FD::kinds::spectrum},
         {"SOURCE_DIRECTIONS", std::string(zelkbp::kSourceLists) +
                                   ", one per row (id = row): the direction of the row's talker; "
                                   "needs MICS_DISTANCE",
          FD::kinds::sources}},
        {FD::oneOfParam("ITERATION_METHOD", "update rule",
                        {"[IVA]NATURAL_GRADIENT_DESCENT_METHOD", "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION",
                         "[AuxIVA]ITERATIVE_PROJECTION"}),
         {"NUMBER_OF_SOURCES_TO_BE_SEPARATED", "int", "sources to separate"},
         FD::boundedParam("MAX_ITERATION", "int", "iterations per block", FD::ParamInfo::Bound::AtLeast, 0.0),
         FD::boundedParam("SEPARATION_TIME_LENGTH", "float", "seconds per separation block",
                          FD::ParamInfo::Bound::Above, 0.0),
         zelkbp::advanceParam(),
         zelkbp::samplingRateParam(),
         {"CLOSED_FORM_2X2", "bool",
          "true: closed-form 2x2 arithmetic instead of LAPACK for the first two rules (default false)", true},
         {"KEEP_SOURCE_ORDER", "bool", "true: each row keeps its talker from block to block (default false)",
          true},
         {"MICS_DISTANCE", "float", "microphone spacing in centimetres, for SOURCE_DIRECTIONS", true},
         {"SOUND_DIFFRACTION_COMPENSATION", "string",
          "head model for SOURCE_DIRECTIONS: \"FREE_SPACE\" (default) or \"SPHERICAL_HEAD\"", true}}};
    // A block is kept on the input and on the output and separated in a handful of arrays:
    // about 28 kB per frame of the block for two channels of 257 bins (measured).
    info.memoryNeeds = [](const FD::NumberOf& number) {
        const double frames =
            number("SEPARATION_TIME_LENGTH") * number("SAMPLING_RATE") / std::max(1.0, number("ADVANCE"));
        return std::vector<FD::MemoryNeed>{
            {"SEPARATION_TIME_LENGTH", frames * 28000.0,
             "blocks of " + std::to_string((long long)frames) + " frames (two channels of 257 bins)"}};
    };
    return info;
}

SourceSeparation::SourceSeparation(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params), errors_("SourceSeparation", name) {
    inputID = addInput("INPUT_AUDIO_SPECTRUM");
    outputID = addOutput("OUTPUT_AUDIO_SPECTRUM");
    directionsID = addOutput("SOURCE_DIRECTIONS");

    const FD::NodeParameters p(errors_, parameters);
    iterationMethod = p.text("ITERATION_METHOD");
    numSources = p.inRange("NUMBER_OF_SOURCES_TO_BE_SEPARATED", 1, INT_MAX, "at least 1");
    maxIteration = p.integer("MAX_ITERATION");
    separationTimeLength = p.seconds("SEPARATION_TIME_LENGTH");
    advance = p.frameShift();
    samplingRate = p.samplingRate();
    closedForm2x2 = p.flag("CLOSED_FORM_2X2", false);

    // Frames per block: the time length over the frame shift, in single precision,
    // rounded to nearest.
    const float frameShift = FD::secondsPerFrame(advance, samplingRate);
    const float frames = separationTimeLength / frameShift;
    const std::optional<int> T = FD::nearestFrames(frames, 1, kMaxBlockLength);
    if (!T && !(double(frames) + 0.5 >= 1.0))
        errors_.refuse("SEPARATION_TIME_LENGTH",
                       "SEPARATION_TIME_LENGTH of " + formatNumber(separationTimeLength) +
                           " s gives no frame per block; it must be at least half a frame shift (" +
                           formatNumber(frameShift / 2.0f) + " s)");
    if (!T)
        errors_.refuse("SEPARATION_TIME_LENGTH",
                       "SEPARATION_TIME_LENGTH of " + formatNumber(separationTimeLength) +
                           " s gives more than " + std::to_string(kMaxBlockLength) + " frames per block");
    blockLength = *T;
    rule_ = separation::updateRuleNamed(iterationMethod);
    readTalkerOptions(p);

    inOrder = true;
    readsAhead(inputID, blockLength);
    writesAhead(outputID, blockLength);
    writesAhead(directionsID, blockLength);
}

void SourceSeparation::readTalkerOptions(const FD::NodeParameters& p) {
    keepSourceOrder = p.flag("KEEP_SOURCE_ORDER", false);
    const std::string model =
        p.has("SOUND_DIFFRACTION_COMPENSATION")
            ? p.oneOf("SOUND_DIFFRACTION_COMPENSATION", {"FREE_SPACE", "SPHERICAL_HEAD"})
            : "FREE_SPACE";
    localization::HeadModel headModel;
    localization::parseHeadModel(model, &headModel);
    if (!p.has("MICS_DISTANCE")) return;
    const float distance = p.real("MICS_DISTANCE");
    if (!(distance > 0.0f) || !std::isfinite(distance))
        errors_.refuse("MICS_DISTANCE", "MICS_DISTANCE must be a positive number of centimetres, got " +
                                            formatNumber(distance));
    finder_ = std::make_unique<separation::DirectionFinder>(headModel, distance, samplingRate);
}

SourceSeparation::~SourceSeparation() = default;

// ---------------------------------------------------------------- per frame

void SourceSeparation::calculate(int, int count, FD::Buffer&) {
    FD::RCPtr<Spectrum> frame = inputFrame(count);
    const int channels = frame->nrows(), columns = frame->ncols();
    // Whichever output was asked for, the spectrum goes to its own buffer.
    (*outputs[outputID].buffer)[count] = FD::ObjectRef(new Spectrum(channels, columns));
    // Frames inside a block were written, or are about to be, by the frame that starts it.
    if (count % blockLength != 0) return;
    directions_.clear();
    separateBlockAt(count, channels, columns);
    writeDirections(count);
}

FD::ObjectRef SourceSeparation::getOutput(int outputID, int count) {
    // Asked for only when something reads the port.
    if (outputID == directionsID && !finder_)
        errors_.atFrame(count, "MICS_DISTANCE",
                        "SOURCE_DIRECTIONS is read but MICS_DISTANCE, the microphone spacing in "
                        "centimetres it needs, was not given");
    return FD::BufferedNode::getOutput(outputID, count);
}

void SourceSeparation::separateBlockAt(int first, int channels, int columns) {
    if (channels < 1)
        errors_.atFrame(first, "INPUT_AUDIO_SPECTRUM", "INPUT_AUDIO_SPECTRUM frame has no channel");
    if (numSources > channels)
        errors_.atFrame(first, "NUMBER_OF_SOURCES_TO_BE_SEPARATED",
                        "NUMBER_OF_SOURCES_TO_BE_SEPARATED is " + std::to_string(numSources) +
                            " but INPUT_AUDIO_SPECTRUM has " + std::to_string(channels) + " channel" +
                            (channels == 1 ? "" : "s") + " (1 to " + std::to_string(channels) +
                            " sources can be separated)");
    const int bins = columns - 1;  // the Nyquist column stays out of the block
    if (bins < 1) return;          // nothing to separate: the output stays zero

    const int T = blockLength;
    if (!separator_) {
        try {
            separator_ = separation::newBlockKernel();
            separator_->useClosedForms(closedForm2x2);
        } catch (const std::runtime_error& e) {
            errors_.atFrame(first, "OUTPUT_AUDIO_SPECTRUM", e.what());
        }
    }
    try {
        separator_->startBlock(channels, numSources, T, bins);
    } catch (const std::bad_alloc&) {
        errors_.atFrame(first, "SEPARATION_TIME_LENGTH",
                        "not enough memory for a block of " + std::to_string(T) + " frames of " +
                            std::to_string(channels) + " x " + std::to_string(columns));
    }

    // X(c, t, k) = frame (first + t), channel c, bin k.
    std::complex<float>* X = separator_->inputData();
    const size_t sliceSize = size_t(channels) * size_t(T);
    for (int t = 0; t < T; ++t) {
        const int f = first + t;
        FD::RCPtr<Spectrum> frame = inputFrame(f);
        if (frame->nrows() != channels || frame->ncols() != columns)
            errors_.atFrame(first, "INPUT_AUDIO_SPECTRUM",
                            "INPUT_AUDIO_SPECTRUM frame " + std::to_string(f) + " is " +
                                std::to_string(frame->nrows()) + " x " + std::to_string(frame->ncols()) +
                                ", the block it belongs to started with " + std::to_string(channels) + " x " +
                                std::to_string(columns));
        for (int c = 0; c < channels; ++c) {
            const std::complex<float>* row = frame->row(c);
            std::complex<float>* dst = X + size_t(t) * channels + c;
            for (int k = 0; k < bins; ++k) {
                if (!std::isfinite(row[k].real()) || !std::isfinite(row[k].imag()))
                    errors_.atFrame(first, "INPUT_AUDIO_SPECTRUM",
                                    "INPUT_AUDIO_SPECTRUM frame " + std::to_string(f) +
                                        " holds a non-finite value at channel " + std::to_string(c) +
                                        ", bin " + std::to_string(k));
                dst[size_t(k) * sliceSize] = row[k];
            }
        }
    }

    try {
        separator_->separateBlock(rule_, maxIteration, &std::cout);
    } catch (const std::exception& e) {
        errors_.atFrame(first, "INPUT_AUDIO_SPECTRUM",
                        "separating the block of frames " + std::to_string(first) + " to " +
                            std::to_string(first + T - 1) + ": " + e.what());
    }

    if (keepSourceOrder || finder_) {
        try {
            followTalkers(columns);
        } catch (const std::exception& e) {
            errors_.atFrame(first, "INPUT_AUDIO_SPECTRUM",
                            "following the talkers of the block of frames " + std::to_string(first) + " to " +
                                std::to_string(first + T - 1) + ": " + e.what());
        }
    }

    // Write every frame of the block; for the later frames the host first runs calculate(),
    // which creates their zeroed output matrices.
    const std::complex<float>* Y = separator_->separatedData();
    const int N = numSources;
    const size_t ySlice = size_t(N) * size_t(T);
    for (int t = 0; t < T; ++t) {
        FD::RCPtr<Spectrum> frame = getOutput(outputID, first + t);
        for (int n = 0; n < N; ++n) {
            std::complex<float>* row = frame->row(n);
            const std::complex<float>* src = Y + size_t(t) * N + n;
            for (int k = 0; k < bins; ++k) row[k] = src[size_t(k) * ySlice];
        }
    }
}

// ---------------------------------------------------------------- helpers

FD::RCPtr<SourceSeparation::Spectrum> SourceSeparation::inputFrame(int frame) {
    FD::ObjectRef ref = getInput(inputID, frame);
    errors_.frameAs<Spectrum>(ref, frame, "INPUT_AUDIO_SPECTRUM", "Matrix<complex<float>>");
    return FD::RCPtr<Spectrum>(ref);
}

// The block's mixing; then its rows put in the order of the earlier blocks' talkers and
// the direction of each row's talker.
void SourceSeparation::followTalkers(int columns) {
    const separation::MixingView mixing = separator_->followTalkers(keepSourceOrder);
    if (!finder_) return;
    directions_ = finder_->directions(mixing, columns);
    if (keepSourceOrder) separation::holdQuietRows(mixing, directions_, heldDirections_);
}

// One list per frame of the block starting at `first`: a record per row when the
// block gave directions, none otherwise.
void SourceSeparation::writeDirections(int first) {
    FD::Buffer& buffer = *outputs[directionsID].buffer;
    for (int t = 0; t < blockLength; ++t) {
        auto* list = new FD::Vector<FD::ObjectRef>();
        for (size_t n = 0; n < directions_.size(); ++n) {
            auto* source = new FD::Source();
            const double theta = double(directions_[n].azimuth) * 3.141592653589793 / 180.0;
            source->x[0] = float(std::cos(theta));
            source->x[1] = float(std::sin(theta));
            source->power = directions_[n].score;
            source->id = int(n);
            list->push_back(FD::ObjectRef(source));
        }
        buffer[first + t] = FD::ObjectRef(list);
    }
}
