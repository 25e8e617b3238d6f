// Singular value soft-thresholding: the proximal step of nuclear-norm
// penalised matrix completion.
//
// X = U diag(s) V^T becomes U diag(max(s - tau, 0)) V^T; the nuclear norm of
// the result comes with it. `svt` uses the exact Jacobi SVD, `svt_truncated`
// a randomized SVD of a given rank (oversampling 6, one power iteration).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

struct SvtResult {
  Mat x;           // the thresholded matrix, shape of the input
  double nuclear;  // sum of the thresholded singular values
};

SvtResult svt(const MatView& X, double tau);

SvtResult svt_truncated(const MatView& X, std::size_t rank, std::uint64_t seed, double tau);

}  // namespace quintara::linalg
