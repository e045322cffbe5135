#include "vad/VoiceActivityDetection.h"

#include <cmath>
#include <complex>
#include <optional>
#include <sstream>

#include "plugin/Source.h"

namespace {

std::string show(float v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

}  // namespace

VoiceActivityDetection::VoiceActivityDetection(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params), detector_(1, 0.0f) {
    spectrumID_ = addInput("AUDIO_SPECTRUM");
    decisionID_ = addOutput("VAD_DECISION");

    advance_ = FD::dereference_cast<int>(parameters.get("ADVANCE"));
    samplingRate_ = FD::dereference_cast<int>(parameters.get("SAMPLING_RATE"));
    noiseDuration_ = FD::dereference_cast<float>(parameters.get("VAD_NOISE_DURATION"));
    threshold_ = FD::dereference_cast<float>(parameters.get("VAD_THRESHOLD"));
    if (parameters.exist("NOISE_UPDATE"))
        noiseUpdateName_ = FD::object_cast<FD::String>(parameters.get("NOISE_UPDATE"));

    if (advance_ <= 0) fail("ADVANCE must be a positive number of samples, got " + std::to_string(advance_));
    if (samplingRate_ <= 0)
        fail("SAMPLING_RATE must be a positive number of samples per second, got " +
             std::to_string(samplingRate_));
    if (!std::isfinite(noiseDuration_))
        fail("VAD_NOISE_DURATION must be a finite number of seconds, got " + show(noiseDuration_));
    if (!std::isfinite(threshold_)) fail("VAD_THRESHOLD must be a finite number, got " + show(threshold_));
    std::optional<int> frames = vad::noiseFrameCount(noiseDuration_, advance_, samplingRate_);
    if (!frames)
        fail("VAD_NOISE_DURATION of " + show(noiseDuration_) + " s at ADVANCE " + std::to_string(advance_) +
             " and SAMPLING_RATE " + std::to_string(samplingRate_) + " is more frames than an int counts");
    noiseFrames_ = *frames;
    const std::optional<enhancement::NoiseUpdate> noiseUpdate = enhancement::parseNoiseUpdate(noiseUpdateName_);
    if (!noiseUpdate)
        fail(std::string("NOISE_UPDATE must be ") + enhancement::kNoiseUpdateNames + ", got \"" +
             noiseUpdateName_ + "\"");
    detector_ = vad::Detector(noiseFrames_, threshold_, *noiseUpdate, double(advance_) / double(samplingRate_));

    inOrder = true;
}

void VoiceActivityDetection::calculate(int, int count, FD::Buffer& out) {
    FD::ObjectRef in = getInput(spectrumID_, count);
    const auto* spectrum = dynamic_cast<const FD::Matrix<std::complex<float>>*>(in.get());
    if (!spectrum)
        failAtFrame(count,
                    "AUDIO_SPECTRUM expects Matrix<complex<float>>, got " + FD::describeType(in.get()));

    if (!detector_.started()) {
        std::string problem = vad::spectrumShapeProblem(spectrum->nrows(), spectrum->ncols(), samplingRate_);
        if (!problem.empty()) failAtFrame(count, "AUDIO_SPECTRUM " + problem);
        columns_ = spectrum->ncols();
        detector_.start(vad::bandOf(samplingRate_, columns_));
    } else if (spectrum->nrows() < 2 || spectrum->ncols() != columns_) {
        failAtFrame(count, "AUDIO_SPECTRUM must keep 2 rows or more and the " + std::to_string(columns_) +
                               " columns of the first frame, got " + std::to_string(spectrum->nrows()) +
                               " x " + std::to_string(spectrum->ncols()));
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

void VoiceActivityDetection::fail(const std::string& what) const {
    throw new FD::GeneralException("VoiceActivityDetection \"" + name + "\": " + what);
}

void VoiceActivityDetection::failAtFrame(int count, const std::string& what) const {
    fail(what + " (frame " + std::to_string(count) + ")");
}
