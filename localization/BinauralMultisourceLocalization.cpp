#include "localization/BinauralMultisourceLocalization.h"

#include <sstream>

#include "flow/Source.h"
#include "plugin/Descriptions.h"

using localization::Band;
using localization::Peak;

namespace {

std::string number(float v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

}  // namespace

FD::NodeInfo BinauralMultisourceLocalization::description() {
    return {"BinauralMultisourceLocalization",
            "directions of several sources per frame by noise-weighted GCC-PHAT over 181 azimuths",
            {{"AUDIO_SPECTRUM", zelkbp::kSpectrumFrames}},
            {{"ESTIMATED_DOA", zelkbp::kSourceLists}},
            {{"MICS_DISTANCE", "float", "microphone spacing in centimetres"},
             {"GCCPHAT_THRESHOLD", "float", "minimum direction score reported"},
             {"SOUND_DIFFRACTION_COMPENSATION", "string", "head model: \"FREE_SPACE\" or \"SPHERICAL_HEAD\""},
             zelkbp::advanceParam(),
             zelkbp::samplingRateParam(),
             {"FREQUENCY_HIGH", "float", "upper band edge in Hz (exclusive)"},
             {"FREQUENCY_LOW", "float", "lower band edge in Hz"},
             {"NOISE_DURATION", "float", "seconds of noise learned at the start"}}};
}

BinauralMultisourceLocalization::BinauralMultisourceLocalization(std::string nodeName,
                                                                 const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params) {
    inputID_ = addInput("AUDIO_SPECTRUM");
    outputID_ = addOutput("ESTIMATED_DOA");

    micsDistance_ = FD::dereference_cast<float>(parameters.get("MICS_DISTANCE"));
    threshold_ = FD::dereference_cast<float>(parameters.get("GCCPHAT_THRESHOLD"));
    headModelText_ = FD::object_cast<FD::String>(parameters.get("SOUND_DIFFRACTION_COMPENSATION"));
    advance_ = FD::dereference_cast<int>(parameters.get("ADVANCE"));
    samplingRate_ = FD::dereference_cast<int>(parameters.get("SAMPLING_RATE"));
    frequencyHigh_ = FD::dereference_cast<float>(parameters.get("FREQUENCY_HIGH"));
    frequencyLow_ = FD::dereference_cast<float>(parameters.get("FREQUENCY_LOW"));
    noiseDuration_ = FD::dereference_cast<float>(parameters.get("NOISE_DURATION"));

    if (!localization::parseHeadModel(headModelText_, &headModel_))
        fail("SOUND_DIFFRACTION_COMPENSATION must be \"FREE_SPACE\" or \"SPHERICAL_HEAD\", got \"" +
             headModelText_ + "\"");
    if (advance_ <= 0) fail("ADVANCE must be a positive number of samples, got " + std::to_string(advance_));
    if (samplingRate_ <= 0)
        fail("SAMPLING_RATE must be a positive number of samples per second, got " +
             std::to_string(samplingRate_));
    if (!localization::noiseFrames(noiseDuration_, advance_, samplingRate_, &noiseFrames_))
        fail("NOISE_DURATION must be a finite number of seconds giving at most 2^31 frames, got " +
             number(noiseDuration_));

    inOrder = true;
}

void BinauralMultisourceLocalization::fail(const std::string& what) const {
    throw new FD::GeneralException("BinauralMultisourceLocalization \"" + name + "\": " + what);
}

void BinauralMultisourceLocalization::failAt(int count, const std::string& what) const {
    fail("frame " + std::to_string(count) + ": " + what);
}

void BinauralMultisourceLocalization::checkSpectrum(int count,
                                                    const FD::Matrix<std::complex<float>>& spectrum) {
    const int rows = spectrum.nrows();
    const int cols = spectrum.ncols();
    if (count == 0) {
        if (rows < 2 || cols < 2)
            failAt(count, "AUDIO_SPECTRUM needs at least 2 rows (microphones) and 2 columns (bins), got " +
                              std::to_string(rows) + " x " + std::to_string(cols));
        const localization::BandEdges edges =
            localization::bandEdges(frequencyLow_, frequencyHigh_, samplingRate_, cols);
        if (!localization::bandFits(edges, cols, &band_)) {
            const int df = localization::binSpacing(samplingRate_, cols);
            failAt(count, "FREQUENCY_LOW " + number(frequencyLow_) + " Hz and FREQUENCY_HIGH " +
                              number(frequencyHigh_) + " Hz give bins " + number(edges.low) + " up to " +
                              number(edges.high) + " (exclusive) at " + std::to_string(df) +
                              " Hz per bin, but AUDIO_SPECTRUM has " + std::to_string(cols) +
                              " bins: the band must be non-empty and lie within bins 0 to " +
                              std::to_string(cols - 2));
        }
        bins_ = cols;
        return;
    }
    if (rows < 2 || cols != bins_)
        failAt(count, "AUDIO_SPECTRUM changed shape: frame 0 had " + std::to_string(bins_) +
                          " bins and at least 2 rows, this frame is " + std::to_string(rows) + " x " +
                          std::to_string(cols));
}

void BinauralMultisourceLocalization::calculate(int, int count, FD::Buffer& out) {
    const FD::ObjectRef input = getInput(inputID_, count);
    auto* spectrum = dynamic_cast<FD::Matrix<std::complex<float>>*>(input.get());
    if (!spectrum)
        failAt(count,
               "AUDIO_SPECTRUM expects a Matrix<complex<float>>, got " + FD::describeType(input.get()));
    checkSpectrum(count, *spectrum);

    auto* sources = new FD::Vector<FD::ObjectRef>();
    out[count] = FD::ObjectRef(sources);

    const std::complex<float>* left = spectrum->row(0);
    const std::complex<float>* right = spectrum->row(1);

    // Noise period: frame 0 starts the sums, frames 1 .. Nn-1 add to them, frame Nn
    // turns them into means.
    if (count == 0) {
        noiseMean_.assign(size_t(bins_ - 1), 0.0f);
        return;
    }
    if (count < noiseFrames_) {
        localization::accumulateNoise(left, right, band_, noiseMean_.data());
        return;
    }
    if (count == noiseFrames_) {
        for (int k = band_.low; k < band_.high; ++k) noiseMean_[size_t(k)] /= float(count);
        return;
    }
    if (tables_.empty())
        tables_ = localization::SteeringTables(headModel_, micsDistance_, samplingRate_, bins_, band_);

    alignas(64) float score[localization::kDirectionLanes];
    localization::directionScore(tables_, left, right, noiseMean_.data(), score);
    Peak peaks[localization::kMaxPeaks];
    const int found = localization::pickPeaks(score, threshold_, peaks);
    for (int p = 0; p < found; ++p) {
        auto* source = new FD::Source();
        source->power = peaks[p].score;
        source->id = p;
        localization::directionVector(peaks[p].index, &source->x[0], &source->x[1]);
        sources->push_back(FD::ObjectRef(source));
    }
}
