#include "core/estimators/sc/method.hpp"

#include <array>
#include <string>
#include <utility>

#include "core/panic.hpp"

namespace quintara::estimators::sc {

ScFit ScMethod::fit_at(const Panel& panel, std::size_t t0) const {
  return visit([&]<class T>(const typename T::Options& o) { return T::fit_at(panel, t0, o); });
}

PreparedFit ScMethod::prepare_at(const Panel& panel, std::size_t t0) const {
  return visit([&]<class T>(const typename T::Options& o) -> PreparedFit {
    if constexpr (HasPrepareAt<T>) {
      return T::prepare_at(panel, t0, o);
    } else {
      // Re-assembled from the counterfactual alone.
      return {T::fit_at(panel, t0, o)};
    }
  });
}

ScFit ScMethod::fit_series(const SeriesView& series, std::vector<std::size_t> donors) const {
  return visit([&]<class T>(const typename T::Options& o) {
    return T::fit_series(series, std::move(donors), o);
  });
}

bool ScMethod::has_placebo_fast_path() const {
  return visit([]<class T>(const typename T::Options&) { return HasPlaceboFastPath<T>; });
}

linalg::Mat ScMethod::placebo_gram(const linalg::MatView& X_pre) const {
  return visit([&]<class T>(const typename T::Options&) -> linalg::Mat {
    if constexpr (HasPlaceboFastPath<T>) {
      return T::placebo_gram(X_pre);
    } else {
      return {};
    }
  });
}

ScFit ScMethod::fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                            const linalg::Mat& gram, std::size_t own,
                            std::vector<std::size_t> pool) const {
  return visit([&]<class T>(const typename T::Options& o) -> ScFit {
    if constexpr (HasPlaceboFastPath<T>) {
      return T::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o);
    } else {
      panic("this estimator has no placebo fast path");
    }
  });
}

Statistic ScMethod::statistic_kind() const {
  return visit([]<class T>(const typename T::Options&) { return T::kStatistic; });
}

bool ScMethod::linear_in_pool_post() const {
  return visit([]<class T>(const typename T::Options&) { return T::kLinearInPoolPost; });
}

double ScMethod::statistic(const ScFit& fit) const { return statistic_of(statistic_kind(), fit); }

namespace {

struct Entry {
  std::string_view display;
  std::string_view name;
  std::string_view alias;  // empty when none
};

// One row per list entry, then Ensemble's, which has no name: an ensemble is
// assembled from its members, never parsed.
constexpr auto kRegistry = []<std::size_t... I>(std::index_sequence<I...>) {
  return std::array<Entry, kMethodCount + 1>{
      {{TraitsAt<I>::kDisplay, TraitsAt<I>::kName, TraitsAt<I>::kAlias}..., {"ENSEMBLE", "", ""}}};
}(std::make_index_sequence<kMethodCount>{});

const Entry& entry_of(Method method) {
  const auto i = static_cast<std::size_t>(method);
  if (i >= kRegistry.size()) panic("method out of range");
  return kRegistry[i];
}

Method method_at(std::size_t i) { return static_cast<Method>(i); }

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
  for (std::size_t i = 0; i < kMethodCount; ++i) {
    const Entry& e = kRegistry[i];
    if (lower == e.name || (!e.alias.empty() && lower == e.alias)) return method_at(i);
  }
  return std::nullopt;
}

std::optional<Method> method_from_exact_name(std::string_view name) {
  for (std::size_t i = 0; i < kMethodCount; ++i) {
    if (name == kRegistry[i].name) return method_at(i);
  }
  return std::nullopt;
}

Method method_of(const ScMethod& method) {
  // The variant's alternatives are declared in Method's order.
  return method_at(method.options.index());
}

ScMethod geo_method(Method method, double min_weight, double max_weight) {
  if (method == Method::Ensemble) ensemble_is_not_a_fit();
  return with_traits(method,
                     [&]<class T>() { return ScMethod{T::geo_options(min_weight, max_weight)}; });
}

ScMethod batch_method(Method method, double ridge, double zeta_scale, double min_weight,
                      double max_weight) {
  if (method == Method::Ensemble) ensemble_is_not_a_fit();
  const BatchRow row{ridge, zeta_scale, min_weight, max_weight};
  return with_traits(method, [&]<class T>() { return ScMethod{T::batch_options(row)}; });
}

ScFit fit_method(const Panel& panel, std::size_t t0, Method method, double min_weight,
                 double max_weight) {
  return geo_method(method, min_weight, max_weight).fit_at(panel, t0);
}

}  // namespace quintara::estimators::sc
