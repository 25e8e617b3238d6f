#include "core/estimators/long_layout.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "core/linalg/wide_clones.hpp"
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
// costs far more than handing it out. Below kPoolRows rows a pass runs on
// the calling thread: waking the workers and waiting for them (tens of
// microseconds) costs more than the pass.
constexpr std::size_t kRowsPerTask = std::size_t{1} << 16;
constexpr std::size_t kPoolRows = std::size_t{1} << 18;

// f(from, to) over [0, n) in ranges of about kRowsPerTask rows (whole runs
// of `unit` rows each), on the pool when there is more than one.
template <class F>
void in_ranges(std::size_t n, std::size_t unit, F f) {
  const std::size_t per = std::max<std::size_t>(1, kRowsPerTask / unit) * unit;
  const std::size_t tasks = (n + per - 1) / per;
  if (tasks <= 1 || n < kPoolRows) {
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

// The passes' loops, built for wide vector units too: the baseline has no
// 64-bit integer compare in vectors, and these loops run over every row.
QUINTARA_WIDE_CLONES std::uint64_t order_defects(const std::uint64_t* __restrict u,
                                                 const std::uint64_t* __restrict t, std::size_t T,
                                                 std::size_t from, std::size_t to) {
  std::uint64_t bad = 0;
  for (std::size_t r = from; r < to; ++r) bad |= (u[r + T] ^ (u[r] + 1)) | (t[r + T] ^ t[r]);
  return bad;
}

struct Counts {
  std::size_t nan = 0, inf = 0;
};

QUINTARA_WIDE_CLONES Counts count_values(const double* __restrict v, std::size_t from,
                                         std::size_t to) {
  std::size_t n = 0, i = 0;
  for (std::size_t r = from; r < to; ++r) {
    n += std::isnan(v[r]) ? 1 : 0;
    i += std::isinf(v[r]) ? 1 : 0;
  }
  return {n, i};
}

QUINTARA_WIDE_CLONES Counts copy_counting_values(const double* __restrict v, double* __restrict out,
                                                 std::size_t from, std::size_t to) {
  std::size_t n = 0, i = 0;
  for (std::size_t r = from; r < to; ++r) {
    const double x = v[r];
    out[r] = x;
    n += std::isnan(x) ? 1 : 0;
    i += std::isinf(x) ? 1 : 0;
  }
  return {n, i};
}

// Positions r in [from, to) whose value equals the next one.
template <class T>
std::size_t equal_next(const T* __restrict v, std::size_t from, std::size_t to) {
  std::size_t e = 0;
  for (std::size_t r = from; r < to; ++r) e += v[r + 1] == v[r] ? 1 : 0;
  return e;
}
QUINTARA_WIDE_CLONES std::size_t equal_next_wide(const std::int64_t* v, std::size_t from,
                                                 std::size_t to) {
  return equal_next(v, from, to);
}
QUINTARA_WIDE_CLONES std::size_t equal_next_wide(const double* v, std::size_t from,
                                                 std::size_t to) {
  return equal_next(v, from, to);
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
  // The first unit's rows hold unit[0] over consecutive periods; every
  // later row then holds the label of the row T before it plus one and
  // that row's period. Flat comparisons with no per-unit loop vectorise.
  const auto u0 = static_cast<std::uint64_t>(unit[0]);
  const auto t0 = static_cast<std::uint64_t>(time[0]);
  std::uint64_t first = 0;
  for (std::size_t j = 0; j < T; ++j) {
    first |= (static_cast<std::uint64_t>(unit[j]) ^ u0) |
             (static_cast<std::uint64_t>(time[j]) ^ (t0 + j));
  }
  if (first != 0) return false;
  // Ranges checked apart; the answer (does any fail?) does not depend on
  // which range finishes first, and a failure stops the rest.
  std::atomic<bool> failed{false};
  const auto* u = reinterpret_cast<const std::uint64_t*>(unit.data());
  const auto* t = reinterpret_cast<const std::uint64_t*>(time.data());
  in_ranges(R - T, T, [&](std::size_t from, std::size_t to) {
    if (failed.load(std::memory_order_relaxed)) return;
    if (order_defects(u, t, T, from, to) != 0) failed.store(true, std::memory_order_relaxed);
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

namespace {

// Counts the NaN and infinite values of `values`, copying them to `out`
// when it is given (the same length): one pass over a large column for
// both. Counts are whole numbers: their sum is the same in any order.
void count_copying(LongLayout& layout, std::span<const double> values, double* out) {
  std::atomic<std::size_t> nan{0}, inf{0};
  in_ranges(values.size(), 1, [&](std::size_t from, std::size_t to) {
    const Counts c = out != nullptr ? copy_counting_values(values.data(), out, from, to)
                                    : count_values(values.data(), from, to);
    nan += c.nan;
    inf += c.inf;
  });
  layout.n_nan = nan.load();
  layout.n_inf = inf.load();
}

}  // namespace

void count_nonfinite(LongLayout& layout, std::span<const double> values) {
  count_copying(layout, values, nullptr);
}

void place_long(LongLayout& layout, std::span<const std::int64_t> unit,
                std::span<const std::int64_t> time, std::span<const double> values,
                std::span<double> out) {
  if (layout.in_order) {
    QUINTARA_ASSERT(layout.compact && !layout.duplicate, "place_long: layout not scatterable");
    QUINTARA_ASSERT_EQ(out.size(), values.size(), "place_long: output size");
    count_copying(layout, values, out.data());
    return;
  }
  count_nonfinite(layout, values);
  scatter_long(layout, unit, time, values, out);
}

namespace {

template <class T>
bool run_firsts_of(std::span<const T> values, std::size_t width, std::span<T> firsts) {
  if (width == 0 || values.size() % width != 0) return false;
  QUINTARA_ASSERT_EQ(firsts.size(), values.size() / width, "run_firsts: output size");
  // Every value equals the one before it except at the start of a run:
  // the equal neighbours counted over all positions, less those at run
  // starts, must be every position that starts no run. A flat count
  // vectorises where a loop per run does not; equality is transitive (a
  // NaN equals nothing, so it fails as it should). A range's run starts
  // are read again from cache, and give the firsts.
  const std::size_t n = values.size();
  if (n == 0) return true;
  firsts[0] = values[0];
  if (n < 2) return true;
  std::atomic<std::size_t> equal{0};
  in_ranges(n - 1, 1, [&](std::size_t from, std::size_t to) {
    const std::size_t e = equal_next_wide(values.data(), from, to);
    std::size_t at_starts = 0;
    // The run starts s with from < s <= to: the pairs (s - 1, s) of this range.
    for (std::size_t s = (from + width) / width * width; s <= to; s += width) {
      at_starts += values[s] == values[s - 1] ? 1 : 0;
      firsts[s / width] = values[s];
    }
    equal += e - at_starts;
  });
  return equal.load() == n - n / width;
}

}  // namespace

bool run_firsts(std::span<const std::int64_t> values, std::size_t width,
                std::span<std::int64_t> firsts) {
  return run_firsts_of(values, width, firsts);
}

bool run_firsts(std::span<const double> values, std::size_t width, std::span<double> firsts) {
  return run_firsts_of(values, width, firsts);
}

bool offset_codes(std::span<const std::int64_t> values, std::int64_t first, std::size_t n,
                  std::span<std::int64_t> out) {
  QUINTARA_ASSERT_EQ(out.size(), values.size(), "offset_codes: output size");
  std::atomic<bool> stray{false};
  in_ranges(values.size(), 1, [&](std::size_t from, std::size_t to) {
    bool bad = false;
    for (std::size_t i = from; i < to; ++i) {
      const std::int64_t v = values[i];
      const std::size_t at = offset(v, first);
      const bool inside = at < n;
      bad |= !inside && v > 0;
      out[i] = inside && v != 0 ? static_cast<std::int64_t>(at) : -1;
    }
    if (bad) stray.store(true, std::memory_order_relaxed);
  });
  return !stray.load();
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
