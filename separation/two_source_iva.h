// The iterations of the three update rules for two sources, with the 2 x 2 algebra in
// closed form and the per-frame work done once per iteration on the four real products of
// the two whitened rows, which give both the source powers and the weighted covariances:
//
//   |w^H z|^2               = |w0|^2 |z0|^2 + |w1|^2 |z1|^2 + 2 Re(w0* w1 z0 z1*)
//   U_n = sum_t a_n(t) z z^H / T,  from the sums of a_n(t) times each product
//
// With them (W's rows w_n^H, U_n weighted by A = 1 / (r + eps), C_n by B = 1 / (r^3 + eps)):
//   natural gradient     G(i, j) = w_i^H U_i w_j,           W += mu (I - G) W
//   fixed point          g(n) = mean_t A(n, t) - w_n^H C_n w_n,  w_n^H = g(n) w_n^H - w_n^H U_n
//                        (the symmetric decorrelation follows separately)
//   iterative projection w_n = (W V_n)^(-1) e_n, w_n /= sqrt(w_n^H V_n w_n), n = 0 then 1,
//                        V_n weighted by K A^2
// which are the per-bin formulas of separation/block_separation.h and auxiliary_iva.h
// rearranged; the results agree with them within float rounding.
#pragma once

#include <armadillo>
#include <vector>

namespace separation {

class TwoSourceIva {
public:
    // Takes the whitened block (2 x T x K).
    void load(const arma::cx_fcube& whitened);

    // The norms r (2 x T), A = 1 / (r + eps) and B = 1 / (r^3 + eps) for the demixing
    // matrices (2 x 2 x K); returns the contrast err, the mean of r.
    float contrast(const arma::cx_fcube& demixing, arma::fmat& norm, arma::fmat& scoreWeight,
                   arma::fmat& cubicWeight, float epsilon);

    // One update of every bin's demixing matrix from the weights of contrast().
    void naturalGradient(arma::cx_fcube& demixing, const arma::fmat& scoreWeight, float step);
    void fixedPoint(arma::cx_fcube& demixing, const arma::fmat& scoreWeight, const arma::fmat& cubicWeight);
    void iterativeProjection(arma::cx_fcube& demixing, const arma::fmat& scoreWeight);

private:
    // Weight rows made contiguous: row n of `weight` into slot (0 or 1, 2 or 3).
    void takeRows(const arma::fmat& weight, int slot);
    // sum_t weight_slot(t) z z^H / T for bin k: (U00, U11, Re U01, Im U01).
    void covariance(int k, int slot, double out[4]) const;

    int T_ = 0, K_ = 0;
    // For bin k and frame t: |z0|^2, |z1|^2, Re(z0 z1*), Im(z0 z1*) at ((4k + j) T + t).
    std::vector<float> products_;
    std::vector<float> rows_;  // 4 x T: contiguous weight rows
};

}  // namespace separation
