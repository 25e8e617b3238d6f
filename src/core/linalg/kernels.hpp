// Product kernels, dot product and Euclidean norm.
//
// The order of floating-point operations is fixed: every sum runs from index
// 0 upward starting at 0.0, so results are bit-reproducible across builds and
// thread counts. Inner loops run down contiguous columns; the axpy-shaped
// loops vectorise without changing any rounding, the reductions stay serial.
// Inputs are views, so a block of a larger matrix is read in place with the
// same arithmetic as its copy.
// Shape faults are internal invariant violations ("assertion `left == right`
// failed: gemm: A.cols != B.rows ...").
#pragma once

#include <span>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

// C <- alpha*A*B + beta*C, C supplied at its final shape. Terms with
// B(k, j)*alpha == 0 are skipped, so non-finite entries of A in column k do
// not reach C(., j). beta == 0 discards C's old contents (even NaN). C must
// not overlap A or B.
// Register-blocked (tiles of C held across the whole k loop), with the same
// sums as gemm_columns.
void gemm(const MatView& A, const MatView& B, Mat& C, double alpha, double beta);

// The same product one column of C at a time by axpy updates: the simple
// form, kept as the reference gemm is checked against.
void gemm_columns(const MatView& A, const MatView& B, Mat& C, double alpha, double beta);

// y <- alpha*A*x + beta*y; terms with x[j]*alpha == 0 are skipped.
void gemv(const MatView& A, std::span<const double> x, std::span<double> y, double alpha,
          double beta);

// y <- alpha*A^T*x + beta*y; with beta == 0 the old y is not read. No
// shortcut for alpha == 0 (a NaN in A still reaches y).
void gemv_t(const MatView& A, std::span<const double> x, std::span<double> y, double alpha,
            double beta);

// A*x as a new vector (gemv with alpha 1, beta 0 into zeros).
std::vector<double> matvec(const MatView& A, std::span<const double> x);

// Gram matrix A^T A (cols x cols); only the lower triangle's dot products are
// formed, each mirrored.
Mat syrk_ata(const MatView& A);

// Sum of a[k]*b[k] over the positions of a; a shorter b is an index fault.
double dot(std::span<const double> a, std::span<const double> b);

// Euclidean norm by a running scaled sum of squares: no overflow for 1e200
// entries, no underflow for tiny ones. Zero entries are skipped; a NaN makes
// the result NaN.
double norm2(std::span<const double> x);

}  // namespace quintara::linalg
