#include "core/estimators/sc/method.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/linalg/kernels.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc {

namespace {

// RMSPE ratio: +inf unless the pre-period RMSPE is a positive number, so a
// perfect (or NaN) pre-fit counts as maximally extreme instead of dividing
// by zero.
double rmspe_ratio(const ScFit& fit) {
  if (fit.pre_rmspe > 0.0) return fit.post_rmspe / fit.pre_rmspe;
  return std::numeric_limits<double>::infinity();
}

// One overload per options record: a variant alternative without its
// overload fails to compile rather than falling through at run time.
struct FitVisitor {
  const Panel& panel;
  std::size_t t0;
  ScFit operator()(const ScOptions& o) const { return synthetic::fit_at(panel, t0, o); }
  ScFit operator()(const AscOptions& o) const { return augmented::fit_at(panel, t0, o); }
  ScFit operator()(const SdidOptions& o) const { return sdid::fit_at(panel, t0, o); }
  ScFit operator()(const FpOptions& o) const { return demeaned::fit_at(panel, t0, o); }
  ScFit operator()(const RscOptions& o) const { return robust::fit_at(panel, t0, o); }
};

// Every estimator but SDID re-assembles from its counterfactual alone.
struct PrepareVisitor {
  const Panel& panel;
  std::size_t t0;
  template <class Options>
  PreparedFit operator()(const Options& o) const {
    return {FitVisitor{panel, t0}(o)};
  }
  PreparedFit operator()(const SdidOptions& o) const {
    sdid::SdidFit f = sdid::fit_with_time_weights(panel, t0, o);
    return {std::move(f.fit), true, f.pre_level, f.controls};
  }
};

struct SeriesVisitor {
  const SeriesView& s;
  std::vector<std::size_t>& donors;
  ScFit operator()(const ScOptions& o) const {
    return synthetic::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors),
                                 o);
  }
  ScFit operator()(const AscOptions& o) const {
    return augmented::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors),
                                 o);
  }
  ScFit operator()(const SdidOptions& o) const {
    return sdid::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors),
                            s.n_treated, o)
        .fit;
  }
  ScFit operator()(const FpOptions& o) const {
    return demeaned::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors), o);
  }
  ScFit operator()(const RscOptions& o) const {
    return robust::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors), o);
  }
};

struct StatisticVisitor {
  const ScFit& fit;
  double operator()(const ScOptions&) const { return rmspe_ratio(fit); }
  // The augmented fit's pre_rmspe is its plain synthetic-control residual.
  double operator()(const AscOptions&) const { return rmspe_ratio(fit); }
  // SDID's post dispersion is the effect path's spread around its mean, blind
  // to a constant effect; SDID and the demeaned fit rank |att| instead.
  double operator()(const SdidOptions&) const { return std::fabs(fit.att); }
  double operator()(const FpOptions&) const { return std::fabs(fit.att); }
  double operator()(const RscOptions&) const { return rmspe_ratio(fit); }
};

// The placebo fast path: synthetic control reads the pool only through its
// Gram matrix, whose principal submatrix is the pool's; the augmented fit's
// weights read the same matrix; SDID's unit weights and the demeaned fit
// read it with every column centred.
struct PlaceboVisitor {
  const linalg::MatView& X_pre;
  const linalg::MatView& X_post;
  const linalg::Mat& gram;
  std::size_t own;
  std::vector<std::size_t>& pool;
  ScFit operator()(const ScOptions& o) const {
    return synthetic::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o);
  }
  ScFit operator()(const AscOptions& o) const {
    return augmented::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o);
  }
  ScFit operator()(const SdidOptions& o) const {
    return sdid::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o).fit;
  }
  ScFit operator()(const FpOptions& o) const {
    return demeaned::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o);
  }
  ScFit operator()(const RscOptions&) const {
    panic("robust synthetic control has no placebo fast path");
  }
};

struct PlaceboGramVisitor {
  const linalg::MatView& X_pre;
  linalg::Mat operator()(const ScOptions&) const { return linalg::syrk_ata(X_pre); }
  linalg::Mat operator()(const AscOptions&) const { return linalg::syrk_ata(X_pre); }
  linalg::Mat operator()(const SdidOptions&) const { return sdid::pre_period_gram(X_pre); }
  linalg::Mat operator()(const FpOptions&) const { return demeaned::pre_period_gram(X_pre); }
  linalg::Mat operator()(const RscOptions&) const { return {}; }
};

}  // namespace

ScFit ScMethod::fit_at(const Panel& panel, std::size_t t0) const {
  return std::visit(FitVisitor{panel, t0}, options);
}

PreparedFit ScMethod::prepare_at(const Panel& panel, std::size_t t0) const {
  return std::visit(PrepareVisitor{panel, t0}, options);
}

ScFit ScMethod::fit_series(const SeriesView& series, std::vector<std::size_t> donors) const {
  return std::visit(SeriesVisitor{series, donors}, options);
}

bool ScMethod::has_placebo_fast_path() const {
  return !std::holds_alternative<RscOptions>(options);
}

linalg::Mat ScMethod::placebo_gram(const linalg::MatView& X_pre) const {
  return std::visit(PlaceboGramVisitor{X_pre}, options);
}

ScFit ScMethod::fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                            const linalg::Mat& gram, std::size_t own,
                            std::vector<std::size_t> pool) const {
  return std::visit(PlaceboVisitor{X_pre, X_post, gram, own, pool}, options);
}

double ScMethod::statistic(const ScFit& fit) const {
  return std::visit(StatisticVisitor{fit}, options);
}

namespace {

struct Entry {
  Method method;
  std::string_view display;
  std::string_view name;
  std::string_view alias;  // empty when none
};

constexpr std::array<Entry, 6> kRegistry{{
    {Method::Sc, "SC", "sc", ""},
    {Method::Asc, "ASC", "asc", ""},
    {Method::Sdid, "SDID", "sdid", ""},
    {Method::Fp, "FP", "fp", "dsc"},
    {Method::Rsc, "RSC", "rsc", ""},
    // No name: an ensemble is assembled from its members, never parsed.
    {Method::Ensemble, "ENSEMBLE", "", ""},
}};

const Entry& entry_of(Method method) {
  const auto i = static_cast<std::size_t>(method);
  if (i >= kRegistry.size()) panic("method out of range");
  return kRegistry[i];
}

[[noreturn]] void ensemble_is_not_a_fit() {
  panic(
      "internal error: entered unreachable code: Ensemble is combined across methods, not a "
      "single fit");
}

}  // namespace

std::string_view display_name(Method method) { return entry_of(method).display; }

std::optional<Method> method_from_name(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const Entry& e : kRegistry) {
    if (e.name.empty()) continue;
    if (lower == e.name || (!e.alias.empty() && lower == e.alias)) return e.method;
  }
  return std::nullopt;
}

std::optional<Method> method_from_exact_name(std::string_view name) {
  for (const Entry& e : kRegistry) {
    if (!e.name.empty() && name == e.name) return e.method;
  }
  return std::nullopt;
}

Method method_of(const ScMethod& method) {
  // The variant's alternatives are declared in Method's order.
  return static_cast<Method>(method.options.index());
}

ScMethod geo_method(Method method, double min_weight, double max_weight) {
  switch (method) {
    case Method::Sc: return {ScOptions{min_weight, max_weight, 0.0, 0.0}};
    case Method::Asc: {
      AscOptions o;
      o.min_weight = min_weight;
      o.max_weight = max_weight;
      return {o};
    }
    case Method::Sdid: return {SdidOptions{min_weight, max_weight, 1.0}};
    case Method::Fp: {
      FpOptions o;
      o.min_weight = min_weight;
      o.max_weight = max_weight;
      return {o};
    }
    case Method::Rsc: return {RscOptions{}};
    case Method::Ensemble: break;
  }
  ensemble_is_not_a_fit();
}

ScMethod batch_method(Method method, double ridge, double zeta_scale, double min_weight,
                      double max_weight) {
  switch (method) {
    case Method::Sc: return {ScOptions{min_weight, max_weight, ridge, 0.0}};
    case Method::Asc: {
      AscOptions o;
      o.sc_ridge = ridge;
      o.min_weight = min_weight;
      o.max_weight = max_weight;
      return {o};
    }
    case Method::Sdid: return {SdidOptions{min_weight, max_weight, zeta_scale}};
    case Method::Fp: {
      FpOptions o;
      o.min_weight = min_weight;
      o.max_weight = max_weight;
      o.ridge = ridge;
      return {o};
    }
    case Method::Rsc: return {RscOptions{}};
    case Method::Ensemble: break;
  }
  ensemble_is_not_a_fit();
}

ScFit fit_method(const Panel& panel, std::size_t t0, Method method, double min_weight,
                 double max_weight) {
  return geo_method(method, min_weight, max_weight).fit_at(panel, t0);
}

}  // namespace quintara::estimators::sc
