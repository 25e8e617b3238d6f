// `_long_layout(unit, time, values)`: the units x periods array of a long
// table whose label columns are integer ranges without gaps, in one pass and
// with no hashing; the labelled layer's fast path for large tables.
//
// Takes three 1-D arrays of equal length (int64 labels, float64 values) and
// returns None when the labels are not such ranges (the caller then codes
// them itself), else a dict: unit_lo, time_lo, n_units, n_periods, in_order
// (rows already in unit-then-period order, one per cell), duplicate (a row
// repeating an earlier row's cell, or None), n_missing (cells no row fills),
// n_nan and n_inf (such values) and y, a bytearray of n_units x n_periods
// float64 in row-major order (NaN where no row is; None when there is a
// duplicate). Beside it, `_run_firsts(values, width)`: each run's value when
// every run of `width` consecutive int64 or float64 values holds one;
// `_offset_codes(values, first, n)`: adoption values as period positions;
// and `_count_nan(values)`. All are private: not in `__all__`.
#pragma once

#include "bindings/py.hpp"

namespace quintara::bindings {

void add_layout_functions(PyObject* module);

}  // namespace quintara::bindings
