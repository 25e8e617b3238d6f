// The synthetic-control family as one list: which estimator runs with which
// options (`ScMethod`), the method names callers parse (`Method`), and the
// fixed options each caller family passes (the geo design, the batched fits).
//
// Inference, the geo design and the runs all sit above this header; each
// estimator is named here once, in the order Sc, Asc, Sdid, Fp, Rsc, which
// both the variant's alternatives and `Method` keep, so one converts to the
// other by position. `Ensemble` names a weighted combination of methods and
// is never fitted itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
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

namespace quintara::estimators::sc {

// Which estimator to run, with its options. The alternatives keep a fixed
// order: synthetic, augmented, SDID, demeaned (robust comes last).
struct ScMethod {
  // Alternatives in the order Sc, Asc, Sdid, Fp, Rsc.
  std::variant<ScOptions, AscOptions, SdidOptions, FpOptions, RscOptions> options;

  ScFit fit_at(const Panel& panel, std::size_t t0) const;
  // fit_at's fit with what att_with_post needs to give the att
  // for another treated post-period series without refitting.
  PreparedFit prepare_at(const Panel& panel, std::size_t t0) const;
  // The same estimator on prepared series; `donors` (the panel rows of the
  // donor columns) move into the result.
  ScFit fit_series(const SeriesView& series, std::vector<std::size_t> donors) const;
  // Whether a placebo refit can read its pool in place through the Gram of
  // all donors (every estimator but robust synthetic control, which
  // de-noises its own pool).
  bool has_placebo_fast_path() const;
  // That Gram of the donor block's pre-period (columns centred where the
  // estimator centres them); empty without a fast path.
  linalg::Mat placebo_gram(const linalg::MatView& X_pre) const;
  // The refit with donor column `own` as the treated series and the others
  // (panel rows `pool`) as its pool, reading `gram` = placebo_gram(X_pre).
  ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                    const linalg::Mat& gram, std::size_t own, std::vector<std::size_t> pool) const;
  // RMSPE ratio (post/pre, +inf when pre is not > 0) or |att|, by estimator.
  double statistic(const ScFit& fit) const;
};

enum class Method : std::uint8_t { Sc, Asc, Sdid, Fp, Rsc, Ensemble };

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

// The geo design's fixed options: the weight bounds as given, every ridge
// and penalty 0, the augmented and robust estimators on their own defaults
// (the robust one ignores the bounds). Ensemble is an invariant violation.
ScMethod geo_method(Method method, double min_weight, double max_weight);

// The batched fits' options: `ridge` is the synthetic, demeaned and (as its
// synthetic-control ridge) augmented estimators' ridge; `zeta_scale` only
// reaches SDID; the robust estimator takes neither ridge nor bounds.
ScMethod batch_method(Method method, double ridge, double zeta_scale, double min_weight,
                      double max_weight);

// One geo fit: `geo_method(...).fit_at(panel, t0)`.
ScFit fit_method(const Panel& panel, std::size_t t0, Method method, double min_weight,
                 double max_weight);

}  // namespace quintara::estimators::sc
