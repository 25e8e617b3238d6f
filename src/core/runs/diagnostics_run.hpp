// The geo_diagnostics entry's computation after argument conversion: its
// test-window check, then the design diagnostics as a GeoDiagnostics record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/geo/diagnostics.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// 1 <= test_len < n_periods, so at least one pre-period remains; else
// UserError "test_len must be in [1, {}) so at least one pre-period remains;
// got {}" (n_periods, test_len).
void check_diagnostics_window(std::uint64_t test_len, std::size_t n_periods);

// The record with the same values; nothing is rescaled.
PyGeoDiagnostics diagnostics_record(geo::Diagnostics d);

// A validated request: treated checked against y, test_len checked above.
// Computed on y normalised by a power of two (scale.hpp); every field is a
// ratio.
PyGeoDiagnostics run_diagnostics(const linalg::Mat& y, std::span<const std::size_t> treated,
                                 std::size_t test_len);

}  // namespace quintara::runs
