#include "core/runs/scale.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace quintara::runs {

namespace est = quintara::estimators;

namespace {

// frexp's exponent e places a value in [2^(e-1), 2^e); the target is e = 9.
constexpr int kTargetExponent = 9;
constexpr double kOptionCeiling = 0x1p600;

void scale_by_power_of_two(std::span<double> values, int e) {
  if (e == 0) return;
  const PowerOfTwo f(e);
  for (double& v : values) v = f(v);
}

// Each option measured in the outcome's units to `power`, rescaled with the
// outcome; an unset optional stays unset.
template <class Options, class... Member>
void normalise_members(Options& o, const std::tuple<Member...>& members, int power, int k) {
  const auto one = [&](auto member) {
    auto& v = o.*member;
    if constexpr (requires { v.has_value(); }) {
      if (v) *v = normalised_option(*v, power, k);
    } else {
      v = normalised_option(v, power, k);
    }
  };
  std::apply([&](auto... m) { (one(m), ...); }, members);
}

// The options an estimator's Traits declare in units of y and of y^2.
template <class T>
typename T::Options normalised(typename T::Options o, int k) {
  if constexpr (requires { T::kOutcomeOptions; }) normalise_members(o, T::kOutcomeOptions, 1, k);
  normalise_members(o, T::kSquaredOptions, 2, k);
  return o;
}

}  // namespace

// Within the normal range the factor is itself a double and the product
// rounds exactly as ldexp does; beyond it only ldexp can express it.
PowerOfTwo::PowerOfTwo(int e)
    : e_(e), in_range_(e >= -1022 && e <= 1023), factor_(in_range_ ? std::ldexp(1.0, e) : 0.0) {}

int exponent_of_max(double m) {
  if (!(m > 0.0 && std::isfinite(m))) return 0;
  int e = 0;
  std::frexp(m, &e);
  return e - kTargetExponent;
}

int scale_exponent(std::span<const double> values) {
  double m = 0.0;
  // fmax(m, |v|) written out so that it compiles to a max instruction; a
  // NaN compares false and is skipped, as fmax skips it.
  for (const double v : values) {
    const double a = std::fabs(v);
    m = a > m ? a : m;
  }
  return exponent_of_max(m);
}

int normalise(std::span<double> values) {
  const int k = scale_exponent(values);
  scale_by_power_of_two(values, -k);
  return k;
}

std::pair<linalg::Mat, int> normalised_copy(const linalg::Mat& y) {
  linalg::Mat copy = y;
  const int k = normalise(copy);
  return {std::move(copy), k};
}

std::pair<est::Panel, int> normalised_copy(const est::Panel& panel) {
  est::Panel copy = panel;
  const int k = normalise(copy.y);
  return {std::move(copy), k};
}

double normalised_option(double value, int power, int k) {
  return std::min(std::ldexp(value, -power * k), kOptionCeiling);
}

double in_caller_units(double value, int k, int power) { return std::ldexp(value, power * k); }

void in_caller_units(std::span<double> values, int k, int power) {
  scale_by_power_of_two(values, power * k);
}

estimators::sc::ScMethod normalised_method(const estimators::sc::ScMethod& method, int k) {
  return method.visit([&]<class T>(const typename T::Options& o) {
    return estimators::sc::ScMethod{normalised<T>(o, k)};
  });
}

bool statistic_in_outcome_units(const estimators::sc::ScMethod& method) {
  return estimators::sc::in_outcome_units(method.statistic_kind());
}

est::sc::CpascOptions normalised_options(est::sc::CpascOptions options, int k) {
  return normalised<est::sc::cpasc::Traits>(options, k);
}

est::mcnnm::McnnmOptions normalised_options(est::mcnnm::McnnmOptions options, int k) {
  return normalised<est::mcnnm::Traits>(options, k);
}

}  // namespace quintara::runs
