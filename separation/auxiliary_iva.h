// Auxiliary-function IVA with iterative projection (N. Ono, "Stable and fast update rules
// for independent vector analysis based on auxiliary function technique", IEEE WASPAA 2011).
//
// On whitened data Z_k (N x T per bin k) and demixing matrices W_k whose row n is w_nk^H,
// one iteration takes the norms r(n, t) = sqrt(sum_k |w_nk^H z_kt|^2) of the current
// estimate and then, source by source (n = 0 .. N-1, each using the rows already updated):
//
//   U_nk  = (1/T) sum_t  z_kt z_kt^H K / (r(n, t) + eps)^2  weighted covariance
//   w_nk  = (W_k U_nk)^(-1) e_n                              minimises the auxiliary function
//   w_nk  = w_nk / sqrt(w_nk^H U_nk w_nk)                    fixes its scale
//
// for every bin. The weight K / r^2 is the paper's G'(r) / r for G(r) = K log r, the source
// model of a spherical Gaussian whose variance r^2 / K per bin changes from frame to frame
// (the factor K keeps the scale of the outputs where it is); on two talkers it separates
// better than the Laplacian G(r) = r of the other two rules (weight 1 / r).
// Each step cannot raise the contrast, there is no step size, and it typically settles
// within 20 iterations. A row whose weighted covariance gives no usable direction (a bin
// that is silent, or has a silent component) keeps its previous value.
//
// With as many sources as channels the iterations start from the identity on the input,
// W_k = V_k^-1 for the whitening V_k (the whitening then only conditions the arithmetic);
// with fewer sources, from the N principal components (W_k = I).
#pragma once

#include <armadillo>

namespace separation {

// One iterative-projection update of the N x N demixing matrix W from the whitened bin Z
// (N x T), A = 1 / (r + eps) (N x T) and the number of bins K, for any N. Two sources take the batched kernel of
// separation/two_source_iva.h instead.
void auxiliaryFunctionUpdate(arma::cx_fmat& W, const arma::cx_fmat& Z, const arma::fmat& A, int bins);

}  // namespace separation
