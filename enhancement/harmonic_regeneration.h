// Harmonic regeneration of one enhanced spectrum row.
//
// Noise reduction attenuates the weak harmonics of voiced speech together with the noise.
// The enhanced row Y (M bins, bin M taken as zero) is taken to the time domain with the real
// transform of length L = 2M, half-wave rectified (negative samples set to zero, the others
// scaled by 1 / L), which recreates harmonics of the fundamental, and transformed back to H.
// Per bin the regenerated a priori SNR mixes the gain rule's estimate with H,
//   xi_h = (A^2 rho + (1 - rho) |H|^2) / lambda,
// and the Wiener gain xi_h / (1 + xi_h) (epsilon where xi_h < 0) is applied to the noisy
// magnitude with the noisy phase. rho and A are the gain and magnitude the gain rule gave
// the bin, lambda its learned noise power. Single precision throughout.
//
// Beyond the plain formula: an infinite xi_h (no noise learned) gives the gain 1, and a xi_h
// that is not a number gets epsilon like a negative one, so no bin becomes NaN.
#pragma once

#include <complex>

#include "enhancement/rfft.h"

namespace enhancement {

struct RegenerationRow {
    int bins;                // M, a power of two >= 2
    const float* power;      // noisy power P of bins 0 .. M-1
    const float* magnitude;  // sqrt(P), 0 for unusable bins
    const float* cosPhase;   // cos and sin of the noisy phase atan2(im, re)
    const float* sinPhase;
    const float* gain;       // rho, from the gain rule
    const float* amplitude;  // A, from the gain rule
    const float* noise;      // lambda
};

// Overwrites y[0 .. M-1] (the enhanced row on entry) with the regenerated row; y[M] is not
// touched. `fft` is set up for M on every call (a no-op when it already is).
void regenerateHarmonics(rfft<float>& fft, const RegenerationRow& row, std::complex<float>* y);

// The regenerated gain for a priori SNR xi_h.
float regeneratedGain(float xi);

// y[k] = (amplitude[k] cos[k], amplitude[k] sin[k]) for k < count.
void polarToBins(int count, const float* amplitude, const float* cosPhase, const float* sinPhase,
                 std::complex<float>* y);

}  // namespace enhancement
