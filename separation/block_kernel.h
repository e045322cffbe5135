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
enum class UpdateRule { None, NaturalGradient, FixedPoint, AuxIva };

// "[IVA]NATURAL_GRADIENT_DESCENT_METHOD", "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION"
// and "[AuxIVA]ITERATIVE_PROJECTION", compared exactly; any other text selects no update.
UpdateRule updateRuleNamed(const std::string& text);

// The estimated mixing of a separated block as plain arrays (separation/block_alignment.h
// says how it is estimated): column n, row n's talker at each microphone in bin k,
// element (m, n, k) at m + n M + k M N; the row's energy in bin k, (n, k) at n + k N.
struct MixingView {
    int channels = 0, sources = 0, bins = 0;  // M, N, K
    const std::complex<float>* columns = nullptr;
    const float* energy = nullptr;

    std::complex<float> column(int m, int n, int k) const {
        return columns[size_t(m) + size_t(n) * channels + size_t(k) * channels * sources];
    }
    float energyOf(int n, int k) const { return energy[size_t(n) + size_t(k) * sources]; }
};

// One block's separation, as BlockSeparator does it (see there).
class BlockKernel {
public:
    virtual ~BlockKernel() = default;
    // Closed-form 2 x 2 arithmetic for the natural-gradient and fixed-point rules too.
    virtual void useClosedForms(bool on) = 0;
    virtual void startBlock(int channels, int sources, int frames, int bins) = 0;
    virtual int separateBlock(UpdateRule rule, int maxIteration, std::ostream* progress) = 0;
    // The raw input X, element (c, t, k) at c + t M + k M T, to be filled after startBlock.
    virtual std::complex<float>* inputData() = 0;
    // The result Y, element (n, t, k) at n + t N + k N T, after separateBlock.
    virtual const std::complex<float>* separatedData() const = 0;
    // After separateBlock: the block's mixing, estimated from its input and its result;
    // with `keepOrder`, the result's rows (and the mixing's columns) first put in the
    // order of the earlier blocks' talkers. The view holds until the next block.
    virtual MixingView followTalkers(bool keepOrder) = 0;
};

constexpr const char* kKernelLibrary = "libzelkbp_iva.so";
// extern "C" separation::BlockKernel* zelkbp_new_block_separator_v2(): the library's entry.
constexpr const char* kKernelEntry = "zelkbp_new_block_separator_v2";

// A new separator from the library, which the first call loads from beside the
// plug-in. Throws std::runtime_error with the reason when it cannot be loaded.
std::unique_ptr<BlockKernel> newBlockKernel();

}  // namespace separation
