// The one registry of the synthetic-control family's methods.
//
// Every caller that names an SC-family estimator goes through here: the
// placebo test's estimator-with-options (`inference::ScMethod`), the batched
// fits' method names, and the geo routines' `Method` with its display names.
// The registry ties a name to its method, to the fixed options each caller
// family passes, and so to the estimator's `fit_at`. `Method`'s first five
// values are in the order of `ScMethod`'s alternatives, so one converts to the
// other by position; `Ensemble` names a weighted combination of methods and is
// never fitted itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/inference/placebo.hpp"

namespace quintara::runs {

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

// method_from_exact_name, or parse_method's UserError.
Method parse_exact_method(std::string_view name);

// method_from_name, or UserError "unknown method '{}' (expected
// sc/asc/sdid/fp/rsc)" quoting the name as passed.
Method parse_method(std::string_view name);

// The method an estimator-with-options runs.
Method method_of(const inference::ScMethod& method);

// The geo design's fixed options: the weight bounds as given, every ridge
// and penalty 0, the augmented and robust estimators on their own defaults
// (the robust one ignores the bounds). Ensemble is an invariant violation.
inference::ScMethod geo_method(Method method, double min_weight, double max_weight);

// The batched fits' options: `ridge` is the synthetic, demeaned and (as its
// synthetic-control ridge) augmented estimators' ridge; `zeta_scale` only
// reaches SDID; the robust estimator takes neither ridge nor bounds.
inference::ScMethod batch_method(Method method, double ridge, double zeta_scale, double min_weight,
                                 double max_weight);

// One geo fit: `geo_method(...).fit_at(panel, t0)`.
estimators::ScFit fit_method(const estimators::Panel& panel, std::size_t t0, Method method,
                             double min_weight, double max_weight);

}  // namespace quintara::runs
