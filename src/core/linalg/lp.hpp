// Dense linear programs: minimise c'x subject to A_ub x <= b_ub,
// A_eq x = b_eq and lower <= x <= upper (a bound may be infinite), by the
// two-phase primal simplex on a dense tableau.
//
// The programs this serves (the moment-inequality tests of the sensitivity
// analysis) have tens of rows and columns, so a dense tableau with O(rows x
// columns) pivots is the simplest exact method. Pivots follow Bland's rule:
// the lowest-index improving column enters and, among rows tied in the ratio
// test, the one whose basic column has the lowest index leaves. Bland's rule
// cannot cycle, and an iteration cap bounds every solve regardless. Ties and
// tolerances are fixed constants, so one problem always takes the same pivots
// and returns the same bits.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

enum class LpStatus { optimal, infeasible, unbounded, iteration_limit };

const char* lp_status_name(LpStatus status);

struct LinearProgram {
  std::vector<double> c;
  Mat a_ub;  // rows x c.size(); 0 rows when there are no inequalities
  std::vector<double> b_ub;
  Mat a_eq;
  std::vector<double> b_eq;
  std::vector<double> lower;  // empty: every variable >= 0
  std::vector<double> upper;  // empty: no upper bounds
};

struct LpSolution {
  LpStatus status = LpStatus::iteration_limit;
  std::vector<double> x;  // the optimal point; empty unless status is optimal
  double objective = std::numeric_limits<double>::quiet_NaN();
  std::size_t iterations = 0;  // pivots of both phases
};

// Generous for programs of this size: Bland's rule rarely needs more than a
// few times rows + columns pivots.
inline constexpr std::size_t kLpMaxIter = 5000;

// A malformed program (mismatched sizes, NaN data, lower > upper) is an
// invariant violation.
LpSolution solve_lp(const LinearProgram& lp, std::size_t max_iter = kLpMaxIter);

}  // namespace quintara::linalg
