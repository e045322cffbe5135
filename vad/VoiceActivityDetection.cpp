#include "vad/VoiceActivityDetection.h"

#include <complex>
#include <optional>

#include "flow/Source.h"
#include "plugin/Descriptions.h"

FD::NodeInfo VoiceActivityDetection::description() {
    return {"VoiceActivityDetection",
            "speech / no-speech decision per frame against the learned background noise",
            {{"AUDIO_SPECTRUM", zelkbp::kSpectrumFrames, FD::kinds::spectrum}},
            {{"VAD_DECISION", "Vector<ObjectRef>: empty for no speech, one Source for speech", FD::kinds::sources}},
            {zelkbp::advanceParam(),
             zelkbp::samplingRateParam(),
             FD::boundedParam("VAD_NOISE_DURATION", "float", "seconds of noise learned at the start", FD::ParamInfo::Bound::AtLeast, 0.0),
             {"VAD_THRESHOLD", "float", "decision threshold"},
             zelkbp::noiseUpdateParam()}};
}

VoiceActivityDetection::VoiceActivityDetection(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params),
      errors_("VoiceActivityDetection", name),
      detector_(1, 0.0f) {
    spectrumID_ = addInput("AUDIO_SPECTRUM");
    decisionID_ = addOutput("VAD_DECISION");

    const FD::NodeParameters p(errors_, parameters);
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();
    noiseDuration_ = p.seconds("VAD_NOISE_DURATION");
    threshold_ = p.finite("VAD_THRESHOLD");
    // Seconds to frames, truncated; at least one frame.
    const std::optional<int> frames =
        FD::framesAtLeastOne(FD::framesIn(noiseDuration_, advance_, samplingRate_));
    const std::string noiseUpdate =
        p.has("NOISE_UPDATE") ? p.oneOf("NOISE_UPDATE", enhancement::kNoiseUpdateChoices) : "NONE";
    if (!frames)
        errors_.refuse("VAD_NOISE_DURATION", "VAD_NOISE_DURATION of " + FD::formatNumber(noiseDuration_) +
                                                 " s at ADVANCE " + std::to_string(advance_) +
                                                 " and SAMPLING_RATE " + std::to_string(samplingRate_) +
                                                 " is more frames than an int counts");
    noiseFrames_ = *frames;
    detector_ = vad::Detector(noiseFrames_, threshold_, *enhancement::parseNoiseUpdate(noiseUpdate),
                              double(advance_) / double(samplingRate_));

    inOrder = true;
}

void VoiceActivityDetection::calculate(int, int count, FD::Buffer& out) {
    FD::ObjectRef in = getInput(spectrumID_, count);
    const auto* spectrum = &errors_.frameAs<FD::Matrix<std::complex<float>>>(in, count, "AUDIO_SPECTRUM",
                                                                             "Matrix<complex<float>>");

    if (!detector_.started()) {
        std::string problem = vad::spectrumShapeProblem(spectrum->nrows(), spectrum->ncols(), samplingRate_);
        if (!problem.empty()) errors_.atFrame(count, "AUDIO_SPECTRUM", "AUDIO_SPECTRUM " + problem);
        columns_ = spectrum->ncols();
        detector_.start(vad::bandOf(samplingRate_, columns_));
    } else if (spectrum->nrows() < 2 || spectrum->ncols() != columns_) {
        errors_.atFrame(count, "AUDIO_SPECTRUM",
                        "AUDIO_SPECTRUM must keep 2 rows or more and the " + std::to_string(columns_) +
                            " columns of the first frame, got " + std::to_string(spectrum->nrows()) + " x " +
                            std::to_string(spectrum->ncols()));
    }

    const bool speech = detector_.process(spectrum->row(0), spectrum->row(1));

    auto* decision = new FD::Vector<FD::ObjectRef>();
    out[count] = FD::ObjectRef(decision);
    if (speech) {
        auto* source = new FD::Source();
        source->x[0] = 1.0f;
        source->x[1] = 0.0f;
        source->x[2] = 0.0f;
        source->power = 1.0f;
        source->id = 777;
        decision->push_back(FD::ObjectRef(source));
    }
}
