// Phase of complex bins: phi = atan2(im, re) in single precision, then cos phi and sin phi.
//
// The arc tangent is the classic single-precision four-quadrant method: the ratio q = |y / x|
// is reduced to |t| < 0.4375 around the breakpoints 0.5, 1, 1.5 and infinity (arctangents
// stored as a high and a low part), an odd polynomial of 11 terms in t^2 (split into two
// halves in t^4) gives atan t, and the quadrant is restored with pi split the same way.
// Written without branches, it runs on many bins at once; zeros, infinities, NaN, x = 1 and
// ratios beyond [2^-29, 2^25) go to the C library's atan2f. The result is bit-identical to
// the C library's single-precision atan2 where that library uses the same method (GNU libc
// from 2.28 to at least 2.36).
#pragma once

namespace enhancement {

// atan2(y, x) in single precision, one value.
float arcTangent2(float y, float x);

// phase[k] = atan2(im[k], re[k]) for k < count.
void phaseOf(const float* re, const float* im, int count, float* phase);

// cosOut[k] = cos(phase[k]) and sinOut[k] = sin(phase[k]) in single precision, for
// |phase[k]| <= pi (rounded up to a float), k < count. On processors with FMA and AVX2 four
// phases go at once through the C library's method for that case (the argument in double
// precision, reduced by the nearest multiple of pi/2, polynomials of degree 8 for cos and 7
// for sin with fused multiply-adds, rounded once to float), bit-identical to GNU libc's
// single-precision functions there; elsewhere the C library evaluates each phase.
void cosSinOf(const float* phase, int count, float* cosOut, float* sinOut);

}  // namespace enhancement
