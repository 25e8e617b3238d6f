// A synthetic-control-family entry's whole computation after validation: the
// fit, its inference, and the SCResult record.
//
// The real fit is computed once and handed to the inference: the placebo
// test ranks it among the donors' refits without refitting it, and the SDID
// jackknife reuses both of its weight vectors.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/inference/conformal.hpp"
#include "core/inference/placebo.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

enum class ScInference { None, Placebo, Jackknife, Conformal };

// "none", "placebo" or "jackknife"; anything else is UserError "unknown SDID
// inference '{}' (expected none/placebo/jackknife)".
ScInference parse_sdid_inference(std::string_view text);

// A validated request: y owned, every treated index < y.rows, 1 <= t0 <
// y.cols, options and level checked. Jackknife needs the SDID method and two
// or more treated units.
struct ScRequest {
  linalg::Mat y;
  std::vector<std::size_t> treated;
  std::size_t t0 = 0;
  estimators::sc::ScMethod method;
  ScInference inference = ScInference::None;
  double level = 0.95;
  inference::PlaceboOptions placebo;      // which placebos, and which are kept
  inference::ConformalOptions conformal;  // level is `level` above
};

// Fits on y normalised by a power of two (scale.hpp) and reports the record
// in y's units.
PyScResult run_sc(ScRequest request);

// The fit without inference: every inference attribute absent.
PyScResult result_from_fit(const estimators::ScFit& fit);

// Fills p_value, the test's interval and the pointwise intervals from a
// conformal test, and names it.
void attach_conformal(PyScResult& result, const inference::ConformalResult& conformal,
                      double level);

// Fills the inference attributes from a placebo test (the percentile
// interval and se of the placebo effects, the test's own inverted interval,
// what it ran on); leaves them absent when no placebo statistic survived.
// `level` is already validated.
void attach_placebo(PyScResult& result, const inference::PlaceboResult& placebo,
                    const estimators::ScFit& fit, double level, double max_pre_ratio);

}  // namespace quintara::runs
