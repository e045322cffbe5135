// Four-lane single-precision vectors for the per-bin kernels (GCC vector extensions).
//
// Every operation is the IEEE single-precision operation lane by lane, so a kernel written
// with these gives the same bits as its scalar form. Products and quotients whose operands
// or results may be subnormal go through double precision (mulExact, divExact): a product
// or quotient of two floats formed in double and rounded once to float is the float result
// exactly, and double precision has no subnormal slow path for such values.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstring>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace enhancement {
namespace simd {

typedef float f32x4 __attribute__((vector_size(16)));
typedef int32_t i32x4 __attribute__((vector_size(16)));
typedef double f64x4 __attribute__((vector_size(32)));

constexpr int kLanes = 4;

// Counts rounded up to whole vectors.
constexpr int paddedCount(int count) { return (count + kLanes - 1) / kLanes * kLanes; }

inline f32x4 load(const float* p) {
    f32x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, f32x4 v) { std::memcpy(p, &v, sizeof v); }
inline f32x4 splat(float x) { return f32x4{x, x, x, x}; }

inline f32x4 abs(f32x4 v) { return (f32x4)((i32x4)v & 0x7fffffff); }
inline i32x4 signBit(f32x4 v) { return (i32x4)v < 0; }
inline f32x4 select(i32x4 mask, f32x4 a, f32x4 b) { return mask ? a : b; }

inline f32x4 sqrt(f32x4 v) {
#if defined(__SSE__)
    return (f32x4)_mm_sqrt_ps((__m128)v);
#else
    return f32x4{__builtin_sqrtf(v[0]), __builtin_sqrtf(v[1]), __builtin_sqrtf(v[2]), __builtin_sqrtf(v[3])};
#endif
}

// (No function takes or returns the double vector: its calling convention depends on AVX.)
inline f32x4 mulExact(f32x4 a, f32x4 b) {
    return __builtin_convertvector(__builtin_convertvector(a, f64x4) * __builtin_convertvector(b, f64x4),
                                   f32x4);
}
inline f32x4 divExact(f32x4 a, f32x4 b) {
    return __builtin_convertvector(__builtin_convertvector(a, f64x4) / __builtin_convertvector(b, f64x4),
                                   f32x4);
}

// xi / (1 + xi) lane by lane; xi itself below the smallest normal float (where 1 + xi is 1),
// 1 for an infinite xi.
inline f32x4 wienerGain(f32x4 xi) {
    const i32x4 tiny = abs(xi) < splat(FLT_MIN);
    const f32x4 safe = select(tiny, splat(1.0f), xi);
    const f32x4 g = safe / (splat(1.0f) + safe);
    return select(tiny, xi, select(xi == splat(__builtin_inff()), splat(1.0f), g));
}

}  // namespace simd
}  // namespace enhancement
