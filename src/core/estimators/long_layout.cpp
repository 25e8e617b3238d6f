#include "core/estimators/long_layout.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::estimators {

namespace {

// A label range wider than this many labels per row (plus a small floor) is
// mostly gaps: hashing the labels is then cheaper than a presence map.
constexpr std::size_t kWidthPerRow = 4;
constexpr std::size_t kWidthFloor = 1024;
// Cells beyond this would overflow the byte count of the array; the general
// path then reports the allocation failure in its own terms.
constexpr std::size_t kMaxCells = std::numeric_limits<std::size_t>::max() / 16;
// Rows per task of the passes the pool shares: large enough that a task
// costs far more than handing it out.
constexpr std::size_t kRowsPerTask = std::size_t{1} << 16;

// f(from, to) over [0, n) in ranges of about kRowsPerTask rows (whole runs
// of `unit` rows each), on the pool when there is more than one.
template <class F>
void in_ranges(std::size_t n, std::size_t unit, F f) {
  const std::size_t per = std::max<std::size_t>(1, kRowsPerTask / unit) * unit;
  const std::size_t tasks = (n + per - 1) / per;
  if (tasks <= 1) {
    f(std::size_t{0}, n);
    return;
  }
  parallel::parallel_for(tasks, [&](std::size_t k) { f(k * per, std::min(n, (k + 1) * per)); });
}

struct Range {
  std::int64_t lo = 0;
  std::size_t width = 0;  // 0: too wide, or with gaps
};

// Label minus the lowest label, in unsigned arithmetic: no overflow even
// between the extremes of int64.
std::size_t offset(std::int64_t v, std::int64_t lo) {
  return static_cast<std::size_t>(static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(lo));
}

// The label range when every label in it occurs, else width 0.
Range gap_free(std::span<const std::int64_t> labels) {
  std::int64_t lo = labels[0], hi = labels[0];
  for (const std::int64_t v : labels) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  const std::size_t span = offset(hi, lo);
  if (span >= kWidthPerRow * labels.size() + kWidthFloor) return {};
  std::vector<unsigned char> present(span + 1, 0);
  for (const std::int64_t v : labels) present[offset(v, lo)] = 1;
  if (std::find(present.begin(), present.end(), 0) != present.end()) return {};
  return {lo, span + 1};
}

// The usual large table, sorted by unit and then period with one row per
// cell, recognised in one pass: consecutive unit labels, each over the same
// consecutive period labels. Fills the layout when it is one.
bool sorted_complete(std::span<const std::int64_t> unit, std::span<const std::int64_t> time,
                     LongLayout& out) {
  const std::size_t R = unit.size();
  std::size_t T = 1;
  while (T < R && unit[T] == unit[0]) ++T;
  if (R % T != 0) return false;
  const auto u0 = static_cast<std::uint64_t>(unit[0]);
  const auto t0 = static_cast<std::uint64_t>(time[0]);
  // Ranges of whole units checked apart; the answer (does any fail?) does
  // not depend on which range finishes first, and a failure stops the rest.
  std::atomic<bool> failed{false};
  in_ranges(R, T, [&](std::size_t from, std::size_t to) {
    for (std::size_t b = from / T; b < to / T && !failed.load(std::memory_order_relaxed); ++b) {
      // Branch-free within a unit: any mismatch leaves a bit set.
      std::uint64_t bad = 0;
      const std::uint64_t ub = u0 + b;
      const std::int64_t* u = unit.data() + b * T;
      const std::int64_t* t = time.data() + b * T;
      for (std::size_t j = 0; j < T; ++j) {
        bad |=
            (static_cast<std::uint64_t>(u[j]) ^ ub) | (static_cast<std::uint64_t>(t[j]) ^ (t0 + j));
      }
      if (bad != 0) {
        failed.store(true, std::memory_order_relaxed);
        return;
      }
    }
  });
  if (failed.load()) return false;
  // Labels wrapping past the int64 maximum are not consecutive numbers.
  if (unit[R - 1] < unit[0] || time[T - 1] < time[0]) return false;
  out.compact = out.in_order = true;
  out.unit_lo = unit[0];
  out.time_lo = time[0];
  out.n_units = R / T;
  out.n_periods = T;
  return true;
}

}  // namespace

LongLayout plan_long(std::span<const std::int64_t> unit, std::span<const std::int64_t> time) {
  QUINTARA_ASSERT_EQ(unit.size(), time.size(), "plan_long: column lengths");
  LongLayout out;
  if (unit.empty() || sorted_complete(unit, time, out)) return out;
  const Range u = gap_free(unit), t = gap_free(time);
  if (u.width == 0 || t.width == 0 || u.width > kMaxCells / t.width) return out;
  out.compact = true;
  out.unit_lo = u.lo;
  out.time_lo = t.lo;
  out.n_units = u.width;
  out.n_periods = t.width;
  // Not sorted-complete (checked above), so every cell is placed through
  // the seen-map, which also finds the first repeated cell.
  std::vector<unsigned char> seen(out.n_cells(), 0);
  std::size_t filled = 0;
  for (std::size_t r = 0; r < unit.size(); ++r) {
    unsigned char& s = seen[offset(unit[r], u.lo) * t.width + offset(time[r], t.lo)];
    if (s != 0) {
      out.duplicate = r;
      return out;
    }
    s = 1;
    ++filled;
  }
  out.n_missing = out.n_cells() - filled;
  return out;
}

void count_nonfinite(LongLayout& layout, std::span<const double> values) {
  std::atomic<std::size_t> nan{0}, inf{0};
  // Counts are whole numbers: their sum is the same in any order.
  in_ranges(values.size(), 1, [&](std::size_t from, std::size_t to) {
    std::size_t n = 0, i = 0;
    for (std::size_t r = from; r < to; ++r) {
      n += std::isnan(values[r]) ? 1 : 0;
      i += std::isinf(values[r]) ? 1 : 0;
    }
    nan += n;
    inf += i;
  });
  layout.n_nan = nan.load();
  layout.n_inf = inf.load();
}

namespace {

template <class T>
bool runs_constant_of(std::span<const T> values, std::size_t width) {
  if (width == 0 || values.size() % width != 0) return false;
  // Ranges of whole runs checked apart (on the pool for a long column); the
  // answer does not depend on which finishes first.
  std::atomic<bool> differs{false};
  in_ranges(values.size(), width, [&](std::size_t from, std::size_t to) {
    for (std::size_t b = from; b < to && !differs.load(std::memory_order_relaxed); b += width) {
      const T first = values[b];
      // Branch-free within a run; a NaN never equals itself, so it fails.
      bool same = true;
      for (std::size_t j = 0; j < width; ++j) same &= values[b + j] == first;
      if (!same) {
        differs.store(true, std::memory_order_relaxed);
        return;
      }
    }
  });
  return !differs.load();
}

}  // namespace

bool runs_constant(std::span<const std::int64_t> values, std::size_t width) {
  return runs_constant_of(values, width);
}

bool runs_constant(std::span<const double> values, std::size_t width) {
  return runs_constant_of(values, width);
}

void scatter_long(const LongLayout& layout, std::span<const std::int64_t> unit,
                  std::span<const std::int64_t> time, std::span<const double> values,
                  std::span<double> out) {
  QUINTARA_ASSERT(layout.compact && !layout.duplicate, "scatter_long: layout not scatterable");
  QUINTARA_ASSERT_EQ(out.size(), layout.n_cells(), "scatter_long: output size");
  QUINTARA_ASSERT_EQ(values.size(), unit.size(), "scatter_long: values length");
  if (layout.in_order) {
    in_ranges(values.size(), 1, [&](std::size_t from, std::size_t to) {
      std::copy(values.begin() + from, values.begin() + to, out.begin() + from);
    });
    return;
  }
  std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
  for (std::size_t r = 0; r < values.size(); ++r) {
    out[offset(unit[r], layout.unit_lo) * layout.n_periods + offset(time[r], layout.time_lo)] =
        values[r];
  }
}

}  // namespace quintara::estimators
