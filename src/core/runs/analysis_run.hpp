// The analysis of a finished geo experiment (geo_analyze): the request after
// validation, and the GeoAnalysis record it fills.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/geo/curve.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// As InTimeRequest (y already cut at the test's end), and the test's spend:
// finite and > 0 when given.
struct AnalysisRequest {
  linalg::Mat y;
  std::vector<std::size_t> treated;
  std::size_t t0 = 1;
  std::size_t min_pre = 2;
  std::optional<std::size_t> lookback;
  Method method = Method::Sdid;
  double alpha = 0.1;
  double min_weight = 0.0;
  double max_weight = 1.0;
  geo::Alternative alternative = geo::Alternative::TwoSided;
  std::optional<double> spend;
};

// Fits y normalised by a power of two; the record in y's units. The
// quantities derived from the test (incremental units, lift, iROAS, cost
// per incremental unit) are formed after the scale-back from the test's own
// numbers, so each carries exactly its p-value and interval.
PyGeoAnalysis run_analysis(const AnalysisRequest& request);

}  // namespace quintara::runs
