#include "bindings/api_bootstrap.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"
#include "core/runs/bootstrap_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct BootstrapArgs {
  std::vector<double> series;
  std::string kind;
  std::uint64_t block_len = 0;
  std::uint64_t n_reps = 0;
  std::uint64_t seed = 0;
  double level = 0.0;
};

const Params bootstrap_mean_params{"bootstrap_mean",
                                   arg("series", &BootstrapArgs::series),
                                   arg("kind", &BootstrapArgs::kind, "\"block\""),
                                   arg("block_len", &BootstrapArgs::block_len, "4"),
                                   arg("n_reps", &BootstrapArgs::n_reps, "2000"),
                                   arg("seed", &BootstrapArgs::seed, "0"),
                                   arg("level", &BootstrapArgs::level, "0.95")};

// Runs with the interpreter lock held: the work is small, and the pool's
// workers never touch a Python object, so holding it cannot deadlock.
Ref bootstrap_mean(PyObject* args, PyObject* kwargs) {
  BootstrapArgs a = bootstrap_mean_params.parse(args, kwargs);
  runs::check_series(a.series);
  validate::check_min_count("block_len", a.block_len);
  validate::check_min_count("n_reps", a.n_reps);
  validate::check_unit_interval("level", a.level);
  const runs::BootstrapKind kind = runs::parse_bootstrap_kind(a.kind);
  const inference::BootstrapResult r = sized_by("n_reps", a.n_reps, [&] {
    return runs::run_bootstrap({std::move(a.series), kind, a.block_len, a.n_reps, a.seed, a.level});
  });
  const Ref se = new_float(r.interval.se);
  const Ref lower = new_float(r.interval.lower);
  const Ref upper = new_float(r.interval.upper);
  return Ref::check(PyTuple_Pack(3, se.get(), lower.get(), upper.get()));
}

}  // namespace

const EntryDef bootstrap_mean_entry{
    &bootstrap_mean_params.signature(),
    "Block / stationary bootstrap of the mean of a series (e.g. a post-period\n"
    "gap path). Returns `(se, ci_lower, ci_upper)`. `kind` is \"block\" or\n"
    "\"stationary\"; `block_len` is the (mean) block length.",
    cfunction<bootstrap_mean>(),
};

}  // namespace quintara::bindings
