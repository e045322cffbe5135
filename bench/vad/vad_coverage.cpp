// Detection quality of voice activity detection on speech in noise, with the
// detection run by flowrun on networks/vad.n (bench/vad/coverage.sh drives it).
//
//   vad_coverage mix SPEECH.wav white|NOISE.wav SNR_DB LEAD_S MIX.wav
//     Puts LEAD_S seconds of speech-free lead-in before the clean mono 16 kHz speech,
//     adds the noise at SNR_DB against the active speech level and writes the
//     two-channel mixture. The second channel hears the speech 3 samples later; white
//     noise is independent per channel, a noise file is read from two offsets.
//
//   vad_coverage score SPEECH.wav LEAD_S NOISE_DURATION SEGMENTS.txt [LABEL]
//     Prints, over the frames after learning, the fraction of speech frames inside
//     the detected segments (coverage) and of non-speech frames inside them (false
//     alarm). Frame k (10 ms from k * 0.01 s) holds samples k*160 - 352 ... k*160 + 159,
//     as the host's spectra do; it is a speech frame when its clean-speech energy is
//     within 40 dB of the loudest frame (coverage is also given for 30 dB).
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "flow/NodeSupport.h"
#include "vad/vad_detector.h"

namespace {

constexpr int kRate = 16000;
constexpr int kLength = 512;
constexpr int kAdvance = 160;
constexpr int kDelay = 3;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "vad_coverage: %s\n", what.c_str());
    std::exit(1);
}

std::vector<float> readMono(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) die("cannot read " + path + ": " + sf_strerror(nullptr));
    if (info.samplerate != kRate) die(path + " is not at 16 kHz");
    std::vector<float> all(size_t(info.frames) * size_t(info.channels));
    sf_readf_float(f, all.data(), info.frames);
    sf_close(f);
    std::vector<float> mono(size_t(info.frames));
    for (size_t i = 0; i < mono.size(); ++i) mono[i] = all[i * size_t(info.channels)];
    return mono;
}

// The speech after the lead-in (channel 0), with room for the last frame.
std::vector<float> placed(const std::vector<float>& speech, double lead) {
    std::vector<float> x(size_t(lead * kRate) + speech.size() + kLength, 0.0f);
    std::copy(speech.begin(), speech.end(), x.begin() + long(lead * kRate));
    return x;
}

// Energy of frame k: samples k*160 - 352 ... k*160 + 159.
double frameEnergy(const std::vector<float>& x, int k) {
    double e = 0.0;
    for (long i = long(k) * kAdvance - (kLength - kAdvance); i < long(k + 1) * kAdvance; ++i)
        if (i >= 0 && i < long(x.size())) e += double(x[size_t(i)]) * x[size_t(i)];
    return e;
}

int mix(const std::string& speechPath, const std::string& noiseName, double snr, double lead,
        const std::string& out) {
    const std::vector<float> clean = placed(readMono(speechPath), lead);
    const size_t total = clean.size();
    const int frames = int(total / kAdvance);

    // Active speech level: mean power over the new samples of frames within 40 dB.
    std::vector<double> e(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) e[size_t(k)] = frameEnergy(clean, k);
    const double peak = *std::max_element(e.begin(), e.end());
    double active = 0.0;
    long activeSamples = 0;
    for (int k = 0; k < frames; ++k) {
        if (e[size_t(k)] <= peak * 1e-4) continue;
        for (size_t i = size_t(k) * kAdvance; i < size_t(k + 1) * kAdvance; ++i)
            active += double(clean[i]) * clean[i];
        activeSamples += kAdvance;
    }

    std::vector<float> n0(total), n1(total);
    if (noiseName == "white") {
        std::mt19937 rng(2024);
        std::normal_distribution<float> g(0.0f, 1.0f);
        for (size_t i = 0; i < total; ++i) n0[i] = g(rng), n1[i] = g(rng);
    } else {
        const std::vector<float> n = readMono(noiseName);
        for (size_t i = 0; i < total; ++i) n0[i] = n[i % n.size()], n1[i] = n[(i + n.size() / 2) % n.size()];
    }
    double noise = 0.0;
    for (size_t i = 0; i < total; ++i) noise += double(n0[i]) * n0[i] + double(n1[i]) * n1[i];
    noise /= 2.0 * double(total);
    const double gain = std::sqrt(active / double(activeSamples) / noise / std::pow(10.0, snr / 10.0));

    std::vector<float> stereo(2 * total);
    float loudest = 0.0f;
    for (size_t i = 0; i < total; ++i) {
        stereo[2 * i] = clean[i] + float(gain) * n0[i];
        stereo[2 * i + 1] = (i >= kDelay ? clean[i - kDelay] : 0.0f) + float(gain) * n1[i];
        loudest = std::max({loudest, std::fabs(stereo[2 * i]), std::fabs(stereo[2 * i + 1])});
    }
    for (float& v : stereo) v *= 0.9f / loudest;  // the detector does not care about scale

    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(out.c_str(), SFM_WRITE, &info);
    if (!f) die("cannot write " + out + ": " + sf_strerror(nullptr));
    sf_writef_float(f, stereo.data(), sf_count_t(total));
    sf_close(f);
    return 0;
}

int score(const std::string& speechPath, double lead, float noiseDuration, const std::string& segmentsPath,
          const std::string& label) {
    const std::vector<float> clean = placed(readMono(speechPath), lead);
    const int frames = int(clean.size() / kAdvance);
    std::vector<double> e(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) e[size_t(k)] = frameEnergy(clean, k);
    const double peak = *std::max_element(e.begin(), e.end());

    std::vector<std::pair<double, double>> segments;
    std::ifstream in(segmentsPath);
    if (!in) die("cannot read " + segmentsPath);
    for (double a, b; in >> a >> b;) {
        segments.emplace_back(a, b);
        in.ignore(1 << 20, '\n');
    }
    auto detected = [&](int k) {
        const double t = (k + 0.5) * kAdvance / kRate;
        return std::any_of(segments.begin(), segments.end(),
                           [t](auto s) { return s.first <= t && t < s.second; });
    };

    const int learning = *FD::framesAtLeastOne(FD::framesIn(noiseDuration, kAdvance, kRate));
    long speech = 0, speech30 = 0, other = 0, hit = 0, hit30 = 0, alarm = 0;
    for (int k = learning + 1; k < frames; ++k) {
        const bool s40 = e[size_t(k)] > peak * 1e-4, s30 = e[size_t(k)] > peak * 1e-3, d = detected(k);
        speech += s40;
        speech30 += s30;
        other += !s40;
        hit += s40 && d;
        hit30 += s30 && d;
        alarm += !s40 && d;
    }
    std::printf(
        "  %-18s coverage %5.1f%%  (30 dB: %5.1f%%)  false alarm %5.1f%%  [%ld speech, %ld other frames]\n",
        label.c_str(), 100.0 * hit / double(speech), 100.0 * hit30 / double(speech30),
        100.0 * alarm / double(other), speech, other);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "mix" && argc == 7)
        return mix(argv[2], argv[3], std::atof(argv[4]), std::atof(argv[5]), argv[6]);
    if (mode == "score" && (argc == 6 || argc == 7))
        return score(argv[2], std::atof(argv[3]), float(std::atof(argv[4])), argv[5],
                     argc == 7 ? argv[6] : "");
    std::fprintf(stderr,
                 "usage: vad_coverage mix SPEECH.wav white|NOISE.wav SNR_DB LEAD_S MIX.wav\n"
                 "       vad_coverage score SPEECH.wav LEAD_S NOISE_DURATION SEGMENTS.txt [LABEL]\n");
    return 2;
}
