// Singular value soft-thresholding: the proximal step of nuclear-norm
// penalised matrix completion.
//
// X = U diag(s) V^T becomes U diag(max(s - tau, 0)) V^T; the nuclear norm of
// the result comes with it. `svt` uses an exact SVD (Golub-Kahan by default,
// the one-sided Jacobi SVD on request), `svt_truncated` a randomized SVD of a
// given rank (oversampling 6, one power iteration).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/linalg/bidiag_svd.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

struct SvtResult {
  Mat x;           // the thresholded matrix, shape of the input
  double nuclear;  // sum of the thresholded singular values
};

// The exact SVDs agree to rounding; Jacobi is the slower reference.
enum class ExactSvd { golub_kahan, jacobi };

// The Golub-Kahan path forms only the singular vectors that survive the
// threshold.
SvtResult svt(const MatView& X, double tau, ExactSvd method = ExactSvd::golub_kahan);

// Storage kept between calls of svt_into on matrices of one shape.
struct SvtWorkspace {
  BidiagSvd svd;
};

// svt's Golub-Kahan path into out (reshaped, its storage reused), returning
// the nuclear norm: an iteration thresholding one shape after another then
// holds its large buffers throughout. The same bits as svt.
double svt_into(const MatView& X, double tau, SvtWorkspace& work, Mat& out);

// The largest singular value of X (0 for an empty X).
double sigma_max(const MatView& X, ExactSvd method = ExactSvd::golub_kahan);

SvtResult svt_truncated(const MatView& X, std::size_t rank, std::uint64_t seed, double tau);

}  // namespace quintara::linalg
