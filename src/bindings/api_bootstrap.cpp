#include "bindings/api_bootstrap.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "bindings/validate.hpp"
#include "core/format.hpp"
#include "core/inference/bootstrap.hpp"

namespace quintara::bindings {

namespace inf = quintara::inference;

namespace {

const Signature bootstrap_mean_signature{
    "bootstrap_mean",
    {{"series", Kind::FloatList},
     {"kind", Kind::Name, "\"block\""},
     {"block_len", Kind::Count, "4"},
     {"n_reps", Kind::Count, "2000"},
     {"seed", Kind::Count, "0"},
     {"level", Kind::Float, "0.95"}}};

// Runs with the interpreter lock held: the work is small, and the pool's
// workers never touch a Python object, so holding it cannot deadlock.
Ref bootstrap_mean(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(bootstrap_mean_signature, args, kwargs);
  const std::vector<double>& series = a.floats("series");
  bool finite = !series.empty();
  for (const double v : series) finite = finite && std::isfinite(v);
  if (!finite) throw UserError("series must be non-empty and finite");
  const std::uint64_t block_len = a.count("block_len");
  const std::uint64_t n_reps = a.count("n_reps");
  validate::check_min_count("block_len", block_len);
  validate::check_min_count("n_reps", n_reps);
  const double level = a.real("level");
  validate::check_unit_interval("level", level);
  const std::string& kind = a.text("kind");
  if (kind != "stationary" && kind != "block") {
    throw UserError(format("unknown bootstrap kind '{}' (expected block/stationary)", kind));
  }

  const std::uint64_t seed = a.count("seed");
  const inf::BootstrapResult r =
      kind == "block" ? inf::block_bootstrap_mean(series, block_len, n_reps, seed, level)
                      : inf::stationary_bootstrap_mean(series, block_len, n_reps, seed, level);
  const Ref se = new_float(r.interval.se);
  const Ref lower = new_float(r.interval.lower);
  const Ref upper = new_float(r.interval.upper);
  return Ref::check(PyTuple_Pack(3, se.get(), lower.get(), upper.get()));
}

}  // namespace

const EntryDef bootstrap_mean_entry{
    &bootstrap_mean_signature,
    "Block / stationary bootstrap of the mean of a series (e.g. a post-period\n"
    "gap path). Returns `(se, ci_lower, ci_upper)`. `kind` is \"block\" or\n"
    "\"stationary\"; `block_len` is the (mean) block length.",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<bootstrap_mean>)),
};

}  // namespace quintara::bindings
