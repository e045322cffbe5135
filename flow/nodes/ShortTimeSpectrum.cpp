#include "flow/nodes/ShortTimeSpectrum.h"

#include "flow/nodes/NodeText.h"

namespace FD {

using nodes::frameText;
using nodes::who;

ShortTimeSpectrum::ShortTimeSpectrum(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params) {
    audioID_ = addInput("AUDIO");
    spectrumID_ = addOutput("SPECTRUM");
    const std::string me = who("ShortTimeSpectrum", nodeName);
    length_ = nodes::intInRange(params, me, "LENGTH", 2, 1 << 24, "at least 2");
    advance_ =
        nodes::intInRange(params, me, "ADVANCE", 1, length_, "1 to LENGTH (" + std::to_string(length_) + ")");
    inOrder = true;
    fft_ = std::make_unique<nodes::SpectrumAnalyzer>(length_, advance_);
}

void ShortTimeSpectrum::calculate(int, int count, Buffer& out) {
    ObjectRef ref = getInput(audioID_, count);
    const std::string me = who("ShortTimeSpectrum", name) + frameText(count);
    const auto& in = nodes::frameAs<Matrix<float>>(ref, me, "AUDIO", "Matrix<float>");
    if (in.ncols() != length_)
        throw new GeneralException(me + "AUDIO frame has " + std::to_string(in.ncols()) +
                                   " samples, LENGTH is " + std::to_string(length_));
    auto* spectrum = new Matrix<std::complex<float>>(in.nrows(), fft_->bins());
    out[count] = ObjectRef(spectrum);
    for (int r = 0; r < in.nrows(); ++r) fft_->forward(in.row(r), spectrum->row(r));
}

// ---------------------------------------------------------------- Resynthesis

Resynthesis::Resynthesis(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params) {
    spectrumID_ = addInput("SPECTRUM");
    audioID_ = addOutput("AUDIO");
    const std::string me = who("Resynthesis", nodeName);
    length_ = nodes::intInRange(params, me, "LENGTH", 2, 1 << 24, "at least 2");
    advance_ =
        nodes::intInRange(params, me, "ADVANCE", 1, length_, "1 to LENGTH (" + std::to_string(length_) + ")");
    inOrder = true;
    ahead_ = nodes::overlapFrames(length_, advance_);
    inputsCache[spectrumID_].lookAhead = ahead_;
}

void Resynthesis::addSpectrum(int frame) {
    ObjectRef ref = getInput(spectrumID_, frame);
    const std::string me = who("Resynthesis", name) + frameText(frame);
    const auto& in =
        nodes::frameAs<Matrix<std::complex<float>>>(ref, me, "SPECTRUM", "Matrix<complex<float>>");
    const int bins = length_ / 2 + 1;
    if (in.ncols() != bins || in.nrows() < 1)
        throw new GeneralException(me + "SPECTRUM frame is " + std::to_string(in.nrows()) + " x " +
                                   std::to_string(in.ncols()) +
                                   ", expected LENGTH/2 + 1 = " + std::to_string(bins) + " columns");
    if (!ola_) ola_ = std::make_unique<nodes::OverlapAdd>(length_, advance_, in.nrows());
    if (in.nrows() != ola_->channels())
        throw new GeneralException(me + "SPECTRUM frame has " + std::to_string(in.nrows()) +
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
