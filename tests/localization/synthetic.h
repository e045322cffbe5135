// Synthetic input for the localization tests: spectra with a known inter-microphone
// delay built directly per bin, and stereo recordings of white noise from a known
// direction turned into short-time spectra (sqrt-Hann window, e^(-j w t) for a delay t).
#pragma once

#include <complex>
#include <random>
#include <string>
#include <vector>

#include "flow/Types.h"
#include "plugin/Source.h"

namespace synthetic {

using Spectrum = FD::Matrix<std::complex<float>>;

// A two-row spectrum of `bins` columns whose left row is the right row delayed by
// `delaySeconds` (so a positive delay means the second microphone hears it first).
// Bin k of the right row is a random phase of magnitude `magnitude`; the top bin is 0.
// `useBin` (if set) leaves the other bins silent.
FD::RCPtr<Spectrum> delayedPair(int bins, int samplingRate, double delaySeconds, float magnitude,
                                std::mt19937& rng, const std::vector<bool>* useBin = nullptr);

// A spectrum whose every bin in both rows has magnitude `magnitude` and random phase.
FD::RCPtr<Spectrum> uncorrelated(int bins, float magnitude, std::mt19937& rng);

// A source list from azimuths in degrees (x = cos, sin; power 1; ids 0, 1, ...).
FD::ObjectRef sourceList(const std::vector<double>& degrees);

// Azimuths (degrees, from atan2 of x) of a source list.
std::vector<double> azimuths(const FD::ObjectRef& list);

// A stereo recording: white noise arriving from `azimuthDeg` (free field, microphones
// `micsDistanceCm` apart, the left one delayed by d sin(theta) / c), silent before
// `onsetSeconds`, plus independent white sensor noise `snrDb` below it on each channel.
struct Stereo {
    std::vector<double> left, right;
};
Stereo renderFreeField(double azimuthDeg, double micsDistanceCm, int samplingRate, double seconds,
                       double onsetSeconds, double snrDb, unsigned seed);

// Short-time spectra of a stereo recording: `length`-point frames `advance` apart,
// sqrt-Hann window, length / 2 + 1 bins with the top bin left 0.
std::vector<FD::ObjectRef> shortTimeSpectra(const Stereo& signal, int length, int advance);

// Writes a 16-bit stereo WAV file (samples rounded and clipped). False on failure.
bool writeWav(const std::string& path, const Stereo& signal, int samplingRate);

}  // namespace synthetic
