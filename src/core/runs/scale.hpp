// Outcome units: every run fits its panel rescaled by a power of two chosen
// from the data, and reports its results in the caller's units.
//
// The estimators compare y-derived quantities with fixed constants (solver
// tolerances, floors such as 1e-12, the smallest normal float64) and square
// y (Gram matrices, sums of squares), so without a common scale their results
// would depend on the units of y, and outcomes of 1e154 or more would
// overflow. A run therefore multiplies y by 2^-k, with k chosen so that the
// largest |y| lands in [256, 512), converts every option that carries units
// of y into those normalised units, fits, and multiplies every output that
// carries units of y by 2^k (squared units by 2^2k).
//
// A product with a power of two is exact in binary floating point (short of
// underflow to subnormals), and y and 2^m y normalise to the same panel bit
// for bit. The fit of 2^m y is thus the fit of y: identical weights and
// p-values, and every effect, path, dispersion and interval exactly 2^m
// times the original. For other factors c the normalised panels differ only
// by a factor in [1/2, 2], which the scale-free solvers absorb to their
// accuracy.
//
// Why one fixed target interval rather than "leave y alone when it is of
// moderate size": only a fixed target maps y and 2^m y to the same panel for
// every m; a band left untouched would break that at its edges. [256, 512)
// is the interval Proposition 99 (cigarette sales per capita, at most 296.2)
// already lies in, so its published figures are reproduced without even a
// rescaling. Panels elsewhere move by an exact power of two, which changes
// nothing wherever an estimator is homogeneous in y (sums, products,
// quotients and square roots of y commute with powers of two); only a
// comparison with a fixed constant can then decide differently, and that is
// the dependence on units this removes. Squares of normalised values stay
// below 2^18, so sums of squares over any panel that fits in memory are
// finite.
#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/estimators/mcnnm/softimpute.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/cpasc.hpp"
#include "core/inference/bootstrap.hpp"
#include "core/inference/placebo.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/record_fields.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// k with max|v| * 2^-k in [256, 512); 0 when there is no non-zero finite
// value.
int scale_exponent(std::span<const double> values);

// The same k from max|v| already known (NaN and infinities skipped).
int exponent_of_max(double max_abs);

// v * 2^e, rounded exactly as normalise rounds it: a copy that applies it
// is the normalised panel bit for bit.
class PowerOfTwo {
 public:
  explicit PowerOfTwo(int e);
  double operator()(double v) const { return in_range_ ? v * factor_ : std::ldexp(v, e_); }

 private:
  int e_;
  bool in_range_;
  double factor_;
};

// Multiplies every value by 2^-k in place, k = scale_exponent(values), and
// returns k.
int normalise(std::span<double> values);
inline int normalise(linalg::Mat& y) { return normalise(std::span<double>(y.data)); }

// A copy in normalised units, with its exponent. A panel's covariates are
// regressors, not outcomes, and are copied unchanged.
std::pair<linalg::Mat, int> normalised_copy(const linalg::Mat& y);
std::pair<estimators::Panel, int> normalised_copy(const estimators::Panel& panel);

// An option in units of y^power (power 1 or 2) converted to the units of the
// panel normalised with exponent k: value * 2^(-power k). The result is
// capped at 2^600, which for any normalised panel acts as infinity (every
// entry of a Gram matrix is below 2^18 times the number of periods), so an
// option that is huge relative to the data neither overflows nor turns into
// NaN further on.
double normalised_option(double value, int power, int k);

// value * 2^(power k): a normalised result back in the caller's units.
double in_caller_units(double value, int k, int power = 1);
void in_caller_units(std::span<double> values, int k, int power = 1);

// The options each estimator's Traits declare in units of y (power 1) or
// y^2 (ridges and penalties), in normalised units; every other option is
// unitless or a count and passes unchanged.
estimators::sc::ScMethod normalised_method(const estimators::sc::ScMethod& method, int k);
estimators::sc::CpascOptions normalised_options(estimators::sc::CpascOptions options, int k);
estimators::mcnnm::McnnmOptions normalised_options(estimators::mcnnm::McnnmOptions options, int k);

// Whether the method's placebo statistic is |att| (units of y) rather than
// an RMSPE ratio (unitless).
bool statistic_in_outcome_units(const estimators::sc::ScMethod& method);

// A record back in the caller's units, field by field from its table
// (record_fields.hpp): units of y times 2^k, squared units times 2^2k, nested
// records walked the same way, everything unitless or a count left as it is.
// `statistic_in_units`: the placebo statistic of this run is an effect (the
// jackknife, or a placebo test ranking |att|) rather than an RMSPE ratio.
template <class R>
void to_caller_units(R& record, int k, bool statistic_in_units = false);

namespace detail {

inline void scale_value(double& v, int k, int power) { v = in_caller_units(v, k, power); }
inline void scale_value(std::vector<double>& v, int k, int power) { in_caller_units(v, k, power); }
inline void scale_value(std::vector<std::vector<double>>& v, int k, int power) {
  for (std::vector<double>& row : v) in_caller_units(row, k, power);
}
template <class T>
void scale_value(std::optional<T>& v, int k, int power) {
  if (v) scale_value(*v, k, power);
}

template <class T>
void scale_nested(T& v, int k, bool statistic_in_units) {
  if constexpr (has_fields_v<T>) {
    to_caller_units(v, k, statistic_in_units);
  } else {
    for (auto& item : v) scale_nested(item, k, statistic_in_units);
  }
}

}  // namespace detail

template <class R>
void to_caller_units(R& record, int k, bool statistic_in_units) {
  if (k == 0) return;
  for_each_field<R>([&](auto i) {
    constexpr auto& field = std::get<decltype(i)::value>(RecordFields<R>::fields);
    auto& value = record.*std::remove_cvref_t<decltype(field)>::member;
    constexpr Units::Kind kind = field.units.kind();
    if constexpr (kind == Units::Kind::y) {
      detail::scale_value(value, k, 1);
    } else if constexpr (kind == Units::Kind::y2) {
      detail::scale_value(value, k, 2);
    } else if constexpr (kind == Units::Kind::statistic) {
      if (statistic_in_units) detail::scale_value(value, k, 1);
    } else if constexpr (kind == Units::Kind::record) {
      detail::scale_nested(value, k, statistic_in_units);
    }
  });
}

}  // namespace quintara::runs
