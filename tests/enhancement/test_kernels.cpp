// The real transform, the Bessel functions and the trigonometric ports.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "enhancement/ModifiedBessel.h"
#include "enhancement/phase.h"
#include "enhancement/rfft.h"
#include "tests/enhancement/enhancement_test_util.h"

using enhancement_test::bits;
using cfloat = std::complex<float>;
using V = std::vector<cfloat>;

namespace {

float fromBits(uint32_t b) {
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// The C library whose methods the ports reproduce bit for bit; elsewhere one ulp is allowed.
#if defined(__GLIBC__) && __GLIBC__ == 2 && __GLIBC_MINOR__ >= 28 && __GLIBC_MINOR__ < 40
constexpr bool kSameLibrary = true;
#else
constexpr bool kSameLibrary = false;
#endif

bool same(float got, float want) {
    if (std::isnan(want)) return std::isnan(got);
    return std::labs(long(int32_t(bits(got))) - long(int32_t(bits(want)))) <= (kSameLibrary ? 0 : 1);
}

}  // namespace

TEST(RealFft, MatchesDirectDftScalesExactlyAndRoundTrips) {
    for (int m : {2, 4, 8, 256}) {
        SCOPED_TRACE(m);
        rfft<float> fft;
        fft.setup(m, m + 1);
        std::mt19937 gen{unsigned(m)};
        std::normal_distribution<float> dist(0.0f, 1000.0f);
        std::vector<float> x(2 * size_t(m));
        double scale = 0.0, peak = 0.0;
        for (float& v : x) peak = std::max(peak, double(std::fabs(v = dist(gen))));
        // Twice the input: every intermediate doubles exactly, so every output bit does.
        for (float& v : fft.samples = x) v *= 2.0f;
        fft.analyze();
        const V doubled = fft.spectrum;
        fft.samples = x;
        fft.analyze();
        const size_t l = x.size();
        std::vector<std::complex<double>> ref(size_t(m) + 1);
        for (size_t k = 0; k <= size_t(m); ++k) {
            for (size_t n = 0; n < l; ++n)
                ref[k] += double(x[n]) * std::polar(1.0, -2.0 * M_PI * double((k * n) % l) / double(l));
            scale = std::max(scale, std::abs(ref[k]));
        }
        for (size_t k = 0; k <= size_t(m); ++k) {
            EXPECT_NEAR(fft.spectrum[k].real(), ref[k].real(), 2e-6 * scale) << k;
            EXPECT_NEAR(fft.spectrum[k].imag(), ref[k].imag(), 2e-6 * scale) << k;
            EXPECT_TRUE(bits(doubled[k].real()) == bits(2.0f * fft.spectrum[k].real()) &&
                        bits(doubled[k].imag()) == bits(2.0f * fft.spectrum[k].imag()))
                << k;
        }
        EXPECT_EQ(bits(fft.spectrum[0].imag()), 0u);  // the real bins are real to the bit
        EXPECT_EQ(bits(fft.spectrum[size_t(m)].imag()), 0u);
        fft.spectrum[0].imag(12345.0f);  // not used by the inverse
        fft.spectrum[size_t(m)].imag(-777.0f);
        fft.synthesize();
        for (size_t n = 0; n < l; ++n)
            EXPECT_NEAR(fft.samples[n], double(l) * x[n], 4e-6 * double(l) * peak) << n;
    }
}

TEST(ModifiedBessel, TableValuesWithinTheApproximationError) {
    const double table[][3] = {
        // x, I0(x), I1(x): published values
        {0.5, 1.0634833707413234, 0.25789430539089636}, {1.0, 1.2660658777520082, 0.5651591039924851},
        {2.0, 2.279585302336067, 1.5906368546373295},   {3.0, 4.880792585865024, 3.9533702174026093},
        {3.75, 9.118945860844567, 7.780015229824416},   {5.0, 27.239871823604442, 24.335642142450524},
        {7.5, 268.1613115151893, 249.58436542268802},   {10.0, 2815.716628466254, 2670.988303701255},
        {20.0, 43558282.559553534, 42454973.385127775}, {50.0, 2.9325537838493355e20, 2.9030785901035566e20},
    };
    for (const auto& row : table) {
        const double x = row[0], i0 = ModifiedBessel::besseli0(x), i1 = ModifiedBessel::besseli1(x);
        SCOPED_TRACE(x);
        const bool small = x < 3.75;  // error bounds of the two approximations
        const double scale = small ? 1.0 : std::sqrt(x) * std::exp(-x);
        EXPECT_LE(std::fabs(i0 - row[1]) * scale, small ? 1.6e-7 : 1.9e-7);
        EXPECT_LE(small ? std::fabs(i1 / x - row[2] / x) : std::fabs(i1 - row[2]) * scale,
                  small ? 8e-9 : 2.2e-7);
        EXPECT_NEAR(i0 / row[1], 1.0, 5e-7);
        EXPECT_NEAR(i1 / row[2], 1.0, 5e-7);
    }
}

TEST(Phase, TrigPortsMatchTheCLibrary) {
    std::vector<float> re, im, ph;
    std::mt19937_64 gen(17);
    for (int i = 0; i < 400000; ++i) {  // all quadrants, wide range of magnitudes and ratios
        const uint64_t r = gen();
        const uint32_t ey = 90 + uint32_t(r % 80), ex = 90 + uint32_t((r >> 8) % 80);
        im.push_back(fromBits(uint32_t((r >> 63) << 31) | (ey << 23) | uint32_t((r >> 16) & 0x7fffff)));
        re.push_back(fromBits(uint32_t(((r >> 62) & 1) << 31) | (ex << 23) | uint32_t((r >> 40) & 0x7fffff)));
    }
    const float edges[] = {0.0f,     -0.0f,     1.0f,    -1.0f,    0.4375f, 0.6875f, 1.1875f,
                           2.4375f,  0x1p-29f,  0x1p25f, 0x1p-30f, 0x1p26f, 1e-40f,  FLT_MAX,
                           INFINITY, -INFINITY, NAN,     3.0f,     1e-20f,  1e20f};
    for (float a : edges)
        for (float b : edges) {
            im.insert(im.end(), {a, -a, a, -a, std::nextafter(a, 10.0f)});
            re.insert(re.end(), {b, b, -b, -b, -b});
        }
    im.push_back(0.5f);  // odd count: the last value takes the one-value path
    re.push_back(-2.0f);
    std::vector<float> phase(re.size());
    enhancement::phaseOf(re.data(), im.data(), int(re.size()), phase.data());
    for (size_t i = 0; i < re.size(); ++i)
        ASSERT_TRUE(same(phase[i], std::atan2(im[i], re[i]))) << "y = " << im[i] << ", x = " << re[i];

    for (uint32_t b = 0; b <= 0x40490fdbu; b += 4099) ph.insert(ph.end(), {fromBits(b), -fromBits(b)});
    for (float v : {0x1p-12f, 0.75f, 0.78539819f, 1.5707964f, 2.3561945f, 3.1415927f, 1e-30f, 1e-45f})
        for (float w : {std::nextafter(v, 0.0f), v, std::nextafter(v, 4.0f)})
            if (w <= 3.1415927f) ph.insert(ph.end(), {w, -w});
    ph.push_back(-0.0f);
    std::vector<float> c(ph.size()), s(ph.size());
    enhancement::cosSinOf(ph.data(), int(ph.size()), c.data(), s.data());
    for (size_t i = 0; i < ph.size(); ++i)
        ASSERT_TRUE(same(c[i], std::cos(ph[i])) && same(s[i], std::sin(ph[i]))) << ph[i];
}
