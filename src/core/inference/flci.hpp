// The fixed-length confidence interval of Armstrong & Kolesar for
// l'tau_post under the smoothness restriction Delta^SD(M) (second
// differences of the trend bounded by M), as Rambachan & Roth use it.
//
// The interval is a'beta +- chi, over affine estimators a'beta whose post
// weights are l and whose pre weights are free: chi is the folded-normal
// quantile of the worst-case bias over Delta^SD(M), scaled by the estimator's
// standard deviation. The pre weights are written through their cumulative
// sums z (z_K fixed by l), in which the worst-case bias is M (c + ||z||_1);
// the standard deviation h of the optimum is found by golden-section search
// between the least-variance and the least-bias estimators, each h solving
// min ||z||_1 s.t. sd(z) <= h by a log-barrier Newton method.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::inference {

struct Flci {
  double estimate = 0.0;     // a'beta
  double half_length = 0.0;  // chi
  std::vector<double> pre_weights;
};

// betahat: n_pre pre then post coefficients; sigma their covariance (positive
// definite on the pre block); l the post weights; 0 < alpha < 1; m >= 0.
Flci smoothness_flci(std::span<const double> betahat, const linalg::Mat& sigma, std::size_t n_pre,
                     std::span<const double> l, double m, double alpha);

// The p quantile of |N(mu, 1)|.
double folded_normal_quantile(double p, double mu);

}  // namespace quintara::inference
