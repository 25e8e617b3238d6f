#include "core/inference/chi_square.hpp"

#include <cmath>
#include <limits>

#include "core/panic.hpp"

namespace quintara::inference {

namespace {

constexpr int kMaxTerms = 100000;
constexpr double kEps = 1e-15;

// P(a, x) by sum_n x^n / (a (a+1) ... (a+n)), times x^a e^-x / Gamma(a).
double lower_series(double a, double x) {
  double term = 1.0 / a, sum = term;
  for (int n = 1; n < kMaxTerms; ++n) {
    term *= x / (a + n);
    sum += term;
    if (std::fabs(term) < std::fabs(sum) * kEps) break;
  }
  return sum * std::exp(-x + a * std::log(x) - std::lgamma(a));
}

// Q(a, x) by its continued fraction 1 / (x + 1 - a - 1 (1 - a) / (x + 3 - a - ...)).
double upper_fraction(double a, double x) {
  constexpr double tiny = std::numeric_limits<double>::min() / kEps;
  double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int n = 1; n < kMaxTerms; ++n) {
    const double an = -n * (n - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double step = d * c;
    h *= step;
    if (std::fabs(step - 1.0) < kEps) break;
  }
  return h * std::exp(-x + a * std::log(x) - std::lgamma(a));
}

}  // namespace

double chi_square_sf(double x, std::size_t dof) {
  QUINTARA_ASSERT(dof >= 1, "chi-square degrees of freedom >= 1");
  if (std::isnan(x)) return x;
  if (x <= 0.0) return 1.0;
  if (std::isinf(x)) return 0.0;
  const double a = 0.5 * static_cast<double>(dof), h = 0.5 * x;
  return h < a + 1.0 ? 1.0 - lower_series(a, h) : upper_fraction(a, h);
}

}  // namespace quintara::inference
