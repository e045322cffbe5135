#include "flow/nodes/ShortTimeSpectrum.h"

namespace FD {

ShortTimeSpectrum::ShortTimeSpectrum(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params), errors_("ShortTimeSpectrum", nodeName) {
    audioID_ = addInput("AUDIO");
    spectrumID_ = addOutput("SPECTRUM");
    const NodeParameters p(errors_, params);
    length_ = p.inRange("LENGTH", 2, 1 << 24, "at least 2");
    advance_ = p.inRange("ADVANCE", 1, length_, "1 to LENGTH (" + std::to_string(length_) + ")");
    inOrder = true;
    fft_ = std::make_unique<nodes::SpectrumAnalyzer>(length_, advance_);
}

void ShortTimeSpectrum::calculate(int, int count, Buffer& out) {
    ObjectRef ref = getInput(audioID_, count);
    const auto& in = errors_.frameAs<Matrix<float>>(ref, count, "AUDIO", "Matrix<float>");
    if (in.ncols() != length_)
        errors_.atFrame(count, "AUDIO",
                        "AUDIO frame has " + std::to_string(in.ncols()) + " samples, LENGTH is " +
                            std::to_string(length_));
    auto* spectrum = new Matrix<std::complex<float>>(in.nrows(), fft_->bins());
    out[count] = ObjectRef(spectrum);
    for (int r = 0; r < in.nrows(); ++r) fft_->forward(in.row(r), spectrum->row(r));
}

// ---------------------------------------------------------------- Resynthesis

Resynthesis::Resynthesis(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params), errors_("Resynthesis", nodeName) {
    spectrumID_ = addInput("SPECTRUM");
    audioID_ = addOutput("AUDIO");
    const NodeParameters p(errors_, params);
    length_ = p.inRange("LENGTH", 2, 1 << 24, "at least 2");
    advance_ = p.inRange("ADVANCE", 1, length_, "1 to LENGTH (" + std::to_string(length_) + ")");
    inOrder = true;
    ahead_ = nodes::overlapFrames(length_, advance_);
    readsAhead(spectrumID_, ahead_);
}

void Resynthesis::addSpectrum(int frame) {
    ObjectRef ref = getInput(spectrumID_, frame);
    const auto& in =
        errors_.frameAs<Matrix<std::complex<float>>>(ref, frame, "SPECTRUM", "Matrix<complex<float>>");
    const int bins = length_ / 2 + 1;
    if (in.ncols() != bins || in.nrows() < 1)
        errors_.atFrame(frame, "SPECTRUM",
                        "SPECTRUM frame is " + std::to_string(in.nrows()) + " x " +
                            std::to_string(in.ncols()) + ", expected LENGTH/2 + 1 = " + std::to_string(bins) +
                            " columns");
    if (!ola_) ola_ = std::make_unique<nodes::OverlapAdd>(length_, advance_, in.nrows());
    if (in.nrows() != ola_->channels())
        errors_.atFrame(frame, "SPECTRUM",
                        "SPECTRUM frame has " + std::to_string(in.nrows()) +
                            " rows, the stream started with " + std::to_string(ola_->channels()));
    ola_->add(in.data());
}

void Resynthesis::calculate(int, int count, Buffer& out) {
    // Frames are added in order: all up to count + ahead_ before frame `count` is taken.
    int next = ola_ ? ola_->added() : 0;
    for (int f = next; f <= count + ahead_; ++f) addSpectrum(f);
    auto* frame = new Matrix<float>(ola_->channels(), length_);
    out[count] = ObjectRef(frame);
    ola_->take(frame->data());
}

}  // namespace FD
