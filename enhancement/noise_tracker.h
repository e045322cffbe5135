// Noise statistics that keep learning where speech is unlikely.
//
// Minima controlled recursive averaging (MCRA: I. Cohen and B. Berdugo, "Noise estimation
// by minima controlled recursive averaging for robust speech enhancement", IEEE Signal
// Processing Letters 9(1), 2002), with two parts of its successor IMCRA (I. Cohen, "Noise
// spectrum estimation in adverse environments: improved minima controlled recursive
// averaging", IEEE Trans. Speech and Audio Processing 11(5), 2003): the minimum is searched
// over subwindows, and a frame whose own power stands far above the minimum is kept out of
// the noise at once. Per bin k of every frame, with power P:
//
//   S    = a_s S + (1 - a_s) (P[k-1]/4 + P[k]/2 + P[k+1]/4)    smoothed in time and frequency
//   Smin = minimum of S over the last kMinimumWindowSeconds (subwindows of kSubwindowSeconds)
//   p    = a_p p + (1 - a_p) [S > kPresenceRatio Smin]         speech presence probability
//   w    = (1 - a_d) (1 - p), or 0 when P > kFramePresenceRatio Smin
//   x    = x + w (value - x)                                    for every noise statistic x
//
// The factors a = exp(-frame shift / time constant) come from time constants in seconds,
// so the behaviour is the same at any sampling rate and frame shift. A lasting change of
// the background is learned once the minimum window has passed over it (a rise: within
// about kMinimumWindowSeconds + kSubwindowSeconds, then the averaging; a fall: at once),
// while a sound that lasts less than the minimum window, a sustained vowel included, stays
// above the minimum and is not learned.
//
// A bin whose power is not a finite positive number (NaN, infinite, or digital silence)
// is not observed: its state is left as it was and its weight is 0, so silence and broken
// frames neither teach nor erase anything.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace enhancement {

// How the noise statistics of the enhancement and detection nodes evolve after learning.
enum class NoiseUpdate {
    None,        // learned once at the start, then fixed
    Continuous,  // keep learning where speech is unlikely (NoiseTracker)
};

// "NONE" or "CONTINUOUS" (exact, case-sensitive); empty for anything else.
std::optional<NoiseUpdate> parseNoiseUpdate(const std::string& name);
// The accepted names.
inline const std::vector<std::string> kNoiseUpdateChoices = {"NONE", "CONTINUOUS"};

class NoiseTracker {
public:
    static constexpr double kPowerSmoothingSeconds = 0.05;     // a_s: 0.82 at 10 ms frames
    static constexpr double kPresenceSmoothingSeconds = 0.01;  // a_p: 0.37 at 10 ms
    static constexpr double kNoiseSmoothingSeconds = 0.2;      // a_d: 0.95 at 10 ms
    static constexpr double kMinimumWindowSeconds = 2.2;       // longer than a sustained vowel
    static constexpr double kSubwindowSeconds = 0.1;
    // Stricter than the papers' 5 (MCRA) and 4.6 x 1.66 (IMCRA): in 5 dB SNR speech they let
    // less of the weak speech into the noise, at the price of a noise estimate slightly low in
    // stationary noise (0.75 dB on independent Gaussian bins: the loudest noise frames count
    // as speech).
    static constexpr float kPresenceRatio = 3.0f;       // S / Smin above this: speech
    static constexpr float kFramePresenceRatio = 5.0f;  // P / Smin above this: speech

    // frameSeconds: frame shift over sampling rate (> 0).
    explicit NoiseTracker(double frameSeconds = 0.01);

    // Sizes the state for frames of `bins` powers; nothing observed yet.
    void start(int bins);
    int bins() const { return bins_; }

    // Takes one frame's powers (bins() entries) into the presence estimate and sets the
    // weights for follow().
    void observe(const float* power);

    // statistic[k] += weight[k] (value[k] - statistic[k]) for every bin with a weight.
    void follow(float* statistic, const float* value) const;

    const float* weights() const { return weight_.data(); }
    const float* presence() const { return presence_.data(); }
    int subwindowFrames() const { return subwindowFrames_; }
    int subwindows() const { return subwindows_; }

private:
    void closeSubwindow();

    float powerKeep_, presenceKeep_, noiseStep_;  // a_s, a_p, 1 - a_d
    int subwindowFrames_;                         // V frames per subwindow
    int subwindows_;                              // U completed subwindows in the window
    int bins_ = 0;
    int framesInSubwindow_ = 0;
    int nextSubwindow_ = 0;
    std::vector<float> smoothed_;       // S, 0 until the bin is first observed
    std::vector<float> subwindowMin_;   // minimum of S in the current subwindow
    std::vector<float> windowMin_;      // minimum of S over the completed subwindows
    std::vector<float> subwindowMins_;  // U rows of bins: minima of the completed subwindows
    std::vector<float> presence_;       // p
    std::vector<float> weight_;         // w of the last frame observed
    std::vector<float> clean_;          // power of the frame, 0 where not observed
    std::vector<float> local_;          // frequency-smoothed power of the frame
    std::vector<float> usable_;         // 1 where the bin's power is observed, else 0
};

}  // namespace enhancement
