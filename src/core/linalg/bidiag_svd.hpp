// Singular value decomposition by Householder bidiagonalisation and implicit
// Wilkinson-shift QR on the bidiagonal (Golub-Kahan), the fast exact SVD.
//
// A = Q B P^T with B upper bidiagonal (Householder reflectors, kept in
// compact form; for m >= 1.6 n a Householder QR comes first, its
// reflectors applied to the rest in blocks, and the triangle is
// bidiagonalised), then B = Ub diag(s) Vb^T by chasing a bulge down the band;
// the chase's rotations are logged, and Ub, Vb and the reflectors are
// applied only at the end, and only to the components the caller keeps. The work is O(m n^2) for m
// >= n against the Jacobi sweeps' O(m n^2) per sweep times the number of sweeps, and the result is
// backward stable: singular values agree with Jacobi's to a few rounding units of s_max. Wide
// inputs are factored through their transpose; inputs far from unit magnitude are rescaled by a
// power of two first, so the shifts' squares neither overflow nor underflow. Singular values come
// in descending IEEE total order, ties in ascending position on the
// diagonal, as for the Jacobi SVD. Deterministic: serial loops in a fixed
// order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/linalg/matrix.hpp"
#include "core/linalg/svd.hpp"

namespace quintara::linalg {

// One plane rotation of the bulge chase: columns a and b of X become
// c x_a - s x_b and s x_a + c x_b.
struct BandRotation {
  std::uint32_t a, b;
  double c, s;
};

// How the singular vectors of the bidiagonal B are kept: not at all (values
// only; asking for vectors is a fault), as a log of the chase's rotations
// replayed on the kept columns alone, or accumulated into full n x n
// matrices during the chase (the slower original without the QR first, a
// reference for tests).
enum class BandVectors { none, logged, accumulated };

// The bidiagonal factorisation of a tall matrix with its singular values
// and what forms the singular vectors of B.
class BidiagSvd {
 public:
  // Never fails; a non-finite input gives non-finite values (the sweep cap
  // ends the iteration).
  static BidiagSvd make(const MatView& A, BandVectors vectors = BandVectors::logged);

  // The same decomposition of A in place of this one, in the storage it
  // already holds: a loop that factors one matrix shape after another then
  // allocates nothing, and the allocator never hands pages back and forth
  // with the kernel. Bit-identical to make.
  void refactor(const MatView& A, BandVectors vectors = BandVectors::logged);

  // Singular values, non-increasing, min(rows, cols) of them.
  const std::vector<double>& values() const { return s_; }

  // The first k left and right singular vectors of A (rows x k, cols x k);
  // k above min(rows, cols) is an index fault.
  Mat left(std::size_t k) const;
  Mat right(std::size_t k) const;

  // Every component, in the Jacobi SVD's form.
  Svd full() const;

 private:
  Mat w_;  // m x n (n x n after a QR): reflectors below the diagonal and right of the superdiagonal
  Mat qr_;                      // m x n: the QR-first reflectors below the diagonal, when taken
  std::vector<double> tau_qr_;  // empty without a QR first
  std::vector<double> tau_left_, tau_right_;
  Mat ub_, vb_;  // accumulated: n x n singular vectors of B, sorted with s_
  std::vector<BandRotation> left_log_, right_log_;  // logged
  std::vector<std::size_t> order_;                  // diagonal position of s_[r]
  std::vector<std::uint8_t> negate_;                // right vector flipped, by position
  std::vector<double> s_;
  std::size_t rows_ = 0, cols_ = 0;  // of A
  bool transposed_ = false;
  BandVectors vectors_ = BandVectors::logged;

  Mat band_left(std::size_t k) const;   // Ub_k, n x k
  Mat band_right(std::size_t k) const;  // Vb_k, n x k
  std::vector<std::uint8_t> no_negation() const;

  Mat apply_left(std::size_t k) const;   // Q [Ub_k; 0], m x k
  Mat apply_right(std::size_t k) const;  // P Vb_k, n x k
};

}  // namespace quintara::linalg
