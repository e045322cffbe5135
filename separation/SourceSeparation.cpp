#include "separation/SourceSeparation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <new>
#include <sstream>

#include "plugin/Source.h"

namespace {

// Frames per block the node accepts: the host keeps a whole block of frames ahead on
// the input and on the output, so the count has to stay far from int overflow.
const int kMaxBlockLength = INT_MAX / 4;

std::string frameSuffix(int frame) { return " (frame " + std::to_string(frame) + ")"; }

std::string seconds(float s) {
    std::ostringstream out;
    out << s;
    return out.str();
}

}  // namespace

// ---------------------------------------------------------------- construction

SourceSeparation::SourceSeparation(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params) {
    inputID = addInput("INPUT_AUDIO_SPECTRUM");
    outputID = addOutput("OUTPUT_AUDIO_SPECTRUM");
    directionsID = addOutput("SOURCE_DIRECTIONS");

    iterationMethod = FD::object_cast<FD::String>(parameters.get("ITERATION_METHOD"));
    numSources = FD::dereference_cast<int>(parameters.get("NUMBER_OF_SOURCES_TO_BE_SEPARATED"));
    maxIteration = FD::dereference_cast<int>(parameters.get("MAX_ITERATION"));
    separationTimeLength = FD::dereference_cast<float>(parameters.get("SEPARATION_TIME_LENGTH"));
    advance = FD::dereference_cast<int>(parameters.get("ADVANCE"));
    samplingRate = FD::dereference_cast<int>(parameters.get("SAMPLING_RATE"));

    if (numSources < 1)
        throw new FD::GeneralException(where() +
                                       "NUMBER_OF_SOURCES_TO_BE_SEPARATED must be at least 1, got " +
                                       std::to_string(numSources));
    if (advance <= 0)
        throw new FD::GeneralException(where() + "ADVANCE must be a positive number of samples, got " +
                                       std::to_string(advance));
    if (samplingRate <= 0)
        throw new FD::GeneralException(where() + "SAMPLING_RATE must be a positive rate in Hz, got " +
                                       std::to_string(samplingRate));
    if (!std::isfinite(separationTimeLength))
        throw new FD::GeneralException(where() +
                                       "SEPARATION_TIME_LENGTH must be a finite number of seconds, got " +
                                       seconds(separationTimeLength));

    // Frames per block, rounded to nearest from a single-precision quotient.
    const float frameShift = float(advance) / float(samplingRate);
    const float frames = separationTimeLength / frameShift;
    const double rounded = double(frames) + 0.5;
    if (!(rounded >= 1.0))
        throw new FD::GeneralException(
            where() + "SEPARATION_TIME_LENGTH of " + seconds(separationTimeLength) +
            " s gives no frame per block; it must be at least half a frame shift (" +
            seconds(frameShift / 2.0f) + " s)");
    if (!(rounded < double(kMaxBlockLength) + 1.0))
        throw new FD::GeneralException(where() + "SEPARATION_TIME_LENGTH of " +
                                       seconds(separationTimeLength) + " s gives more than " +
                                       std::to_string(kMaxBlockLength) + " frames per block");
    blockLength = int(rounded);
    rule_ = separation::updateRuleNamed(iterationMethod);
    readTalkerOptions();

    inOrder = true;
    inputsCache[inputID].lookAhead = blockLength;
    outputs[outputID].lookAhead = blockLength;
    outputs[directionsID].lookAhead = blockLength;
}

void SourceSeparation::readTalkerOptions() {
    keepSourceOrder = parameters.exist("KEEP_SOURCE_ORDER") &&
                      FD::dereference_cast<bool>(parameters.get("KEEP_SOURCE_ORDER"));
    std::string model = "FREE_SPACE";
    if (parameters.exist("SOUND_DIFFRACTION_COMPENSATION"))
        model = FD::object_cast<FD::String>(parameters.get("SOUND_DIFFRACTION_COMPENSATION"));
    localization::HeadModel headModel;
    if (!localization::parseHeadModel(model, &headModel))
        throw new FD::GeneralException(where() +
                                       "SOUND_DIFFRACTION_COMPENSATION must be \"FREE_SPACE\" or "
                                       "\"SPHERICAL_HEAD\", got \"" + model + "\"");
    if (!parameters.exist("MICS_DISTANCE")) return;
    const float distance = FD::dereference_cast<float>(parameters.get("MICS_DISTANCE"));
    if (!(distance > 0.0f) || !std::isfinite(distance))
        throw new FD::GeneralException(where() + "MICS_DISTANCE must be a positive number of centimetres, got " +
                                       seconds(distance));
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

// A block start writes a block ahead on both outputs, driven by whichever consumer asks
// furthest ahead; each output keeps enough frames behind for its slower consumers.
void SourceSeparation::initialize() {
    int ahead = 0;
    for (const OutputCacheInfo& o : outputs) ahead = std::max(ahead, o.requestedAhead);
    for (OutputCacheInfo& o : outputs) o.lookBack = std::max(o.lookBack, ahead);
    FD::BufferedNode::initialize();
}

FD::ObjectRef SourceSeparation::getOutput(int outputID, int count) {
    if (outputID == directionsID && !finder_)
        throw new FD::GeneralException(where() +
                                       "SOURCE_DIRECTIONS needs MICS_DISTANCE, the microphone spacing in "
                                       "centimetres, which was not given");
    return FD::BufferedNode::getOutput(outputID, count);
}

void SourceSeparation::separateBlockAt(int first, int channels, int columns) {
    if (channels < 1)
        throw new FD::GeneralException(where() + "INPUT_AUDIO_SPECTRUM frame has no channel" +
                                       frameSuffix(first));
    if (numSources > channels)
        throw new FD::GeneralException(where() + "NUMBER_OF_SOURCES_TO_BE_SEPARATED is " +
                                       std::to_string(numSources) + " but INPUT_AUDIO_SPECTRUM has " +
                                       std::to_string(channels) + " channel" + (channels == 1 ? "" : "s") +
                                       " (1 to " + std::to_string(channels) + " sources can be separated)" +
                                       frameSuffix(first));
    const int bins = columns - 1;  // the Nyquist column stays out of the block
    if (bins < 1) return;          // nothing to separate: the output stays zero

    const int T = blockLength;
    try {
        separator_.startBlock(channels, numSources, T, bins);
    } catch (const std::bad_alloc&) {
        throw new FD::GeneralException(where() + "not enough memory for a block of " + std::to_string(T) +
                                       " frames of " + std::to_string(channels) + " x " +
                                       std::to_string(columns) + frameSuffix(first));
    }

    // X(c, t, k) = frame (first + t), channel c, bin k.
    std::complex<float>* X = separator_.inputBlock.memptr();
    const size_t sliceSize = size_t(channels) * size_t(T);
    for (int t = 0; t < T; ++t) {
        const int f = first + t;
        FD::RCPtr<Spectrum> frame = inputFrame(f);
        if (frame->nrows() != channels || frame->ncols() != columns)
            throw new FD::GeneralException(
                where() + "INPUT_AUDIO_SPECTRUM frame " + std::to_string(f) + " is " +
                std::to_string(frame->nrows()) + " x " + std::to_string(frame->ncols()) +
                ", the block it belongs to started with " + std::to_string(channels) + " x " +
                std::to_string(columns) + frameSuffix(first));
        for (int c = 0; c < channels; ++c) {
            const std::complex<float>* row = frame->row(c);
            std::complex<float>* dst = X + size_t(t) * channels + c;
            for (int k = 0; k < bins; ++k) {
                if (!std::isfinite(row[k].real()) || !std::isfinite(row[k].imag()))
                    throw new FD::GeneralException(
                        where() + "INPUT_AUDIO_SPECTRUM frame " + std::to_string(f) +
                        " holds a non-finite value at channel " + std::to_string(c) + ", bin " +
                        std::to_string(k) + frameSuffix(first));
                dst[size_t(k) * sliceSize] = row[k];
            }
        }
    }

    try {
        separator_.separateBlock(rule_, maxIteration, &std::cout);
    } catch (const std::exception& e) {
        throw new FD::GeneralException(where() + "separating the block of frames " + std::to_string(first) +
                                       " to " + std::to_string(first + T - 1) + ": " + e.what() +
                                       frameSuffix(first));
    }

    if (keepSourceOrder || finder_) followTalkers(columns);

    // Write every frame of the block; for the later frames the host first runs calculate(),
    // which creates their zeroed output matrices.
    const std::complex<float>* Y = separator_.separatedBlock.memptr();
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
    if (!dynamic_cast<Spectrum*>(ref.get()))
        throw new FD::GeneralException(
            where() + "INPUT_AUDIO_SPECTRUM expects a Matrix<complex<float>> spectrum, got " +
            (ref ? ref->className() : std::string("nothing")) + frameSuffix(frame));
    return FD::RCPtr<Spectrum>(ref);
}

// The block's mixing; then its rows put in the order of the earlier blocks' talkers and
// the direction of each row's talker.
void SourceSeparation::followTalkers(int columns) {
    separation::estimateMixing(separator_.inputBlock, separator_.separatedBlock, &mixing_);
    if (keepSourceOrder)
        separation::applyOrder(order_.align(mixing_), separator_.separatedBlock, mixing_);
    if (!finder_) return;
    directions_ = finder_->directions(mixing_, columns);
    if (keepSourceOrder) separation::holdQuietRows(mixing_, directions_, heldDirections_);
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

std::string SourceSeparation::where() const { return "SourceSeparation \"" + name + "\": "; }
