#include "localization/BinauralMultisourceLocalization.h"

#include <cmath>
#include <iostream>
#include <optional>

#include "flow/NodeSupport.h"
#include "flow/Source.h"
#include "plugin/Descriptions.h"

using FD::formatNumber;
using localization::Band;
using localization::Peak;

FD::NodeInfo BinauralMultisourceLocalization::description() {
    return {"BinauralMultisourceLocalization",
            "directions of several sources per frame by noise-weighted GCC-PHAT over 181 azimuths",
            {{"AUDIO_SPECTRUM", zelkbp::kSpectrumFrames, FD::kinds::spectrum}},
            {{"ESTIMATED_DOA", zelkbp::kSourceLists, FD::kinds::sources}},
            {FD::boundedParam("MICS_DISTANCE", "float", "microphone spacing in centimetres", FD::ParamInfo::Bound::Above, 0.0),
             {"GCCPHAT_THRESHOLD", "float", "minimum direction score reported"},
             FD::oneOfParam("SOUND_DIFFRACTION_COMPENSATION", "head model", {"FREE_SPACE", "SPHERICAL_HEAD"}),
             zelkbp::advanceParam(),
             zelkbp::samplingRateParam(),
             FD::boundedParam("FREQUENCY_HIGH", "float", "upper band edge in Hz (exclusive)", FD::ParamInfo::Bound::AtLeast, 0.0),
             FD::boundedParam("FREQUENCY_LOW", "float", "lower band edge in Hz", FD::ParamInfo::Bound::AtLeast, 0.0),
             FD::boundedParam("NOISE_DURATION", "float", "seconds of noise learned at the start", FD::ParamInfo::Bound::AtLeast, 0.0)}};
}

BinauralMultisourceLocalization::BinauralMultisourceLocalization(std::string nodeName,
                                                                 const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params), errors_("BinauralMultisourceLocalization", name) {
    inputID_ = addInput("AUDIO_SPECTRUM");
    outputID_ = addOutput("ESTIMATED_DOA");

    const FD::NodeParameters p(errors_, parameters);
    micsDistance_ = p.real("MICS_DISTANCE");
    threshold_ = p.real("GCCPHAT_THRESHOLD");
    headModelText_ = p.oneOf("SOUND_DIFFRACTION_COMPENSATION", {"FREE_SPACE", "SPHERICAL_HEAD"});
    localization::parseHeadModel(headModelText_, &headModel_);
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();
    frequencyHigh_ = p.real("FREQUENCY_HIGH");
    frequencyLow_ = p.real("FREQUENCY_LOW");
    noiseDuration_ = p.real("NOISE_DURATION");

    // Nn = max(1, trunc(NOISE_DURATION / ADVANCE * SAMPLING_RATE)).
    const std::optional<int> frames =
        FD::framesAtLeastOne(FD::framesIn(noiseDuration_, advance_, samplingRate_));
    if (!std::isfinite(noiseDuration_) || !frames)
        errors_.refuse("NOISE_DURATION",
                       "NOISE_DURATION must be a finite number of seconds giving at most 2^31 frames, got " +
                           formatNumber(noiseDuration_));
    noiseFrames_ = *frames;

    inOrder = true;
}

void BinauralMultisourceLocalization::checkSpectrum(int count,
                                                    const FD::Matrix<std::complex<float>>& spectrum) {
    const int rows = spectrum.nrows();
    const int cols = spectrum.ncols();
    if (count == 0) {
        if (rows < 2 || cols < 2)
            errors_.atFrame(count, "AUDIO_SPECTRUM",
                            "AUDIO_SPECTRUM needs at least 2 rows (microphones) and 2 columns (bins), got " +
                                std::to_string(rows) + " x " + std::to_string(cols));
        if (rows > 2)  // a microphone array recording read whole: say which pair is used
            std::cerr << errors_.label() << ": AUDIO_SPECTRUM has " << rows
                      << " channels; channels 0 and 1 are taken as the left and right microphones "
                         "(the audio source's CHANNELS, INPUT_CHANNELS in the example networks, picks others)\n";
        const localization::BandEdges edges =
            localization::bandEdges(frequencyLow_, frequencyHigh_, samplingRate_, cols);
        if (!localization::bandFits(edges, cols, &band_)) {
            const int df = localization::binSpacing(samplingRate_, cols);
            errors_.atFrame(
                count, "FREQUENCY_LOW",
                "FREQUENCY_LOW " + formatNumber(frequencyLow_) + " Hz and FREQUENCY_HIGH " +
                    formatNumber(frequencyHigh_) + " Hz give bins " + formatNumber(edges.low) + " up to " +
                    formatNumber(edges.high) + " (exclusive) at " + std::to_string(df) +
                    " Hz per bin, but AUDIO_SPECTRUM has " + std::to_string(cols) +
                    " bins: the band must be non-empty and lie within bins 0 to " + std::to_string(cols - 2));
        }
        bins_ = cols;
        return;
    }
    if (rows < 2 || cols != bins_)
        errors_.atFrame(count, "AUDIO_SPECTRUM",
                        "AUDIO_SPECTRUM changed shape: frame 0 had " + std::to_string(bins_) +
                            " bins and at least 2 rows, this frame is " + std::to_string(rows) + " x " +
                            std::to_string(cols));
}

void BinauralMultisourceLocalization::calculate(int, int count, FD::Buffer& out) {
    const FD::ObjectRef input = getInput(inputID_, count);
    auto* spectrum = &errors_.frameAs<FD::Matrix<std::complex<float>>>(input, count, "AUDIO_SPECTRUM",
                                                                       "Matrix<complex<float>>");
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
