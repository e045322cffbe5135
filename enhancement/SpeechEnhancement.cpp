#include "enhancement/SpeechEnhancement.h"

#include <complex>
#include <optional>

#include "plugin/Descriptions.h"

namespace {

std::string shape(int rows, int cols) { return std::to_string(rows) + " x " + std::to_string(cols); }

}  // namespace

FD::NodeInfo SpeechEnhancement::description() {
    return {"SpeechEnhancement",
            "noise reduction per channel, optionally with harmonic regeneration",
            {{"NOISY_SPEECH_SPECTRUM", zelkbp::kSpectrumFrames, FD::kinds::spectrum}},
            {{"SPEECH_EHANCED_SPECTRUM", "Matrix<complex<float>> of the same shape", FD::kinds::spectrum}},
            {FD::oneOfParam("NOISE_REDUCTION_METHOD", "gain rule",
                             {"SPECTRAL_SUBTRACTION", "WIENER_FILTERING", "TWO_STEP_WIENER_FILTERING",
                              "MINIMUM_MEAN_SQUARE_ERROR"}),
             FD::oneOfParam("HARMONIC_REGENERATION", "\"USE\" to regenerate harmonics, \"NO\" not", {"USE", "NO"}),
             FD::boundedParam("NOISE_PERIOD", "float", "seconds of noise learned at the start",
                              FD::ParamInfo::Bound::AtLeast, 0.0),
             zelkbp::advanceParam(),
             zelkbp::samplingRateParam(),
             zelkbp::noiseUpdateParam()}};
}

SpeechEnhancement::SpeechEnhancement(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params), errors_("SpeechEnhancement", name) {
    inputID_ = addInput("NOISY_SPEECH_SPECTRUM");
    outputID_ = addOutput("SPEECH_EHANCED_SPECTRUM");

    const FD::NodeParameters p(errors_, parameters);
    noiseReductionMethod_ = p.text("NOISE_REDUCTION_METHOD");
    harmonicRegeneration_ = p.text("HARMONIC_REGENERATION");
    noisePeriod_ = p.seconds("NOISE_PERIOD");
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();

    // Seconds to frames, truncated; at least one frame.
    const std::optional<int> frames =
        FD::framesAtLeastOne(FD::framesIn(noisePeriod_, advance_, samplingRate_));
    if (!frames)
        errors_.refuse("NOISE_PERIOD", "NOISE_PERIOD of " + FD::formatNumber(noisePeriod_) +
                                           " s at ADVANCE " + std::to_string(advance_) +
                                           " and SAMPLING_RATE " + std::to_string(samplingRate_) +
                                           " is more frames than an int counts");
    noiseFrames_ = *frames;
    const std::string noiseUpdate =
        p.has("NOISE_UPDATE") ? p.oneOf("NOISE_UPDATE", enhancement::kNoiseUpdateChoices) : "NONE";

    enhancer_ = std::make_unique<enhancement::SpeechEnhancer>(
        enhancement::parseNoiseReductionMethod(noiseReductionMethod_), harmonicRegeneration_ == "USE",
        noiseFrames_, *enhancement::parseNoiseUpdate(noiseUpdate), double(advance_) / double(samplingRate_));

    inOrder = true;
}

void SpeechEnhancement::calculate(int, int count, FD::Buffer& out) {
    FD::ObjectRef in = getInput(inputID_, count);
    const auto* x = &errors_.frameAs<FD::Matrix<std::complex<float>>>(in, count, "NOISY_SPEECH_SPECTRUM",
                                                                      "Matrix<complex<float>>");

    const int rows = x->nrows(), cols = x->ncols();
    if (!started_) {
        if (harmonicRegeneration_ == "USE" && !enhancement::SpeechEnhancer::regenerationFits(cols))
            errors_.atFrame(count, "HARMONIC_REGENERATION",
                            "HARMONIC_REGENERATION needs a spectrum of 2^k+1 columns (k >= 1), got " +
                                std::to_string(cols));
        enhancer_->start(rows, cols);
        started_ = true;
    } else if (rows != enhancer_->rows() || cols != enhancer_->columns()) {
        errors_.atFrame(count, "NOISY_SPEECH_SPECTRUM",
                        "NOISY_SPEECH_SPECTRUM must keep the shape of the first frame, " +
                            shape(enhancer_->rows(), enhancer_->columns()) + ", got " + shape(rows, cols));
    }

    auto* y = new FD::Matrix<std::complex<float>>(rows, cols);
    out[count] = FD::ObjectRef(y);
    enhancer_->processFrame(count, x->data(), y->data());
}
