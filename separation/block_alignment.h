// Keeping each separated talker in the same output row from block to block.
//
// Blocks are separated independently, so the rows of one block come out in an
// arbitrary order. What identifies a talker across blocks is where it stands: its
// mixing column, the transfer from the talker to the microphones in each bin. The
// separated block gives that column directly: with Y = H X per bin, the least-squares
// mixing A = X Y^H (Y Y^H)^+ is the inverse of the (projected-back) demixing matrix,
// and column n of A is talker n as heard at every microphone relative to row n.
//
// The rule (SourceOrder::align):
//   - each row n of the block has, per bin k, the unit mixing column u_n(k) = a_n / |a_n|
//     (its scale and phase carry nothing across blocks), a bin weight w_n(k), the
//     share of the row's energy in bin k, and a row weight rho_n, the row's share of
//     the block's energy (a silent talker's row holds little and votes little);
//   - each output channel c keeps a reference R_c(k) = sum over earlier blocks of
//     rho * u u^H (forgetting factor 0.7), the spatial signature of the talker it carries;
//   - similarity of row n to channel c: s(n, c) = sum_k w_n(k) u_n^H R_c u_n / tr R_c,
//     between 0 and 1;
//   - every assignment of rows to channels is scored by sum_c rho_row * s(row, c); the
//     best is taken only when it beats keeping the rows where they are clearly: by more
//     than kMinimumEvidence in all, and consistently over the bins (the sum of the
//     per-bin gains above kMinimumAgreement times their root sum of squares, which
//     gains of random sign, as from noise, do not reach). Otherwise the order stays:
//     a block whose talkers cannot be told apart is not reordered at random;
//   - the references are updated with the block's rows in their new order when the
//     decision was clear, or when the block is the first.
#pragma once

#include <armadillo>
#include <vector>

#include "separation/block_kernel.h"

namespace separation {

// The mixing of a separated block, estimated per bin.
struct BlockMixing {
    arma::cx_fcube columns;  // A, M x N x K: column n = row n's talker at each microphone
    arma::fmat energy;       // N x K: sum over the frames of |Y_k(n, t)|^2
};

// The mixing as the plain arrays the plug-in reads (valid while `mixing` is unchanged).
inline MixingView mixingView(const BlockMixing& mixing) {
    return {int(mixing.columns.n_rows), int(mixing.columns.n_cols), int(mixing.columns.n_slices),
            mixing.columns.memptr(), mixing.energy.memptr()};
}

// Least-squares mixing of the raw block X (M x T x K) given its separation Y (N x T x K).
// Bins where Y carries nothing get zero columns.
void estimateMixing(const arma::cx_fcube& X, const arma::cx_fcube& Y, BlockMixing* mixing);

class SourceOrder {
public:
    static constexpr float kForgetting = 0.7f;         // weight of the reference against one new block
    static constexpr float kMinimumEvidence = 0.05f;   // score gain a reordering needs
    static constexpr float kMinimumAgreement = 3.0f;   // and how consistently the bins agree

    // The order for this block: order[c] = the row of the block that goes to channel c.
    // Updates the references. The first block sets them and keeps its order.
    std::vector<int> align(const BlockMixing& mixing);

    // How much the chosen order scored above keeping the rows in place (0 when kept).
    float lastEvidence() const { return lastEvidence_; }
    void reset() { reference_.reset(); }

private:
    void prepareRows(const BlockMixing& mixing);
    void updateReferences(const std::vector<int>& order);
    float clearGain(const std::vector<int>& better, const std::vector<int>& worse) const;

    arma::cx_fcube reference_;  // M x M*N x K: R_c(k) for channel c in columns c*M .. c*M+M-1
    arma::cx_fcube unit_;       // M x N x K: u_n(k), zero where a_n(k) = 0
    arma::fmat binWeight_;      // N x K: w_n(k)
    arma::fvec rowWeight_;      // N: rho_n
    arma::fmat similarity_;     // N x N: s(n, c)
    arma::fcube contribution_;  // N x N x K: the share of bin k in s(n, c)
    float lastEvidence_ = 0.0f;
};

// Puts the rows of Y (N x T x K) and the columns of the mixing in `order`. A row moved
// from n to channel c is rescaled from microphone n to microphone c (multiplied by
// A(c, n) per bin), so that every channel still carries its talker as heard at its own
// microphone. Rows that stay are untouched.
void applyOrder(const std::vector<int>& order, arma::cx_fcube& Y, BlockMixing& mixing);

}  // namespace separation
