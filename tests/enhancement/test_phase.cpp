// The branch-free arc tangent and the four-at-once cos and sin against the C library's
// single-precision functions, whose results they must reproduce.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "enhancement/phase.h"
#include "tests/enhancement/enhancement_test_util.h"

using namespace enhancement;
using enhancement_test::bits;

namespace {

float fromBits(uint32_t b) {
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// The C library whose single-precision atan2, sin and cos use the methods reproduced here;
// elsewhere one unit in the last place is allowed.
#if defined(__GLIBC__) && __GLIBC__ == 2 && __GLIBC_MINOR__ >= 28 && __GLIBC_MINOR__ < 40
constexpr bool kSameLibrary = true;
#else
constexpr bool kSameLibrary = false;
#endif

bool same(float got, float want) {
    if (std::isnan(want)) return std::isnan(got);
    if (kSameLibrary) return bits(got) == bits(want);
    return std::labs(long(int32_t(bits(got))) - long(int32_t(bits(want)))) <= 1;
}

}  // namespace

TEST(Phase, ArcTangentMatchesTheLibraryOnEveryQuadrantAndEdge) {
    std::vector<float> re, im;
    std::mt19937_64 gen(17);
    for (int i = 0; i < 400000; ++i) {  // wide range of magnitudes and ratios, all quadrants
        const uint64_t r = gen();
        const uint32_t ey = 90 + uint32_t(r % 80), ex = 90 + uint32_t((r >> 8) % 80);
        im.push_back(fromBits(uint32_t((r >> 63) << 31) | (ey << 23) | uint32_t((r >> 16) & 0x7fffff)));
        re.push_back(fromBits(uint32_t(((r >> 62) & 1) << 31) | (ex << 23) | uint32_t((r >> 40) & 0x7fffff)));
    }
    // Breakpoints of the reduction, axes, zeros, x = 1, infinities, NaN, subnormals, extreme ratios.
    const float edges[] = {0.0f,     -0.0f,    1.0f,     -1.0f,   0.4375f,  0.6875f,   1.1875f,
                           2.4375f,  0x1p-29f, 0x1p25f,  0x1p-30f, 0x1p26f, 1e-40f,   FLT_MAX,
                           INFINITY, -INFINITY, NAN,     3.0f,    1e-20f,   1e20f};
    for (float a : edges)
        for (float b : edges)
            for (float s : {1.0f, -1.0f}) {
                im.insert(im.end(), {a * s, std::nextafter(a, 10.0f)});
                re.insert(re.end(), {b, -b});
            }
    std::vector<float> phase(re.size());
    phaseOf(re.data(), im.data(), int(re.size()), phase.data());
    for (size_t i = 0; i < re.size(); ++i)
        ASSERT_TRUE(same(phase[i], std::atan2(im[i], re[i]))) << "y = " << im[i] << ", x = " << re[i];
    EXPECT_EQ(bits(arcTangent2(0.5f, -2.0f)), bits(std::atan2(0.5f, -2.0f)));
    std::vector<float> three(3);  // an odd count ends on the one-value path
    phaseOf(re.data(), im.data(), 3, three.data());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bits(three[size_t(i)]), bits(phase[size_t(i)]));
}

TEST(Phase, CosAndSinMatchTheLibraryOverThePhaseRange) {
    std::vector<float> phase;
    for (uint32_t b = 0; b <= 0x40490fdbu; b += 4099) phase.insert(phase.end(), {fromBits(b), -fromBits(b)});
    // Quadrant and range boundaries and their neighbours, up to pi rounded up.
    for (float v : {0x1p-12f, 0.75f, 0.78539819f, 1.5707964f, 2.3561945f, 3.1415927f, 1e-30f, 1e-45f})
        for (float w : {std::nextafter(v, 0.0f), v, std::nextafter(v, 4.0f)})
            if (w <= 3.1415927f) phase.insert(phase.end(), {w, -w});
    phase.insert(phase.end(), {0.0f, -0.0f});
    std::vector<float> c(phase.size()), s(phase.size());
    cosSinOf(phase.data(), int(phase.size()), c.data(), s.data());
    for (size_t i = 0; i < phase.size(); ++i) {
        ASSERT_TRUE(same(c[i], std::cos(phase[i]))) << "cos " << phase[i];
        ASSERT_TRUE(same(s[i], std::sin(phase[i]))) << "sin " << phase[i];
    }
}
