#include "separation/block_alignment.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace separation {

namespace {

// Assignments beyond this many sources are made greedily instead of by trying all.
constexpr int kExhaustiveSources = 7;

double assignmentScore(const arma::fmat& s, const arma::fvec& rho, const std::vector<int>& order) {
    double total = 0.0;
    for (size_t c = 0; c < order.size(); ++c) total += double(rho(order[c])) * double(s(order[c], c));
    return total;
}

std::vector<int> bestAssignment(const arma::fmat& s, const arma::fvec& rho) {
    const int N = int(s.n_rows);
    std::vector<int> order(N), best;
    std::iota(order.begin(), order.end(), 0);
    if (N <= kExhaustiveSources) {
        double bestScore = -1.0;
        do {
            const double score = assignmentScore(s, rho, order);
            if (score > bestScore) bestScore = score, best = order;
        } while (std::next_permutation(order.begin(), order.end()));
        return best;
    }
    // Greedy: the strongest weighted similarity first.
    best.assign(N, -1);
    std::vector<bool> rowUsed(N, false);
    for (int step = 0; step < N; ++step) {
        double top = -1.0;
        int row = 0, channel = 0;
        for (int n = 0; n < N; ++n)
            for (int c = 0; c < N; ++c)
                if (!rowUsed[n] && best[c] < 0 && double(rho(n)) * s(n, c) > top)
                    top = double(rho(n)) * s(n, c), row = n, channel = c;
        best[channel] = row;
        rowUsed[row] = true;
    }
    return best;
}

}  // namespace

void estimateMixing(const arma::cx_fcube& X, const arma::cx_fcube& Y, BlockMixing* mixing) {
    const arma::uword M = X.n_rows, N = Y.n_rows, K = Y.n_slices;
    mixing->columns.zeros(M, N, K);
    mixing->energy.zeros(N, K);
    for (arma::uword k = 0; k < K; ++k) {
        // In double precision: Y Y^H of a nearly silent row is tiny.
        const arma::cx_mat x = arma::conv_to<arma::cx_mat>::from(X.slice(k));
        const arma::cx_mat y = arma::conv_to<arma::cx_mat>::from(Y.slice(k));
        const arma::cx_mat gram = y * y.t();
        for (arma::uword n = 0; n < N; ++n) mixing->energy(n, k) = float(gram(n, n).real());
        if (arma::abs(gram).max() == 0.0) continue;
        arma::cx_mat inverse;
        if (!arma::pinv(inverse, gram)) continue;
        mixing->columns.slice(k) = arma::conv_to<arma::cx_fmat>::from(arma::cx_mat(x * y.t() * inverse));
    }
}

void SourceOrder::prepareRows(const BlockMixing& mixing) {
    const arma::uword M = mixing.columns.n_rows, N = mixing.columns.n_cols, K = mixing.columns.n_slices;
    unit_.zeros(M, N, K);
    binWeight_.zeros(N, K);
    rowWeight_.zeros(N);
    for (arma::uword n = 0; n < N; ++n) {
        double rowEnergy = 0.0;
        for (arma::uword k = 0; k < K; ++k) {
            const arma::cx_fvec a = mixing.columns.slice(k).col(n);
            const float length = arma::norm(a);
            const float e = mixing.energy(n, k);
            if (!(length > 0.0f) || !std::isfinite(length) || !(e > 0.0f) || !std::isfinite(e)) continue;
            unit_.slice(k).col(n) = a / length;
            binWeight_(n, k) = e;
            rowEnergy += e;
        }
        if (rowEnergy > 0.0) binWeight_.row(n) /= float(rowEnergy);
        rowWeight_(n) = float(rowEnergy);
    }
    const float total = arma::accu(rowWeight_);
    if (total > 0.0f) rowWeight_ /= total;
}

std::vector<int> SourceOrder::align(const BlockMixing& mixing) {
    const int M = int(mixing.columns.n_rows), N = int(mixing.columns.n_cols), K = int(mixing.columns.n_slices);
    std::vector<int> keep(N);
    std::iota(keep.begin(), keep.end(), 0);
    lastEvidence_ = 0.0f;
    prepareRows(mixing);
    similarity_.zeros(N, N);

    const bool sameShape = reference_.n_rows == arma::uword(M) && reference_.n_cols == arma::uword(M * N) &&
                           reference_.n_slices == arma::uword(K);
    // The first block, or the first after nothing but silence, sets the references.
    if (!sameShape || !arma::any(arma::vectorise(reference_) != std::complex<float>(0.0f))) {
        reference_.zeros(M, M * N, K);
        updateReferences(keep);
        return keep;
    }

    // contribution(n, c, k) = w_n(k) u_n^H R_c u_n / tr R_c; similarity = its sum over k.
    contribution_.zeros(N, N, K);
    for (int k = 0; k < K; ++k) {
        for (int c = 0; c < N; ++c) {
            const arma::cx_fmat R = reference_.slice(k).cols(c * M, c * M + M - 1);
            const float trace = std::real(arma::trace(R));
            if (!(trace > 0.0f)) continue;
            for (int n = 0; n < N; ++n) {
                if (binWeight_(n, k) == 0.0f) continue;
                const arma::cx_fvec u = unit_.slice(k).col(n);
                contribution_(n, c, k) = binWeight_(n, k) * std::real(arma::cdot(u, R * u)) / trace;
            }
        }
        similarity_ += contribution_.slice(k);
    }

    const std::vector<int> best = bestAssignment(similarity_, rowWeight_);
    if (best != keep) {
        const float gain = clearGain(best, keep);
        if (gain > 0.0f) {
            lastEvidence_ = gain;
            updateReferences(best);
            return best;
        }
        return keep;  // too little evidence to move anything, nor to learn from
    }
    // Kept: the references learn from the block only when it clearly confirms them.
    if (N > kExhaustiveSources) {
        updateReferences(keep);
        return keep;
    }
    std::vector<int> order = keep, runnerUp;
    double top = -1.0;
    while (std::next_permutation(order.begin(), order.end())) {
        const double score = assignmentScore(similarity_, rowWeight_, order);
        if (score > top) top = score, runnerUp = order;
    }
    if (runnerUp.empty() || clearGain(keep, runnerUp) > 0.0f) updateReferences(keep);
    return keep;
}

float SourceOrder::clearGain(const std::vector<int>& better, const std::vector<int>& worse) const {
    // Per bin gain of `better` over `worse`; it must be large on the whole and agreed on
    // by the bins: noise gives gains of either sign that cancel.
    double sum = 0.0, squares = 0.0;
    for (arma::uword k = 0; k < contribution_.n_slices; ++k) {
        double d = 0.0;
        for (size_t c = 0; c < better.size(); ++c)
            d += double(rowWeight_(better[c])) * contribution_(better[c], c, k) -
                 double(rowWeight_(worse[c])) * contribution_(worse[c], c, k);
        sum += d;
        squares += d * d;
    }
    if (!(sum > kMinimumEvidence) || !(sum > kMinimumAgreement * std::sqrt(squares))) return 0.0f;
    return float(sum);
}

void SourceOrder::updateReferences(const std::vector<int>& order) {
    const int M = int(unit_.n_rows), N = int(unit_.n_cols), K = int(unit_.n_slices);
    for (int k = 0; k < K; ++k) {
        for (int c = 0; c < N; ++c) {
            const int n = order[c];
            auto R = reference_.slice(k).cols(c * M, c * M + M - 1);
            const arma::cx_fvec u = unit_.slice(k).col(n);
            R = kForgetting * R + rowWeight_(n) * (u * u.t());
        }
    }
}

void applyOrder(const std::vector<int>& order, arma::cx_fcube& Y, BlockMixing& mixing) {
    const arma::uword N = Y.n_rows, K = Y.n_slices;
    bool moved = false;
    for (arma::uword c = 0; c < N; ++c) moved = moved || order[c] != int(c);
    if (!moved) return;
    const arma::cx_fcube Y0 = Y;
    const BlockMixing m0 = mixing;
    for (arma::uword c = 0; c < N; ++c) {
        const arma::uword n = arma::uword(order[c]);
        for (arma::uword k = 0; k < K; ++k) {
            std::complex<float> scale = m0.columns(c, n, k);
            if (n == c || !(std::abs(scale) > 0.0f) || !std::isfinite(std::abs(scale))) scale = 1.0f;
            Y.slice(k).row(c) = scale * Y0.slice(k).row(n);
            mixing.columns.slice(k).col(c) = m0.columns.slice(k).col(n) / scale;
            mixing.energy(c, k) = m0.energy(n, k) * std::norm(scale);
        }
    }
}

}  // namespace separation
