#include "core/runs/cpasc_run.hpp"

#include <utility>

#include "core/estimators/panel.hpp"
#include "core/format.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

namespace est = quintara::estimators;
using est::sc::CpascMode;

CpascMode parse_cpasc_mode(std::string_view text) {
  if (text == "mspe") return CpascMode::Mspe;
  if (text == "stratified") return CpascMode::Stratified;
  if (text == "cumulative") return CpascMode::Cumulative;
  throw UserError(format("unknown CP-ASC mode '{}' (expected mspe/stratified/cumulative)", text));
}

PyCpascResult run_cpasc(CpascRequest request) {
  const int k = normalise(request.y);
  const est::Panel panel = est::Panel::block(std::move(request.y), request.treated, request.t0);
  est::sc::cpasc::CpascFit fit =
      est::sc::cpasc::fit_at(panel, request.t0, normalised_options(request.options, k));
  PyCpascResult r;
  r.att = fit.att;
  r.p_value = fit.p_value;
  for (const est::sc::cpasc::UnitFit& u : fit.units) {
    r.unit_ids.push_back(u.unit);
    r.unit_att.push_back(u.effect);
    r.unit_mspe.push_back(u.mspe);
    r.unit_weight.push_back(u.weight);
  }
  r.pooled_residual = std::move(fit.pooled_residual);
  r.null_residual = std::move(fit.null_residual);
  r.t0 = fit.t0;
  to_caller_units(r, k);
  return r;
}

}  // namespace quintara::runs
