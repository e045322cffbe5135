// Closed-form arithmetic on 2 x 2 complex matrices, applied to a whole batch at once (one
// matrix per frequency bin): the Hermitian eigen-decomposition, the pseudo-inverse of the
// Hermitian square root and the Moore-Penrose pseudo-inverse. For two sources these replace
// one LAPACK call per bin and iteration, whose fixed cost dwarfs the arithmetic of a 2 x 2
// matrix.
//
// Matrices are stored column-major, four consecutive complex values each, like the slices of
// an Armadillo cube with 2 x 2 slices, so a cube's memory can be passed as it is. The work is
// done in double precision; results agree with LAPACK's within rounding (eigenvalues to a
// few units of 1e-16 of the largest one; pseudo-inverses to the rounding of their float
// result), except that eigenvectors may differ by a unit phase factor per column.
//
// Rank decisions follow Armadillo's pinv() with its default tolerance for a 2 x 2 float
// matrix: a singular value below 2 * FLT_EPSILON times the largest counts as zero.
#pragma once

#include <complex>

namespace separation {

// Eigenvalues (ascending) and unit eigenvectors of Hermitian 2 x 2 matrices. Only the upper
// triangle and the real parts of the diagonal are read, as LAPACK's zheevd with 'U' does.
// `values` receives 2 per matrix, `vectors` 4 per matrix (column j is the eigenvector of
// value j). A multiple of the identity gets the identity as eigenvectors.
void hermitianEigen2x2(const std::complex<double>* matrices, int count, double* values,
                       std::complex<double>* vectors);

// For Hermitian positive semi-definite Q (upper triangle read): pinv(Q^(1/2)), the
// pseudo-inverse of the Hermitian square root. An eigenvalue whose square root is below the
// pinv tolerance of the square root, negative ones included, contributes nothing.
void inverseSquareRootHermitian2x2(const std::complex<float>* matrices, int count, std::complex<float>* out);

// Moore-Penrose pseudo-inverses of general complex 2 x 2 matrices. Full rank gives the
// inverse; a matrix whose smaller singular value falls below the tolerance gives the inverse
// of its rank-one part; the zero matrix gives zero.
void pseudoInverse2x2(const std::complex<float>* matrices, int count, std::complex<float>* out);

}  // namespace separation
