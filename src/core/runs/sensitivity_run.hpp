// The sensitivity analysis as the entry calls it: the caller's arguments
// checked (each message names its argument) and the defaults filled in, then
// the run, whose work budget running out is a UserError saying what to cut.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/inference/sensitivity.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::runs {

struct SensitivityCall {
  std::vector<double> betahat;
  linalg::Mat sigma;
  std::uint64_t n_pre = 0;
  std::string kind;
  std::optional<std::vector<double>> m;
  std::optional<std::vector<double>> l_vec;
  double level = 0.95;
  std::uint64_t grid_points = 1000;
  bool hybrid = true;
  bool breakdown = true;
  std::uint64_t max_lp_solves = 0;
};

// The relative magnitudes' default Mbar values; the smoothness default is
// these times a quarter, scaled by the largest pre-period standard error.
inline constexpr double kDefaultMbar[] = {0.0, 0.5, 1.0, 1.5, 2.0};
inline constexpr std::uint64_t kMaxGridPoints = 1'000'000;

inference::SensitivityRequest check_sensitivity(SensitivityCall call);

inference::SensitivityResult run_sensitivity(const inference::SensitivityRequest& request);

}  // namespace quintara::runs
