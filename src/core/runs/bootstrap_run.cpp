#include "core/runs/bootstrap_run.hpp"

#include <cmath>

#include "core/format.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

BootstrapKind parse_bootstrap_kind(std::string_view text) {
  if (text == "block") return BootstrapKind::Block;
  if (text == "stationary") return BootstrapKind::Stationary;
  throw UserError(format("unknown bootstrap kind '{}' (expected block/stationary)", text));
}

void check_series(std::span<const double> series) {
  bool finite = !series.empty();
  for (const double v : series) finite = finite && std::isfinite(v);
  if (!finite) throw UserError("series must be non-empty and finite");
}

inference::BootstrapResult run_bootstrap(const BootstrapRequest& r) {
  // Normalised like a panel: the standard error squares the values.
  std::vector<double> series = r.series;
  const int k = normalise(series);
  inference::BootstrapResult result =
      r.kind == BootstrapKind::Block
          ? inference::block_bootstrap_mean(series, r.block_len, r.n_reps, r.seed, r.level)
          : inference::stationary_bootstrap_mean(series, r.block_len, r.n_reps, r.seed, r.level);
  to_caller_units(result, k);
  return result;
}

}  // namespace quintara::runs
