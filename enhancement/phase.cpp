#include "enhancement/phase.h"

#include <cfloat>
#include <cmath>

#include "enhancement/simd.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace enhancement {

namespace {

// Arctangents of the breakpoints 0.5, 1, 1.5 and infinity, high and low parts.
constexpr float kAtanHi0 = 0x1.dac67p-2f;    // 0x3eed6338
constexpr float kAtanHi1 = 0x1.921fb4p-1f;   // 0x3f490fda
constexpr float kAtanHi2 = 0x1.f730bcp-1f;   // 0x3f7b985e
constexpr float kAtanHi3 = 0x1.921fb4p+0f;   // 0x3fc90fda
constexpr float kAtanLo0 = 0x1.586ed2p-28f;  // 0x31ac3769
constexpr float kAtanLo1 = 0x1.4442d0p-25f;  // 0x33222168
constexpr float kAtanLo2 = 0x1.281f68p-25f;  // 0x33140fb4
constexpr float kAtanLo3 = 0x1.4442d0p-24f;  // 0x33a22168
// atan t = t - t (s1 + s2): s1 = z (a0 + w (a2 + ...)), s2 = w (a1 + w (a3 + ...)), z = t^2, w = z^2.
constexpr float kA0 = 0x1.555556p-2f;      // 0x3eaaaaab
constexpr float kA1 = -0x1.99999ap-3f;     // 0xbe4ccccd
constexpr float kA2 = 0x1.24924ap-3f;      // 0x3e124925
constexpr float kA3 = -0x1.c71c70p-4f;     // 0xbde38e38
constexpr float kA4 = 0x1.745cdcp-4f;      // 0x3dba2e6e
constexpr float kA5 = -0x1.3b0f2ap-4f;     // 0xbd9d8795
constexpr float kA6 = 0x1.10d66ap-4f;      // 0x3d886b35
constexpr float kA7 = -0x1.dde2d6p-5f;     // 0xbd6ef16b
constexpr float kA8 = 0x1.97b4b2p-5f;      // 0x3d4bda59
constexpr float kA9 = -0x1.2b4442p-5f;     // 0xbd15a221
constexpr float kA10 = 0x1.0ad3aep-6f;     // 0x3c8569d7
constexpr float kPi = 0x1.921fb6p+1f;      // 0x40490fdb
constexpr float kPiLo = -0x1.777a5cp-24f;  // 0xb3bbbd2e

// The ratios the branch-free path takes: [2^-29, 2^25).
constexpr float kSmallestRatio = 0x1p-29f;
constexpr float kLargeRatio = 0x1p25f;

// atan2 of four lanes, with selects only. Lanes for which usesLibrary() holds get a
// meaningless value here.
inline simd::f32x4 arcTangentLanes(simd::f32x4 y, simd::f32x4 x) {
    using namespace simd;
    const f32x4 q = abs(y / x);
    // Reduction around the breakpoints, t = num / den; below 0.4375 t = q, and hi = lo = 0
    // makes the final step hi - ((t s - lo) - t) equal to t - t s.
    const i32x4 r0 = q < splat(0.4375f), r1 = q < splat(0.6875f), r2 = q < splat(1.1875f),
                r3 = q < splat(2.4375f);
    const f32x4 num0 = splat(2.0f) * q - splat(1.0f), den0 = splat(2.0f) + q;
    const f32x4 num1 = q - splat(1.0f), den1 = q + splat(1.0f);
    const f32x4 num2 = q - splat(1.5f), den2 = splat(1.0f) + splat(1.5f) * q;
    const f32x4 num = select(r0, q, select(r1, num0, select(r2, num1, select(r3, num2, splat(-1.0f)))));
    const f32x4 den = select(r0, splat(1.0f), select(r1, den0, select(r2, den1, select(r3, den2, q))));
    const f32x4 hi =
        select(r0, splat(0.0f),
               select(r1, splat(kAtanHi0),
                      select(r2, splat(kAtanHi1), select(r3, splat(kAtanHi2), splat(kAtanHi3)))));
    const f32x4 lo =
        select(r0, splat(0.0f),
               select(r1, splat(kAtanLo0),
                      select(r2, splat(kAtanLo1), select(r3, splat(kAtanLo2), splat(kAtanLo3)))));
    const f32x4 t = num / den;
    const f32x4 z = t * t;
    const f32x4 w = z * z;
    const f32x4 s1 =
        z * (splat(kA0) +
             w * (splat(kA2) + w * (splat(kA4) + w * (splat(kA6) + w * (splat(kA8) + w * splat(kA10))))));
    const f32x4 s2 =
        w * (splat(kA1) + w * (splat(kA3) + w * (splat(kA5) + w * (splat(kA7) + w * splat(kA9)))));
    const f32x4 a = hi - ((t * (s1 + s2) - lo) - t);
    const f32x4 upper = splat(kPi) - (a - splat(kPiLo));  // x < 0, y >= 0
    const f32x4 lower = (a - splat(kPiLo)) - splat(kPi);  // x < 0, y < 0
    const i32x4 yNegative = signBit(y);
    return select(signBit(x), select(yNegative, lower, upper), select(yNegative, -a, a));
}

// Lanes the branch-free path does not cover: zeros, infinities, NaN, x = 1, extreme ratios.
inline simd::i32x4 usesLibrary(simd::f32x4 y, simd::f32x4 x) {
    using namespace simd;
    const f32x4 q = abs(y / x);
    const i32x4 covered = (q >= splat(kSmallestRatio)) & (q < splat(kLargeRatio)) &
                          (abs(x) <= splat(FLT_MAX)) & (abs(y) <= splat(FLT_MAX)) & (x != splat(1.0f));
    return ~covered;
}

}  // namespace

float arcTangent2(float y, float x) {
    const simd::f32x4 yv = simd::splat(y), xv = simd::splat(x);
    return usesLibrary(yv, xv)[0] ? std::atan2(y, x) : arcTangentLanes(yv, xv)[0];
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__)

// Coefficients of the cos and sin polynomials; the second set has the cos polynomial negated,
// for the quadrants where cos changes sign.
struct TrigCoefficients {
    double c0, c1, s1, c2, s2, c3, s3, c4;
};
constexpr TrigCoefficients kTrig[2] = {
    {0x1p+0, -0x1.ffffffd0c621cp-2, -0x1.555545995a603p-3, 0x1.55553e1068f19p-5, 0x1.1107605230bc4p-7,
     -0x1.6c087e89a359dp-10, -0x1.994eb3774cf24p-13, 0x1.99343027bf8c3p-16},
    {-0x1p+0, 0x1.ffffffd0c621cp-2, -0x1.555545995a603p-3, -0x1.55553e1068f19p-5, 0x1.1107605230bc4p-7,
     0x1.6c087e89a359dp-10, -0x1.994eb3774cf24p-13, -0x1.99343027bf8c3p-16},
};
constexpr double kTwoOverPiScaled = 0x1.45f306dc9c883p+23;  // 2 / pi * 2^24
constexpr double kHalfPi = 0x1.921fb54442d18p+0;

__attribute__((target("avx2,fma"))) inline __m256d pick(__m256d mask, double second, double first) {
    return _mm256_blendv_pd(_mm256_set1_pd(first), _mm256_set1_pd(second), mask);
}

// Four phases: y in double, n = the nearest integer to y / (pi/2) (from y 2/pi 2^24 truncated,
// plus 2^23, shifted down 24 bits), r = y - n pi/2 fused. sin takes the sin polynomial of
// r sign(n) for even n and the cos polynomial of r for odd n, cos the other way round; the
// cos polynomial is negated for n & 2. Below 2^-12 cos is 1 and sin is y itself.
__attribute__((target("avx2,fma"))) void cosSinFma(const float* phase, int count, float* cosOut,
                                                   float* sinOut) {
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m128 y = _mm_loadu_ps(phase + k);
        const __m256d x = _mm256_cvtps_pd(y);
        __m128i n = _mm256_cvttpd_epi32(_mm256_mul_pd(x, _mm256_set1_pd(kTwoOverPiScaled)));
        n = _mm_srai_epi32(_mm_add_epi32(n, _mm_set1_epi32(0x800000)), 24);
        const __m256d r = _mm256_fnmadd_pd(_mm256_cvtepi32_pd(n), _mm256_set1_pd(kHalfPi), x);
        // Lane masks from n: the sign of sin (negative for n & 3 = 1 or 2), the second set of
        // coefficients (n & 2) and the odd quadrants (n & 1).
        const __m256d negative = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpeq_epi32(
            _mm_and_si128(_mm_add_epi32(n, _mm_set1_epi32(1)), _mm_set1_epi32(2)), _mm_set1_epi32(2))));
        const __m256d second = _mm256_castsi256_pd(
            _mm256_cvtepi32_epi64(_mm_cmpeq_epi32(_mm_and_si128(n, _mm_set1_epi32(2)), _mm_set1_epi32(2))));
        const __m256d odd = _mm256_castsi256_pd(
            _mm256_cvtepi32_epi64(_mm_cmpeq_epi32(_mm_and_si128(n, _mm_set1_epi32(1)), _mm_set1_epi32(1))));

        const __m256d xs =
            _mm256_mul_pd(r, _mm256_blendv_pd(_mm256_set1_pd(1.0), _mm256_set1_pd(-1.0), negative));
        const __m256d x2 = _mm256_mul_pd(r, r);
        // sin polynomial: xs + x3 s1 + x5 (s2 + x2 s3)
        const __m256d x3 = _mm256_mul_pd(xs, x2);
        const __m256d sinTail = _mm256_fmadd_pd(x2, pick(second, kTrig[1].s3, kTrig[0].s3),
                                                pick(second, kTrig[1].s2, kTrig[0].s2));
        const __m256d x5 = _mm256_mul_pd(x2, x3);
        const __m256d sinHead = _mm256_fmadd_pd(x3, pick(second, kTrig[1].s1, kTrig[0].s1), xs);
        const __m256d sinPoly = _mm256_fmadd_pd(sinTail, x5, sinHead);
        // cos polynomial: (c0 + x2 c1) + x4 c2 + x6 (c3 + x2 c4)
        const __m256d x4 = _mm256_mul_pd(x2, x2);
        const __m256d cosHead = _mm256_fmadd_pd(x2, pick(second, kTrig[1].c1, kTrig[0].c1),
                                                pick(second, kTrig[1].c0, kTrig[0].c0));
        const __m256d cosTail = _mm256_fmadd_pd(x2, pick(second, kTrig[1].c4, kTrig[0].c4),
                                                pick(second, kTrig[1].c3, kTrig[0].c3));
        const __m256d x6 = _mm256_mul_pd(x2, x4);
        const __m256d cosMid = _mm256_fmadd_pd(x4, pick(second, kTrig[1].c2, kTrig[0].c2), cosHead);
        const __m256d cosPoly = _mm256_fmadd_pd(cosTail, x6, cosMid);

        __m128 c = _mm256_cvtpd_ps(_mm256_blendv_pd(cosPoly, sinPoly, odd));
        __m128 s = _mm256_cvtpd_ps(_mm256_blendv_pd(sinPoly, cosPoly, odd));
        const __m128 tiny = _mm_cmplt_ps(_mm_andnot_ps(_mm_set1_ps(-0.0f), y), _mm_set1_ps(0x1p-12f));
        c = _mm_blendv_ps(c, _mm_set1_ps(1.0f), tiny);
        s = _mm_blendv_ps(s, y, tiny);
        _mm_storeu_ps(cosOut + k, c);
        _mm_storeu_ps(sinOut + k, s);
    }
    for (; k < count; ++k) {
        cosOut[k] = std::cos(phase[k]);
        sinOut[k] = std::sin(phase[k]);
    }
}

// The C library picks its FMA variants of sin and cos on exactly these processors.
bool fmaTrigAvailable() {
    static const bool available = __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
    return available;
}

#endif

}  // namespace

void cosSinOf(const float* phase, int count, float* cosOut, float* sinOut) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (fmaTrigAvailable()) {
        cosSinFma(phase, count, cosOut, sinOut);
        return;
    }
#endif
    for (int k = 0; k < count; ++k) {
        cosOut[k] = std::cos(phase[k]);
        sinOut[k] = std::sin(phase[k]);
    }
}

void phaseOf(const float* re, const float* im, int count, float* phase) {
    using namespace simd;
    int k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        const f32x4 y = load(im + k), x = load(re + k);
        store(phase + k, arcTangentLanes(y, x));
        const i32x4 library = usesLibrary(y, x);
        if (library[0] | library[1] | library[2] | library[3]) {
            for (int j = 0; j < kLanes; ++j)
                if (library[j]) phase[k + j] = std::atan2(im[k + j], re[k + j]);
        }
    }
    for (; k < count; ++k) phase[k] = arcTangent2(im[k], re[k]);
}

}  // namespace enhancement
