// Kernels on a lower Cholesky factor stored by columns (column s at
// L + s * ld, its rows from s down), as the active-set solver keeps the
// factor of its reduced Hessian.
//
// Every kernel runs its sums in a fixed order, so the same inputs give the
// same bits on any vector width (see wide_clones.hpp).
#pragma once

#include <cstddef>

namespace quintara::linalg {

// Columns per panel of the right-looking factorisation (four updates per
// load and store of an entry, the four panel columns read in one pass), and
// per block of the left-looking one.
inline constexpr std::size_t kFactorPanel = 4;

// Both factorisations below work in place on a factor whose rows before r0
// are already factored and whose later rows hold the lower triangle of the
// matrix (column c from row max(c, r0)). They return 0 when every pivot
// squared from row r0 on exceeds `floor`, else k + 1 for the first row k
// whose pivot does not: the rows before k are then factored and row k holds
// its entries left of the pivot, forward-solved. Every entry takes its
// updates in column order, each as y + x * (-l), then its division by the
// pivot, so both give the bits of the column-at-a-time recurrence.

// Right-looking, in panels of kFactorPanel columns: a panel is factored
// column by column, then the columns right of it take its updates in one
// sweep, which reads and writes each entry once per panel. `reciprocal`: the
// division as a product by the pivot's reciprocal (within an ulp of the
// quotient; one division per column instead of per entry).
std::size_t factor_panels(double* L, std::size_t ld, std::size_t q, std::size_t r0, double floor,
                          bool reciprocal);

// Left-looking, in blocks of kFactorPanel columns: a block takes the updates
// of every column left of it in register tiles of sixteen rows, each entry
// read and written once, then is factored column by column. The bits of
// factor_panels with `reciprocal`, in fewer passes over memory. The slots
// above the diagonal of each block's diagonal triangle are overwritten
// (scratch: no kernel reads them as the factor).
std::size_t factor_blocked(double* L, std::size_t ld, std::size_t q, std::size_t r0, double floor);

// Deletes row and column p from the factor of its first q rows, leaving
// the factor of q - 1 rows of the matrix without p: the rows below p, one
// entry past the diagonal once p's row is gone, are brought back by plane
// rotations of column pairs (k, k + 1), k = p, p + 1, .... A principal
// submatrix of a positive definite matrix is one and its pivots are no
// smaller, so no curvature is lost. O(q^2) against re-factoring the rows
// from p, O(q^3); the result carries the rotations' rounding.
void remove_row(double* L, std::size_t ld, std::size_t q, std::size_t p);

// y <- y + x[0] t[0] + ... + x[m-1] t[m-1] over n entries, each entry its
// terms in column order: the bits of m axpys, with y read and written once
// per four columns. y never overlaps the columns.
void axpy_columns(double* y, const double* const* x, const double* t, std::size_t m, std::size_t n);

// The forward solve for two right-hand sides at once (the bits of two
// forward_solve calls, L read once).
void forward_solve2(const double* L, std::size_t ld, std::size_t q, double* z1, double* z2);

// Solves L z = rhs (forward) or L^T z = rhs (back) over the first q rows,
// in place. The forward solve runs by columns: each entry subtracts its
// terms in index order and is then divided by its pivot, the entries below
// a solved one updated together. With `sum_sq`, the squares of the solved
// entries are subtracted from it as they are found (a bordered pivot). The
// back solve's dot products are lane_dot's.
void forward_solve(const double* L, std::size_t ld, std::size_t q, double* z,
                   double* sum_sq = nullptr);
void back_solve(const double* L, std::size_t ld, std::size_t q, double* z);

// L L^T <- L L^T + sign x x^T over the first q rows (sign +1 or -1), by the
// rotations of the classical rank-one update: O(q^2), x overwritten. A
// downdate is refused, leaving L part-updated (the caller re-factors), when
// a pivot squared would fall to `floor` or below: the matrix without x x^T
// has lost the curvature the factor needs.
bool rank_one_update(double* L, std::size_t ld, std::size_t q, double* x, double sign,
                     double floor);

// sum_k x_k y_k in eight partial sums (lane l takes k = l mod 8, in order),
// added pairwise, then the tail: a fixed order, without the latency of one
// chain of additions. Not the bits of the sum in index order.
double lane_dot(const double* x, const double* y, std::size_t n);

// out[k] = lane_dot(A + cols[k] * ld, x, n) for every k, the same bits,
// four columns at a time so that each load of x serves four of them.
void lane_dots(const double* A, std::size_t ld, const std::size_t* cols, std::size_t m,
               const double* x, std::size_t n, double* out);

}  // namespace quintara::linalg
