// Detection quality of voice activity detection on speech in noise.
//
//   vad_coverage SPEECH.wav NOISE [SNR_DB] [LEAD_SECONDS] [NOISE_DURATION] [THRESHOLD...]
//
// SPEECH.wav is clean mono speech at 16 kHz. NOISE is "white" or a mono 16 kHz noise
// file (a babble, say). The program puts LEAD_SECONDS (default 1.5) of speech-free lead-in
// before the speech, adds the noise at SNR_DB (default 5) against the active speech level,
// builds two-channel 512-point Hann spectra every 160 samples on the 16-bit scale, runs
// the detector (VAD_NOISE_DURATION default 1 s) for each threshold and prints, over the
// frames after learning:
//   coverage     fraction of speech frames decided speech
//   false alarm  fraction of non-speech frames decided speech
// Speech frames are those whose clean-speech energy is within 40 dB of the loudest frame
// (coverage is also given for frames within 30 dB).
//
// The second channel hears the speech 3 samples later; white noise is independent per
// channel, and a noise file is read from two different offsets.
#include <fftw3.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "vad/vad_detector.h"

namespace {

constexpr int kRate = 16000;
constexpr int kLength = 512;
constexpr int kAdvance = 160;
constexpr int kBins = kLength / 2 + 1;
constexpr int kDelay = 3;

std::vector<float> readMono(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        std::fprintf(stderr, "vad_coverage: cannot read %s: %s\n", path.c_str(), sf_strerror(nullptr));
        std::exit(1);
    }
    if (info.samplerate != kRate) {
        std::fprintf(stderr, "vad_coverage: %s is %d Hz, needs %d Hz\n", path.c_str(), info.samplerate,
                     kRate);
        std::exit(1);
    }
    std::vector<float> all(size_t(info.frames) * size_t(info.channels));
    sf_readf_float(f, all.data(), info.frames);
    sf_close(f);
    std::vector<float> mono(size_t(info.frames));
    for (size_t i = 0; i < mono.size(); ++i) mono[i] = all[i * size_t(info.channels)] * 32768.0f;
    return mono;
}

double energy(const std::vector<float>& x, size_t from, size_t n) {
    double e = 0.0;
    for (size_t i = from; i < std::min(x.size(), from + n); ++i) e += double(x[i]) * x[i];
    return e;
}

// Spectra of a two-channel signal: frame k covers samples k * 160 ... k * 160 + 511.
class Spectra {
public:
    Spectra() : in_(kLength), out_(kBins), window_(kLength) {
        plan_ = fftwf_plan_dft_r2c_1d(kLength, in_.data(), reinterpret_cast<fftwf_complex*>(out_.data()),
                                      FFTW_ESTIMATE);
        for (int n = 0; n < kLength; ++n)
            window_[size_t(n)] = float(0.5 - 0.5 * std::cos(2.0 * M_PI * n / kLength));
    }
    ~Spectra() { fftwf_destroy_plan(plan_); }
    Spectra(const Spectra&) = delete;
    Spectra& operator=(const Spectra&) = delete;

    void frame(const std::vector<float>& x, size_t start, std::complex<float>* bins) {
        for (size_t n = 0; n < size_t(kLength); ++n)
            in_[n] = start + n < x.size() ? x[start + n] * window_[n] : 0.0f;
        fftwf_execute(plan_);
        std::copy(out_.begin(), out_.end(), bins);
        bins[kBins - 1] = 0.0f;
    }

private:
    std::vector<float> in_;
    std::vector<std::complex<float>> out_;
    std::vector<float> window_;
    fftwf_plan plan_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: vad_coverage SPEECH.wav white|NOISE.wav [SNR_DB] [LEAD_S] [NOISE_DURATION] "
                     "[THRESHOLD...]\n");
        return 2;
    }
    const std::string noiseName = argv[2];
    const double snr = argc > 3 ? std::atof(argv[3]) : 5.0;
    const double lead = argc > 4 ? std::atof(argv[4]) : 1.5;
    const float noiseDuration = argc > 5 ? float(std::atof(argv[5])) : 1.0f;
    std::vector<float> thresholds;
    for (int i = 6; i < argc; ++i) thresholds.push_back(float(std::atof(argv[i])));
    if (thresholds.empty()) thresholds = {0.5f, 0.75f, 1.0f, 1.5f, 2.0f, 3.0f};

    // Clean speech after the lead-in, on both channels.
    const std::vector<float> speech = readMono(argv[1]);
    const size_t leadSamples = size_t(lead * kRate);
    const size_t total = leadSamples + speech.size() + kLength;
    std::vector<float> clean0(total, 0.0f), clean1(total, 0.0f);
    for (size_t i = 0; i < speech.size(); ++i) {
        clean0[leadSamples + i] = speech[i];
        clean1[leadSamples + i + kDelay] = speech[i];
    }
    const int frames = int((total - kLength) / kAdvance) + 1;

    // Speech frames from the clean energy.
    std::vector<double> e(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) e[size_t(k)] = energy(clean0, size_t(k) * kAdvance, kLength);
    const double peak = *std::max_element(e.begin(), e.end());
    std::vector<char> speech40(static_cast<size_t>(frames)), speech30(static_cast<size_t>(frames));
    double active = 0.0;
    long activeSamples = 0;
    for (int k = 0; k < frames; ++k) {
        speech40[size_t(k)] = e[size_t(k)] > peak * 1e-4;
        speech30[size_t(k)] = e[size_t(k)] > peak * 1e-3;
        if (speech40[size_t(k)]) {
            active += energy(clean0, size_t(k) * kAdvance, kAdvance);
            activeSamples += kAdvance;
        }
    }
    const double speechPower = active / double(activeSamples);

    // Noise at the asked SNR against the active speech level.
    std::vector<float> noise0(total), noise1(total);
    if (noiseName == "white") {
        std::mt19937 rng(2024);
        std::normal_distribution<float> g(0.0f, 1.0f);
        for (size_t i = 0; i < total; ++i) {
            noise0[i] = g(rng);
            noise1[i] = g(rng);
        }
    } else {
        const std::vector<float> n = readMono(noiseName);
        const size_t offset = n.size() / 2;
        for (size_t i = 0; i < total; ++i) {
            noise0[i] = n[i % n.size()];
            noise1[i] = n[(i + offset) % n.size()];
        }
    }
    const double noisePower = (energy(noise0, 0, total) + energy(noise1, 0, total)) / (2.0 * double(total));
    const float gain = float(std::sqrt(speechPower / noisePower / std::pow(10.0, snr / 10.0)));
    std::vector<float> x0(total), x1(total);
    for (size_t i = 0; i < total; ++i) {
        x0[i] = clean0[i] + gain * noise0[i];
        x1[i] = clean1[i] + gain * noise1[i];
    }

    // Spectra once, then the detector per threshold.
    Spectra stft;
    std::vector<std::complex<float>> bins(size_t(frames) * 2 * kBins);
    for (int k = 0; k < frames; ++k) {
        std::complex<float>* f = bins.data() + size_t(k) * 2 * kBins;
        stft.frame(x0, size_t(k) * kAdvance, f);
        stft.frame(x1, size_t(k) * kAdvance, f + kBins);
    }
    const int learning = *vad::noiseFrameCount(noiseDuration, kAdvance, kRate);
    long nSpeech = 0, nSpeech30 = 0, nOther = 0;
    for (int k = learning + 1; k < frames; ++k) {
        nSpeech += speech40[size_t(k)];
        nSpeech30 += speech30[size_t(k)];
        nOther += !speech40[size_t(k)];
    }
    std::printf(
        "%s noise at %.1f dB SNR (active speech level), %.1f s lead-in, %.2f s learning: %d frames, "
        "%ld speech (%ld within 30 dB), %ld non-speech after learning\n",
        noiseName == "white" ? "white" : "file", snr, lead, double(noiseDuration), frames, nSpeech, nSpeech30,
        nOther);
    std::printf("  threshold  coverage  coverage(30 dB)  false alarm\n");
    for (float threshold : thresholds) {
        vad::Detector d(learning, threshold);
        d.start(vad::bandOf(kRate, kBins));
        long hit = 0, hit30 = 0, alarm = 0;
        for (int k = 0; k < frames; ++k) {
            const std::complex<float>* f = bins.data() + size_t(k) * 2 * kBins;
            const bool s = d.process(f, f + kBins);
            if (k <= learning) continue;
            hit += s && speech40[size_t(k)];
            hit30 += s && speech30[size_t(k)];
            alarm += s && !speech40[size_t(k)];
        }
        std::printf("  %9.2f  %7.1f%%  %14.1f%%  %10.1f%%\n", double(threshold),
                    100.0 * hit / double(nSpeech), 100.0 * hit30 / double(nSpeech30),
                    100.0 * alarm / double(nOther));
    }
    return 0;
}
