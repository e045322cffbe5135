// What the SourceSeparation node needs of the block separator. The separator
// (block_separation.h, with Armadillo, LAPACK and BLAS underneath) is built into
// libzelkbp_iva.so beside the plug-in and loaded by the first block a node
// separates: networks without separation never load the linear-algebra libraries.
#pragma once

#include <complex>
#include <iosfwd>
#include <memory>
#include <string>

namespace separation {

// The update rule applied to the demixing matrices.
enum class UpdateRule { None, NaturalGradient, FixedPoint };

// "[IVA]NATURAL_GRADIENT_DESCENT_METHOD" and "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION",
// compared exactly; any other text selects no update.
UpdateRule updateRuleNamed(const std::string& text);

// One block's separation, as BlockSeparator does it (see there).
class BlockKernel {
public:
    virtual ~BlockKernel() = default;
    virtual void startBlock(int channels, int sources, int frames, int bins) = 0;
    virtual int separateBlock(UpdateRule rule, int maxIteration, std::ostream* progress) = 0;
    // The raw input X, element (c, t, k) at c + t M + k M T, to be filled after startBlock.
    virtual std::complex<float>* inputData() = 0;
    // The result Y, element (n, t, k) at n + t N + k N T, after separateBlock.
    virtual const std::complex<float>* separatedData() const = 0;
};

constexpr const char* kKernelLibrary = "libzelkbp_iva.so";
// extern "C" separation::BlockKernel* zelkbp_new_block_separator_v1(): the library's entry.
constexpr const char* kKernelEntry = "zelkbp_new_block_separator_v1";

// A new separator from the library, which the first call loads from beside the
// plug-in. Throws std::runtime_error with the reason when it cannot be loaded.
std::unique_ptr<BlockKernel> newBlockKernel();

}  // namespace separation
