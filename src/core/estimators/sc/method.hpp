// The synthetic-control family as one list: which estimator runs with which
// options (`ScMethod`), the method names callers parse (`Method`), and the
// fixed options each caller family passes (the geo design, the batched fits).
//
// Inference, the geo design and the runs all sit above this header. Each
// estimator describes itself once, in its own header (`<namespace>::Traits`,
// see traits.hpp); QUINTARA_SC_METHODS below names each once, and that one
// line orders the variant's alternatives, `Method`, the name tables and
// every dispatch. `Ensemble` names a weighted combination of methods and is
// never fitted itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/prepared.hpp"
#include "core/estimators/sc/augmented.hpp"
#include "core/estimators/sc/demeaned.hpp"
#include "core/estimators/sc/robust.hpp"
#include "core/estimators/sc/sdid.hpp"
#include "core/estimators/sc/synthetic.hpp"
#include "core/estimators/sc/traits.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc {

// The list: X(enumerator of Method, namespace holding the estimator's Traits).
#define QUINTARA_SC_METHODS(X) \
  X(Sc, synthetic)             \
  X(Asc, augmented)            \
  X(Sdid, sdid)                \
  X(Fp, demeaned)              \
  X(Rsc, robust)

enum class Method : std::uint8_t {
#define QUINTARA_SC_ENUMERATOR(id, ns) id,
  QUINTARA_SC_METHODS(QUINTARA_SC_ENUMERATOR)
#undef QUINTARA_SC_ENUMERATOR
      Ensemble
};

// The traits in the list's order (the trailing empty tuple takes the last comma).
#define QUINTARA_SC_TRAITS_TUPLE(id, ns) std::declval<std::tuple<ns::Traits>>(),
using MethodTraits =
    decltype(std::tuple_cat(QUINTARA_SC_METHODS(QUINTARA_SC_TRAITS_TUPLE) std::tuple<>{}));
#undef QUINTARA_SC_TRAITS_TUPLE

inline constexpr std::size_t kMethodCount = std::tuple_size_v<MethodTraits>;
static_assert(kMethodCount == static_cast<std::size_t>(Method::Ensemble));

template <std::size_t I>
using TraitsAt = std::tuple_element_t<I, MethodTraits>;

namespace detail {
template <class Tuple>
struct OptionsVariant;
template <class... T>
struct OptionsVariant<std::tuple<T...>> {
  static_assert((ScTraits<T> && ...), "an estimator's Traits lacks a required member");
  using type = std::variant<typename T::Options...>;
};
}  // namespace detail

// f.template operator()<Traits>() for the traits of `method` (not Ensemble).
template <class F>
auto with_traits(Method method, F&& f) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    std::optional<decltype(f.template operator()<TraitsAt<0>>())> r;
    ((static_cast<std::size_t>(method) == I &&
      (r.emplace(f.template operator()<TraitsAt<I>>()), true)) ||
     ...);
    if (!r) panic("method out of range");
    return std::move(*r);
  }(std::make_index_sequence<kMethodCount>{});
}

// Which estimator to run, with its options: one alternative per list entry,
// in the list's order.
struct ScMethod {
  typename detail::OptionsVariant<MethodTraits>::type options;

  // Calls f.template operator()<Traits>(options) with the alternative held.
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit(
        [&](const auto& o) -> decltype(auto) {
          constexpr std::size_t i = index_of<std::remove_cvref_t<decltype(o)>>();
          return f.template operator()<TraitsAt<i>>(o);
        },
        options);
  }

  ScFit fit_at(const Panel& panel, std::size_t t0) const;
  // fit_at's fit with what att_with_post needs to give the att
  // for another treated post-period series without refitting.
  PreparedFit prepare_at(const Panel& panel, std::size_t t0) const;
  // The same estimator on prepared series; `donors` (the panel rows of the
  // donor columns) move into the result.
  ScFit fit_series(const SeriesView& series, std::vector<std::size_t> donors) const;
  // Whether a placebo refit can read its pool in place through the Gram of
  // all donors.
  bool has_placebo_fast_path() const;
  // That Gram of the donor block's pre-period (columns centred where the
  // estimator centres them); empty without a fast path.
  linalg::Mat placebo_gram(const linalg::MatView& X_pre) const;
  // The refit with donor column `own` as the treated series and the others
  // (panel rows `pool`) as its pool, reading `gram` = placebo_gram(X_pre).
  ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                    const linalg::Mat& gram, std::size_t own, std::vector<std::size_t> pool) const;
  // What the estimator's placebo test ranks.
  Statistic statistic_kind() const;
  // Traits::kLinearInPoolPost.
  bool linear_in_pool_post() const;
  // That statistic of `fit`: RMSPE ratio (post/pre, +inf when pre is not > 0)
  // or |att|.
  double statistic(const ScFit& fit) const;

 private:
  template <class Options, std::size_t I = 0>
  static constexpr std::size_t index_of() {
    if constexpr (std::is_same_v<typename TraitsAt<I>::Options, Options>) {
      return I;
    } else {
      return index_of<Options, I + 1>();
    }
  }
};

// "SC", "ASC", "SDID", "FP", "RSC", "ENSEMBLE".
std::string_view display_name(Method method);

// The geo rule: ASCII letters lower-cased, then the whole name compared with
// "sc", "asc", "sdid", "fp" (or its alias "dsc") and "rsc". Anything else,
// "ensemble" and names with blanks included, is none.
std::optional<Method> method_from_name(std::string_view name);

// The batched-fit rule: exactly "sc", "asc", "sdid", "fp" or "rsc",
// case-sensitive and without aliases.
std::optional<Method> method_from_exact_name(std::string_view name);

// The method an estimator-with-options runs.
Method method_of(const ScMethod& method);

// The geo design's fixed options (each Traits::geo_options): the weight
// bounds as given, every ridge and penalty 0, the augmented and robust
// estimators on their own defaults (the robust one ignores the bounds).
// Ensemble is an invariant violation.
ScMethod geo_method(Method method, double min_weight, double max_weight);

// The batched fits' options (each Traits::batch_options): `ridge` is the
// synthetic, demeaned and (as its synthetic-control ridge) augmented
// estimators' ridge; `zeta_scale` only reaches SDID; the robust estimator
// takes neither ridge nor bounds.
ScMethod batch_method(Method method, double ridge, double zeta_scale, double min_weight,
                      double max_weight);

// One geo fit: `geo_method(...).fit_at(panel, t0)`.
ScFit fit_method(const Panel& panel, std::size_t t0, Method method, double min_weight,
                 double max_weight);

}  // namespace quintara::estimators::sc
