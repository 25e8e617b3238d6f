#include "bindings/api_diagnostics.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bindings/results.hpp"
#include "core/runs/diagnostics_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct GeoDiagnosticsArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t test_len = 0;
};

const Params geo_diagnostics_params{"geo_diagnostics", arg("y", &GeoDiagnosticsArgs::y),
                                    arg("treated", &GeoDiagnosticsArgs::treated),
                                    arg("test_len", &GeoDiagnosticsArgs::test_len)};

// Runs with the interpreter lock held: one small fit, no parallel loop.
Ref geo_diagnostics(PyObject* args, PyObject* kwargs) {
  const GeoDiagnosticsArgs a = geo_diagnostics_params.parse(args, kwargs);
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  validate::check_treated(a.treated, n_units);
  runs::check_diagnostics_window(a.test_len, n_periods);
  const linalg::Mat y = mat_from_numpy(a.y);
  return wrap(runs::run_diagnostics(y, a.treated, static_cast<std::size_t>(a.test_len)));
}

}  // namespace

const EntryDef geo_diagnostics_entry{
    &geo_diagnostics_params.signature(),
    "Design diagnostics for a treated-market set.\n"
    "\n"
    "`test_len` is the length of the planned test window at the end of the\n"
    "panel; the periods before it are the pre-period. Returns the treated share\n"
    "of total volume, the synthetic control's relative pre-period fit and its\n"
    "improvement on a naive shifted donor average, the treated series'\n"
    "seasonality and stability, plain-language warnings and a confidence score\n"
    "from 0 to 100.",
    cfunction<geo_diagnostics>(),
};

}  // namespace quintara::bindings
