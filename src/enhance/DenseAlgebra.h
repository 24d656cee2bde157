#pragma once
// Small dense linear algebra for the segment fit: Cholesky factors of symmetric positive
// matrices and block elimination of block-tridiagonal systems. Matrices are row-major.

#include <vector>

namespace nbtv {

// Factors the symmetric n x n matrix `a` into its lower Cholesky factor, in place, after adding
// `ridge` times each diagonal entry (and a tiny floor) to it. A pivot that is not positive (a
// carrier that is silent in this stretch) is made so large that its unknowns stay put.
void choleskyInPlace(double* a, int n, double ridge);

// Solve L X = B, L^T X = B and L L^T X = B for the n x columns matrix B (row-major), in place.
void forwardSubstitute(const double* factor, int n, double* b, int columns);
void backSubstitute(const double* factor, int n, double* b, int columns);
void choleskySolve(const double* factor, int n, double* b, int columns);

// The doubles side by side in one register: two everywhere, four with AVX2, eight with AVX-512.
// The functions here run at the widest this processor has unless told; every width gives the
// same results bit for bit.
enum class AlgebraWidth { Two, Four, Eight };
AlgebraWidth widestAlgebra();

// Solves the symmetric block-tridiagonal system with `blocks` diagonal blocks D[j] and coupling
// blocks C[j] (between unknowns j and j + 1), each k x k, for the right-hand side `rhs`
// (blocks x k), in place. The diagonal blocks are overwritten; the vectors are scratch. A
// `width` beyond this processor's runs at its widest.
void solveBlockTridiagonal(double* diagonal, const double* coupling, double* rhs, int k, int blocks,
                           std::vector<double>& factors, std::vector<double>& elimination,
                           AlgebraWidth width = widestAlgebra());

} // namespace nbtv
