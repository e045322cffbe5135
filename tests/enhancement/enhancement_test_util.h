// Helpers shared by the enhancement tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

namespace enhancement_test {
inline uint32_t bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();
}  // namespace enhancement_test
