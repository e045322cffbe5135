#include "separation/SourceSeparation.h"

#include <algorithm>

#include <climits>
#include <cmath>
#include <iostream>
#include <new>
#include <optional>
#include <stdexcept>

#include "plugin/Descriptions.h"

using FD::formatNumber;

namespace {

// Frames per block the node accepts: the host keeps a whole block of frames ahead on
// the input and on the output, so the count has to stay far from int overflow.
const int kMaxBlockLength = INT_MAX / 4;

}  // namespace

// ---------------------------------------------------------------- construction

FD::NodeInfo SourceSeparation::description() {
    FD::NodeInfo info{"SourceSeparation",
            "blind separation of the multichannel spectrum by independent vector analysis over blocks",
            {{"INPUT_AUDIO_SPECTRUM", zelkbp::kSpectrumFrames}},
            {{"OUTPUT_AUDIO_SPECTRUM", "Matrix<complex<float>>, one row per separated source"}},
            {FD::oneOfParam("ITERATION_METHOD", "update rule",
                             {"[IVA]NATURAL_GRADIENT_DESCENT_METHOD",
                              "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION"}),
             {"NUMBER_OF_SOURCES_TO_BE_SEPARATED", "int", "sources to separate"},
             FD::boundedParam("MAX_ITERATION", "int", "iterations per block", FD::ParamInfo::Bound::AtLeast, 0.0),
             FD::boundedParam("SEPARATION_TIME_LENGTH", "float", "seconds per separation block", FD::ParamInfo::Bound::Above, 0.0),
             zelkbp::advanceParam(),
             zelkbp::samplingRateParam()}};
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

    const FD::NodeParameters p(errors_, parameters);
    iterationMethod = p.text("ITERATION_METHOD");
    numSources = p.inRange("NUMBER_OF_SOURCES_TO_BE_SEPARATED", 1, INT_MAX, "at least 1");
    maxIteration = p.integer("MAX_ITERATION");
    separationTimeLength = p.seconds("SEPARATION_TIME_LENGTH");
    advance = p.frameShift();
    samplingRate = p.samplingRate();

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

    inOrder = true;
    readsAhead(inputID, blockLength);
    writesAhead(outputID, blockLength);
}

SourceSeparation::~SourceSeparation() = default;

// ---------------------------------------------------------------- per frame

void SourceSeparation::calculate(int, int count, FD::Buffer& out) {
    FD::RCPtr<Spectrum> frame = inputFrame(count);
    const int channels = frame->nrows(), columns = frame->ncols();
    out[count] = FD::ObjectRef(new Spectrum(channels, columns));
    // Frames inside a block were written, or are about to be, by the frame that starts it.
    if (count % blockLength != 0) return;
    separateBlockAt(count, channels, columns);
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
