#include "enhancement/SpeechEnhancement.h"

#include <cmath>
#include <complex>
#include <optional>
#include <sstream>

namespace {

std::string show(float v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

std::string shape(int rows, int cols) { return std::to_string(rows) + " x " + std::to_string(cols); }

}  // namespace

SpeechEnhancement::SpeechEnhancement(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params) {
    inputID_ = addInput("NOISY_SPEECH_SPECTRUM");
    outputID_ = addOutput("SPEECH_EHANCED_SPECTRUM");

    noiseReductionMethod_ = FD::object_cast<FD::String>(parameters.get("NOISE_REDUCTION_METHOD"));
    harmonicRegeneration_ = FD::object_cast<FD::String>(parameters.get("HARMONIC_REGENERATION"));
    noisePeriod_ = FD::dereference_cast<float>(parameters.get("NOISE_PERIOD"));
    advance_ = FD::dereference_cast<int>(parameters.get("ADVANCE"));
    samplingRate_ = FD::dereference_cast<int>(parameters.get("SAMPLING_RATE"));
    if (parameters.exist("NOISE_UPDATE"))
        noiseUpdateName_ = FD::object_cast<FD::String>(parameters.get("NOISE_UPDATE"));

    if (advance_ <= 0) fail("ADVANCE must be a positive number of samples, got " + std::to_string(advance_));
    if (samplingRate_ <= 0)
        fail("SAMPLING_RATE must be a positive number of samples per second, got " +
             std::to_string(samplingRate_));
    if (!std::isfinite(noisePeriod_))
        fail("NOISE_PERIOD must be a finite number of seconds, got " + show(noisePeriod_));

    // Seconds to frames in single precision, division first, truncated; at least one frame.
    const float frames = noisePeriod_ / float(advance_) * float(samplingRate_);
    if (!(frames < 2147483648.0f))
        fail("NOISE_PERIOD of " + show(noisePeriod_) + " s at ADVANCE " + std::to_string(advance_) +
             " and SAMPLING_RATE " + std::to_string(samplingRate_) + " is more frames than an int counts");
    noiseFrames_ = frames < 1.0f ? 1 : int(frames);
    const std::optional<enhancement::NoiseUpdate> noiseUpdate = enhancement::parseNoiseUpdate(noiseUpdateName_);
    if (!noiseUpdate)
        fail(std::string("NOISE_UPDATE must be ") + enhancement::kNoiseUpdateNames + ", got \"" +
             noiseUpdateName_ + "\"");

    enhancer_ = std::make_unique<enhancement::SpeechEnhancer>(
        enhancement::parseNoiseReductionMethod(noiseReductionMethod_), harmonicRegeneration_ == "USE",
        noiseFrames_, *noiseUpdate, double(advance_) / double(samplingRate_));

    inOrder = true;
}

void SpeechEnhancement::calculate(int, int count, FD::Buffer& out) {
    FD::ObjectRef in = getInput(inputID_, count);
    const auto* x = dynamic_cast<const FD::Matrix<std::complex<float>>*>(in.get());
    if (!x)
        failAtFrame(
            count, "NOISY_SPEECH_SPECTRUM expects Matrix<complex<float>>, got " + FD::describeType(in.get()));

    const int rows = x->nrows(), cols = x->ncols();
    if (!started_) {
        if (harmonicRegeneration_ == "USE" && !enhancement::SpeechEnhancer::regenerationFits(cols))
            failAtFrame(count, "HARMONIC_REGENERATION needs a spectrum of 2^k+1 columns (k >= 1), got " +
                                   std::to_string(cols));
        enhancer_->start(rows, cols);
        started_ = true;
    } else if (rows != enhancer_->rows() || cols != enhancer_->columns()) {
        failAtFrame(count, "NOISY_SPEECH_SPECTRUM must keep the shape of the first frame, " +
                               shape(enhancer_->rows(), enhancer_->columns()) + ", got " + shape(rows, cols));
    }

    auto* y = new FD::Matrix<std::complex<float>>(rows, cols);
    out[count] = FD::ObjectRef(y);
    enhancer_->processFrame(count, x->data(), y->data());
}

void SpeechEnhancement::fail(const std::string& what) const {
    throw new FD::GeneralException("SpeechEnhancement \"" + name + "\": " + what);
}

void SpeechEnhancement::failAtFrame(int count, const std::string& what) const {
    fail(what + " (frame " + std::to_string(count) + ")");
}
