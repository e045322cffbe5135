// The branch-free arc tangent and the four-at-once cos and sin against the C library's
// single-precision functions, whose results they must reproduce.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "enhancement/phase.h"

using namespace enhancement;

namespace {

uint32_t bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

float fromBits(uint32_t b) {
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// Distance in units in the last place between two floats of the same sign.
long ulps(float a, float b) { return std::labs(long(int32_t(bits(a))) - long(int32_t(bits(b)))); }

// The C library whose single-precision atan2, sin and cos use the methods reproduced here.
#if defined(__GLIBC__) && __GLIBC__ == 2 && __GLIBC_MINOR__ >= 28 && __GLIBC_MINOR__ < 40
constexpr bool kSameLibrary = true;
#else
constexpr bool kSameLibrary = false;
#endif

void expectSame(float got, float want, const char* what, float arg) {
    if (kSameLibrary)
        EXPECT_EQ(bits(got), bits(want)) << what << "(" << arg << "): " << got << " vs " << want;
    else
        EXPECT_LE(ulps(got, want), 1) << what << "(" << arg << ")";
}

}  // namespace

TEST(Phase, ArcTangentMatchesTheLibraryOnEveryQuadrantAndEdge) {
    std::vector<float> re, im;
    // Random bins over a wide range of magnitudes and ratios, all four quadrants.
    std::mt19937_64 gen(17);
    for (int i = 0; i < 400000; ++i) {
        const uint64_t r = gen();
        const uint32_t ey = 90 + uint32_t(r % 80), ex = 90 + uint32_t((r >> 8) % 80);
        im.push_back(fromBits(uint32_t((r >> 63) << 31) | (ey << 23) | uint32_t((r >> 16) & 0x7fffff)));
        re.push_back(fromBits(uint32_t(((r >> 62) & 1) << 31) | (ex << 23) | uint32_t((r >> 40) & 0x7fffff)));
    }
    // Ratios at the breakpoints of the reduction, exact axes, zeros, x = 1, infinities, NaN,
    // subnormals and ratios beyond the polynomial's range.
    const float edges[] = {0.0f,     -0.0f,     1.0f,    -1.0f,    0.4375f, 0.6875f, 1.1875f,
                           2.4375f,  0x1p-29f,  0x1p25f, 0x1p-30f, 0x1p26f, 1e-40f,  FLT_MAX,
                           INFINITY, -INFINITY, NAN,     3.0f,     1e-20f,  1e20f};
    for (float a : edges)
        for (float b : edges)
            for (float s : {1.0f, -1.0f}) {
                im.push_back(a * s);
                re.push_back(b);
                im.push_back(std::nextafter(a, 10.0f));
                re.push_back(-b);
            }
    std::vector<float> phase(re.size());
    phaseOf(re.data(), im.data(), int(re.size()), phase.data());
    for (size_t i = 0; i < re.size(); ++i) {
        const float want = std::atan2(im[i], re[i]);
        if (std::isnan(want)) {
            EXPECT_TRUE(std::isnan(phase[i]));
            continue;
        }
        expectSame(phase[i], want, "atan2", im[i] / re[i]);
        ASSERT_FALSE(::testing::Test::HasFailure()) << "at y = " << im[i] << ", x = " << re[i];
    }
    // The one-value form and the tail of an odd count agree with the vector path.
    EXPECT_EQ(bits(arcTangent2(0.5f, -2.0f)), bits(std::atan2(0.5f, -2.0f)));
    std::vector<float> three(3);
    phaseOf(re.data(), im.data(), 3, three.data());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bits(three[size_t(i)]), bits(phase[size_t(i)]));
}

TEST(Phase, CosAndSinMatchTheLibraryOverThePhaseRange) {
    std::vector<float> phase;
    // Every 4099th float from 0 to pi (rounded up), both signs.
    for (uint32_t b = 0; b <= 0x40490fdbu; b += 4099) {
        phase.push_back(fromBits(b));
        phase.push_back(-fromBits(b));
    }
    // Quadrant and range boundaries: 2^-12, 0.75, pi/4, pi/2, 3 pi/4, pi, and their neighbours.
    for (float v : {0x1p-12f, 0.75f, 0.78539819f, 1.5707964f, 2.3561945f, 3.1415927f, 1e-30f, 1e-45f}) {
        for (float w : {std::nextafter(v, 0.0f), v, std::nextafter(v, 4.0f)}) {
            if (w > 3.1415927f) continue;
            phase.push_back(w);
            phase.push_back(-w);
        }
    }
    phase.push_back(0.0f);
    phase.push_back(-0.0f);
    std::vector<float> c(phase.size()), s(phase.size());
    cosSinOf(phase.data(), int(phase.size()), c.data(), s.data());
    for (size_t i = 0; i < phase.size(); ++i) {
        expectSame(c[i], std::cos(phase[i]), "cos", phase[i]);
        expectSame(s[i], std::sin(phase[i]), "sin", phase[i]);
        ASSERT_FALSE(::testing::Test::HasFailure()) << "at phase " << phase[i];
    }
}
