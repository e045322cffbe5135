// Blind separation of a block of multichannel short-time spectra by independent vector
// analysis (IVA).
//
// A block holds T consecutive frames of an M-channel spectrum, K bins per frame (bins
// 0 Hz up to, but not including, the Nyquist bin). It is separated into N <= M sources:
//
//   1. Whitening, per bin k: the block is centred over its frames, X~ = X_k - mean, and
//      reduced to its N strongest principal components, Z_k = V_k X~ with
//      V_k = pinv(sqrt(D)) E^H, where D and E hold the N largest eigenvalues and their
//      eigenvectors of the channel covariance R = X~ X~^H / T (Hermitian
//      divide-and-conquer eigen-decomposition on a double-precision copy).
//   2. Every bin starts from the identity demixing matrix W_k (N x N) (the auxiliary-function
//      rule with N = M: from W_k = V_k^-1).
//   3. Iterations. Each computes Y_k = W_k Z_k for all bins, the norm of every source over
//      all bins r(n,t) = sqrt(sum_k |Y_k(n,t)|^2) (summed in ascending k), the weights
//      A = 1 / (r + eps) and B = 1 / (r^3 + eps), and then moves every W_k by one of three
//      rules driven by the weights A, which tie the bins of a source together:
//        natural gradient  W += mu (I - (A o Y) Y^H / T) W,  with the fixed step mu = 0.1;
//        fixed point       W = diag(g) W - (A o Y) Z^H / T,  g(n) = mean_t (A - B o |Y|^2),
//                          then symmetric decorrelation W = S^+ W with S the Hermitian
//                          square root of W W^H, which makes the rows orthonormal again;
//        auxiliary function (iterative projection, separation/auxiliary_iva.h): for each
//                          source n in turn, U = (K A_n^2 o Z) Z^H / T, w_n = (W U)^-1 e_n
//                          scaled to w_n^H U w_n = 1, row n of W = w_n^H.
//      The contrast err = mean(r) is measured before the update; iterating stops once it
//      changes by less than 1e-6, or after maxIteration iterations. A progress line goes
//      to the progress stream every 50th iteration and at convergence.
//   4. Projection back: H_k = W_k V_k, its row n scaled by element (n, n) of pinv(H_k),
//      the estimated mixing matrix, so that source n comes out at the scale it has at
//      channel n; Y_k = H_k X_k with the raw (uncentred) input.
//
// Arithmetic is single precision except the eigen-decompositions. Products, Hermitian
// transposes, means and pseudo-inverses (divide-and-conquer SVD, default tolerance) are
// Armadillo's, with BLAS and LAPACK underneath. Element-wise formulas are fixed as
// |y|^2 = re*re + im*im, r = sqrtf(sum), r^3 = (r*r)*r, divisions by T are by the complex
// number (T, 0). Arrays are Armadillo cubes indexed (row, column, bin), one slice per bin.
//
// Closed forms (separation/closed_form_2x2.h, two_source_iva.h): with two channels the
// whitening, with two sources from two channels the projection back, and with two sources
// the iterations (the fixed-point decorrelation included) can use batched closed-form
// 2 x 2 arithmetic instead of Armadillo and one LAPACK call per bin. The auxiliary-function
// rule always does; the other two only when asked (useClosedForms), since their results
// then differ from the LAPACK ones in the last bits.
#pragma once

#include <armadillo>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "separation/auxiliary_iva.h"
#include "separation/block_alignment.h"
#include "separation/block_kernel.h"
#include "separation/two_source_iva.h"

namespace separation {

// The progress line for `iterations` iterations done, without the line end.
std::string progressLine(UpdateRule rule, int iterations, float error, float difference);

// A decomposition that failed, or a block that cannot be separated; the text says what
// failed and at which bin.
class SeparationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Hermitian eigen-decomposition by divide and conquer (LAPACK zheevd), eigenvalues
// ascending, with the same workspace sizes as arma::eig_sym(values, vectors, X, "dc") and so
// the same results. The difference: the matrix and the workspaces handed to LAPACK have
// kEigenSlack columns of zeros behind their end. The Haswell zgemv_n kernel of Debian 12's
// OpenBLAS (0.3.21), which zheevd's tridiagonal reduction calls, reads up to about two
// columns past the end of the matrix it is given; when that matrix is the last thing in
// its memory mapping (glibc maps blocks of 128 kB and more on their own, so from about
// 90 channels on) the read crosses into an unmapped page and the process dies of SIGSEGV.
// Returns false where eig_sym would; throws SeparationError above kMaxEigenOrder.
constexpr int kEigenSlack = 4;
constexpr int kMaxEigenOrder = 4096;  // 256 MiB of double complex per decomposition
bool hermitianEigen(arma::vec& values, arma::cx_mat& vectors, const arma::cx_mat& X);

class BlockSeparator : public BlockKernel {
public:
    static constexpr float kEpsilon = 1e-6f;            // keeps 1/r and 1/r^3 finite
    static constexpr float kInitialError = 1000000.0f;  // contrast before the first iteration
    static constexpr float kConvergence = 1e-6f;        // |change of err| that ends the iterations
    static constexpr float kStepSize = 0.1f;            // natural-gradient step mu
    static constexpr int kProgressPeriod = 50;          // iterations between progress lines

    // Sizes every array for a block of `channels` x `frames` x `bins` separated into
    // `sources` and fills them with zeros; storage is kept when the sizes repeat.
    // Throws SeparationError unless 1 <= sources <= channels, frames >= 1, bins >= 0.
    void startBlock(int channels, int sources, int frames, int bins) override;

    // Separates inputBlock (stages 1 to 4) and leaves the projected-back spectra in
    // separatedBlock. Progress lines go to `progress` when it is not null. Returns the
    // number of iterations run.
    int separateBlock(UpdateRule rule, int maxIteration, std::ostream* progress) override;

    std::complex<float>* inputData() override { return inputBlock.memptr(); }
    const std::complex<float>* separatedData() const override { return separatedBlock.memptr(); }

    // Closed-form 2 x 2 arithmetic for the natural-gradient and fixed-point rules too (off:
    // LAPACK through Armadillo, as the rules were first written).
    void useClosedForms(bool on) override { closedForms_ = on; }
    bool usesClosedForms() const { return closedForms_; }

    // The talkers of the block (estimateMixing, then with `keepOrder` SourceOrder::align and
    // applyOrder on separatedBlock), the order's references kept from block to block.
    MixingView followTalkers(bool keepOrder) override;

    // The stages on their own (separateBlock runs them in this order).
    void whiten();
    void initialiseDemixing();
    // The auxiliary-function rule with N = M: W_k = pinv(V_k), the identity on the input.
    void startFromInput(bool closedForms);
    // Steps 1 to 4 of an iteration: Y = W Z into separatedBlock, power, norm, scoreWeight
    // and cubicWeight. Returns err, the mean of the norm.
    float computeContrast();
    // One update of W_k from the quantities of computeContrast (and Z_k).
    void naturalGradientStep(int k);
    void fixedPointStep(int k);
    void auxiliaryFunctionStep(int k);
    void projectBack();

    // Closed-form counterparts of whiten() (two channels) and projectBack() (two channels,
    // two sources), and the iterations for two sources: loadTwoSourceKernel() once after the
    // whitening, then per iteration twoSourceIteration(), which does what computeContrast()
    // and the per-bin steps of the rule do (the fixed-point decorrelation included) and
    // returns err.
    void whitenClosedForm();
    void projectBackClosedForm();
    void loadTwoSourceKernel();
    float twoSourceIteration(UpdateRule rule);

    int channels() const { return M_; }
    int sources() const { return N_; }
    int frames() const { return T_; }
    int bins() const { return K_; }

    // Block arrays, kept from block to block.
    arma::cx_fcube inputBlock;         // X, M x T x K: raw input
    arma::cx_fcube whitenedBlock;      // Z, N x T x K: centred and whitened
    arma::cx_fcube whiteningMatrices;  // V, N x M x K
    arma::cx_fcube separatedBlock;     // Y, N x T x K: current estimate, then the result
    arma::cx_fcube demixingMatrices;   // W, N x N x K

    // Quantities shared by all bins within one iteration.
    arma::fcube power;       // P, N x T x K: |Y_k(n,t)|^2
    arma::fmat norm;         // r, N x T: norm of source n at frame t over all bins
    arma::fmat scoreWeight;  // A, N x T: 1 / (r + eps)
    arma::fmat cubicWeight;  // B, N x T: 1 / (r^3 + eps)

private:
    int M_ = 0, N_ = 0, T_ = 0, K_ = 0;
    bool closedForms_ = false;
    SourceOrder order_;    // the talkers of the earlier blocks
    BlockMixing talkers_;  // the last block's mixing, for followTalkers
    TwoSourceIva twoSource_;
    std::vector<std::complex<double>> covariances2x2_;  // K 2 x 2 matrices, then their eigenvectors
    std::vector<double> eigenvalues2x2_;                // 2 per bin
    std::vector<std::complex<float>> matrices2x2_;      // K 2 x 2 matrices for a batched closed form

    void fixedPointMove(int k);       // fixedPointStep without the decorrelation
    void decorrelateAllClosedForm();  // the fixed-point decorrelation of every bin, two sources
    void holdDeadComponents(int k);   // natural gradient: see deadComponent_

    // Per-bin scratch, sized once per block so that the bins allocate nothing.
    arma::cx_fmat centred_;     // M x T: X_k minus its mean over the block
    arma::cx_fmat covariance_;  // M x M
    arma::cx_mat covarianceD_;  // M x M, double precision copy
    arma::vec eigenvaluesD_;    // M, ascending
    arma::cx_mat eigenvectorsD_;
    arma::cx_fmat score_;     // N x T: A o Y_k
    arma::fmat weightTerms_;  // N x T: A - B o P_k
    arma::cx_fmat cross_;     // N x N: score times Y_k^H or Z_k^H
    arma::cx_fmat gradient_;  // N x N
    arma::cx_fmat mixing_;    // M x N: pseudo-inverse of H_k
    arma::cx_fmat demixing_;  // N x M: H_k
    // Per bin and source: 1 where row n of V_k is all zero. The column of W_k that meets
    // such a row never reaches Y, H or the output; the natural-gradient rule would still
    // grow it by 1.1 per iteration until it overflows and turns the block into NaN, so
    // that column is held at its starting value instead.
    std::vector<unsigned char> deadComponent_;
};

// Symmetric decorrelation of one demixing matrix: W = pinv(S) W with
// S = E sqrt(D) pinv(E) from the eigen-decomposition of W W^H. `bin` names the bin in
// errors.
void symmetricDecorrelation(arma::cx_fmat& W, int bin);

}  // namespace separation
