#include "separation/auxiliary_iva.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace separation {

void auxiliaryFunctionUpdate(arma::cx_fmat& W, const arma::cx_fmat& Z, const arma::fmat& A, int bins) {
    const arma::uword N = W.n_rows;
    const arma::cx_mat Zd = arma::conv_to<arma::cx_mat>::from(Z);
    for (arma::uword n = 0; n < N; ++n) {
        arma::cx_mat weighted = Zd;
        // K / (r + eps)^2, the inverse of the variance per bin
        const arma::rowvec weight = double(bins) * arma::square(arma::conv_to<arma::rowvec>::from(A.row(n)));
        weighted.each_row() %= arma::conv_to<arma::cx_rowvec>::from(weight);
        const arma::cx_mat U = weighted * Zd.t() / double(Z.n_cols);
        const arma::cx_mat M = arma::conv_to<arma::cx_mat>::from(W) * U;
        arma::cx_mat inverse;
        if (!arma::pinv(inverse, M)) continue;
        const arma::cx_vec w = inverse.col(n);
        const double quad = std::real(arma::cdot(w, U * w));
        if (!(quad > 0.0) || !std::isfinite(quad)) continue;
        W.row(n) = arma::conv_to<arma::cx_frowvec>::from(arma::cx_rowvec((w / std::sqrt(quad)).t()));
    }
}

}  // namespace separation
