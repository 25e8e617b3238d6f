// Where the rows of a long table (unit label, period label, value) go in the
// units x periods array, for the common large case of integer labels over
// ranges without gaps: the labels are then their own codes (label - lowest),
// so one pass places every row, with no hashing and no sort.
//
// Anything else (gaps, text, ranges far wider than the table) is reported as
// not compact and left to the general, hashing path of the caller; so is a
// range whose cell count would not fit in memory arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quintara::estimators {

struct LongLayout {
  bool compact = false;  // both label columns are integer ranges without gaps
  std::int64_t unit_lo = 0, time_lo = 0;
  std::size_t n_units = 0, n_periods = 0;
  // One row per cell, sorted by unit and then period: the values are already
  // the array in row-major order.
  bool in_order = false;
  std::optional<std::size_t> duplicate;  // a row whose cell an earlier row took
  std::size_t n_missing = 0;             // cells that no row fills
  // Values that are NaN, and infinite: zero for both (the usual table) lets
  // the caller skip its own scan for them.
  std::size_t n_nan = 0, n_inf = 0;

  std::size_t n_cells() const { return n_units * n_periods; }
};

// Scans the two label columns (equal lengths; none is a non-compact layout).
LongLayout plan_long(std::span<const std::int64_t> unit, std::span<const std::int64_t> time);
// Counts the layout's NaN and infinite values (n_nan, n_inf).
void count_nonfinite(LongLayout& layout, std::span<const double> values);

// Whether each run of `width` consecutive values (a unit's rows of a table
// in unit-then-period order) holds one value throughout, and if so each
// run's value in `firsts` (size / width entries; its contents unspecified
// otherwise). False when a NaN is among them (it equals nothing) or the
// length is not a multiple of a positive width.
bool run_firsts(std::span<const std::int64_t> values, std::size_t width,
                std::span<std::int64_t> firsts);
bool run_firsts(std::span<const double> values, std::size_t width, std::span<double> firsts);

// Adoption values as period positions when the periods are the labels
// first .. first + n - 1: a value in that range is its offset, 0 and other
// values <= 0 mark never-treated units (-1; 0 even where it is a period).
// False, with `out` unspecified, when a value is positive and outside the
// range (neither a period nor a never-treated marker).
bool offset_codes(std::span<const std::int64_t> values, std::int64_t first, std::size_t n,
                  std::span<std::int64_t> out);

// For a compact layout without duplicates: `out` (n_cells() entries,
// row-major units x periods) receives each value at its row's cell and NaN
// where no row is.
void scatter_long(const LongLayout& layout, std::span<const std::int64_t> unit,
                  std::span<const std::int64_t> time, std::span<const double> values,
                  std::span<double> out);

// scatter_long and count_nonfinite together; a table in order is copied
// and counted in one pass over its values.
void place_long(LongLayout& layout, std::span<const std::int64_t> unit,
                std::span<const std::int64_t> time, std::span<const double> values,
                std::span<double> out);

}  // namespace quintara::estimators
