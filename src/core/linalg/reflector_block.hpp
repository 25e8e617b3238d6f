// A block of Householder reflectors applied in one pass over each column.
//
// Applying b reflectors H_q = I - tau_q v_q v_q^T one after another reads
// and writes every column b times. Here each column is read once for the b
// dot products with the v_q, the coefficients of the combined update follow
// from a small triangular recurrence over the v_q's mutual dot products (the
// compact WY form, as in LAPACK's blocked QR), and the column is updated
// once. The same reflections in exact arithmetic, the same backward
// stability; a fixed summation order on every target, so the results are
// deterministic.
#pragma once

#include <cstddef>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

// At most this many reflectors in one block.
inline constexpr std::size_t kReflectorBlock = 4;

// Reflector q (q < b <= kReflectorBlock) has v_q = (1, tail...) starting at
// v[q] (stride 1), n - q entries long, and acts on rows r0 + q .. r0 + n of
// columns [c0, c1) of X; tau[q] is its factor (0 for H_q = I). `first_last`
// applies H_{b-1} first (Q = H_0 ... H_{b-1} times X), otherwise H_0 first
// (Q^T X).
struct ReflectorBlock {
  const double* const* v;  // b pointers
  const double* tau;       // b factors
  std::size_t b;
  std::size_t n;  // length of v_0
  bool first_last;
};

void reflect_block(Mat& X, const ReflectorBlock& block, std::size_t r0, std::size_t c0,
                   std::size_t c1);

}  // namespace quintara::linalg
