#include "core/inference/placebo.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::inference {

namespace {

// RMSPE ratio: +inf unless the pre-period RMSPE is a positive number, so a
// perfect (or NaN) pre-fit counts as maximally extreme instead of dividing
// by zero.
double rmspe_ratio(const estimators::ScFit& fit) {
  if (fit.pre_rmspe > 0.0) return fit.post_rmspe / fit.pre_rmspe;
  return std::numeric_limits<double>::infinity();
}

// One overload per options record: a variant alternative without its
// overload fails to compile rather than falling through at run time.
struct FitVisitor {
  const estimators::Panel& panel;
  std::size_t t0;
  estimators::ScFit operator()(const estimators::sc::ScOptions& o) const {
    return estimators::sc::synthetic::fit_at(panel, t0, o);
  }
  estimators::ScFit operator()(const estimators::sc::AscOptions& o) const {
    return estimators::sc::augmented::fit_at(panel, t0, o);
  }
  estimators::ScFit operator()(const estimators::sc::SdidOptions& o) const {
    return estimators::sc::sdid::fit_at(panel, t0, o);
  }
  estimators::ScFit operator()(const estimators::sc::FpOptions& o) const {
    return estimators::sc::demeaned::fit_at(panel, t0, o);
  }
  estimators::ScFit operator()(const estimators::sc::RscOptions& o) const {
    return estimators::sc::robust::fit_at(panel, t0, o);
  }
};

struct StatisticVisitor {
  const estimators::ScFit& fit;
  double operator()(const estimators::sc::ScOptions&) const { return rmspe_ratio(fit); }
  // The augmented fit's pre_rmspe is its plain synthetic-control residual.
  double operator()(const estimators::sc::AscOptions&) const { return rmspe_ratio(fit); }
  // SDID's post dispersion is the effect path's spread around its mean, blind
  // to a constant effect; SDID and the demeaned fit rank |att| instead.
  double operator()(const estimators::sc::SdidOptions&) const { return std::fabs(fit.att); }
  double operator()(const estimators::sc::FpOptions&) const { return std::fabs(fit.att); }
  double operator()(const estimators::sc::RscOptions&) const { return rmspe_ratio(fit); }
};

}  // namespace

estimators::ScFit ScMethod::fit_at(const estimators::Panel& panel, std::size_t t0) const {
  return std::visit(FitVisitor{panel, t0}, options);
}

double ScMethod::statistic(const estimators::ScFit& fit) const {
  return std::visit(StatisticVisitor{fit}, options);
}

namespace {

std::size_t single_treatment_time(const estimators::Panel& panel) {
  const std::vector<std::size_t> cohorts = panel.cohorts();
  if (cohorts.size() != 1) panic("placebo test requires a single common treatment time");
  return cohorts[0];
}

}  // namespace

PlaceboResult sc_placebo_method(const estimators::Panel& panel, const ScMethod& method) {
  const std::size_t t0 = single_treatment_time(panel);
  // The real fit runs on the calling thread, before the loop.
  return sc_placebo_method(panel, method, method.fit_at(panel, t0));
}

PlaceboResult sc_placebo_method(const estimators::Panel& panel, const ScMethod& method,
                                const estimators::ScFit& fit) {
  const std::size_t t0 = single_treatment_time(panel);
  const double stat = method.statistic(fit);

  const std::vector<std::size_t> donors = panel.never_treated_units();
  const std::size_t J = donors.size();
  const std::size_t T = panel.n_periods();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();

  // One task per donor position; each builds its own panel from the donor
  // rows only (the treated units never enter) and writes its own slot.
  const auto pairs = parallel::parallel_map<std::pair<double, double>>(
      J, [&](std::size_t j) -> std::pair<double, double> {
        // A lone donor has no pool to be synthesised from.
        if (J < 2) return {nan, nan};
        linalg::Mat y(J, T);
        std::size_t r = 0;
        const auto copy_row = [&](std::size_t unit) {
          for (std::size_t t = 0; t < T; ++t) y(r, t) = panel.y(unit, t);
          ++r;
        };
        copy_row(donors[j]);
        for (std::size_t k = 0; k < J; ++k) {
          if (k != j) copy_row(donors[k]);
        }
        const std::size_t treated[] = {0};
        const estimators::Panel placebo = estimators::Panel::block(std::move(y), treated, t0);
        const estimators::ScFit pf = method.fit_at(placebo, t0);
        return {method.statistic(pf), pf.att};
      });

  PlaceboResult out;
  for (const auto& [s, a] : pairs) {
    if (std::isnan(s)) continue;
    out.placebo_stats.push_back(s);
    out.placebo_atts.push_back(a);
  }
  std::size_t count = 0;
  // Ties count as at least as extreme.
  for (const double s : out.placebo_stats) {
    if (s >= stat) ++count;
  }
  const std::size_t m = out.placebo_stats.size();
  out.p_value = static_cast<double>(count + 1) / static_cast<double>(m + 1);
  out.att_path = fit.att_path;
  out.att = fit.att;
  out.stat = stat;
  return out;
}

}  // namespace quintara::inference
