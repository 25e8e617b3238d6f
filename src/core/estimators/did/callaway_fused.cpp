// The unweighted, unclustered, complete, covariate-free fit in two passes
// over the units instead of one N-long influence function per cell and per
// aggregate: the first pass sums each cell's treated and comparison changes,
// the second forms every cell's and every aggregate's influence values for a
// block of units at a time, in a buffer that stays in cache, and adds them
// into the sums of squares and the event-time covariance.
//
// Every value is formed by the operations, in the order, of the cell-wise
// path (callaway.cpp), including the zeros a cell holds outside its units,
// and every sum over units runs over the units in ascending order across
// the blocks, so each figure is the cell-wise one bit for bit, for any
// number of threads: the threads split a block's units while forming values
// and split the sums (never one sum) while adding them up.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/estimators/did/callaway_agg.hpp"
#include "core/estimators/did/callaway_sums.hpp"
#include "core/linalg/matrix.hpp"
#include "core/linalg/octet.hpp"
#include "core/linalg/wide_clones.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::estimators::did::fused {

namespace {

using agg::AggInput;
using agg::Shares;

constexpr std::size_t kBlock = 16384;  // units per block: the buffer stays in L3
constexpr std::size_t kPiece =
    1024;  // units per task while forming values: a piece of every row fits in L2
constexpr std::size_t kLanes = 8;  // independent sums advanced together
static_assert(kLanes == linalg::kOctetLanes, "the lookups take one octet of lanes");
constexpr std::size_t kMeansBlock = 8192;  // units per block of the first pass: its rows fit in L2

enum Role : std::uint8_t { kOut = 0, kTreated = 1, kComparison = 2 };

// One cell: its periods, the role of each unit class in it, and, after the
// first pass, its two means and shares.
struct Cell {
  std::size_t g, t, b;
  std::vector<Role> role;            // per class
  std::size_t set_g = 0, set_c = 0;  // positions of G and C in UnitSets::units
  std::size_t n_g = 0, n_c = 0;
  double mu_g = 0.0, mu_c = 0.0, p_g = 0.0, p_c = 0.0;
  // Per class, after the first pass: the mean and share a unit's value is
  // formed with (0 and 1 outside the cell), and its sign (0: outside).
  std::vector<double> class_mu{}, class_p{}, class_sign{};
};

// The cells of fit_cells, in its order, their comparison groups as classes:
// never treated, or (not yet treated) a cohort whose effective adoption
// comes after both periods.
std::vector<Cell> plan_cells(const Shares& shares, std::span<const std::size_t> kept,
                             bool not_yet_treated, std::size_t d, bool varying_base,
                             std::size_t T) {
  std::vector<Cell> out;
  const std::size_t n_classes = shares.class_size.size();
  for (const std::size_t g : kept) {
    const std::size_t b = g - d - 1;
    for (std::size_t t = 0; t < T; ++t) {
      if (varying_base ? t == 0 : t == b) continue;
      Cell cell{g, t, varying_base && t <= b ? t - 1 : b, std::vector<Role>(n_classes, kOut)};
      const std::size_t horizon = std::max(t, cell.b);
      cell.role[0] = kComparison;
      for (std::size_t k = 1; k < n_classes; ++k) {
        const std::size_t c = shares.cohorts[k - 1];
        const std::size_t effective = c > d ? c - d : 0;
        if (c == g) {
          cell.role[k] = kTreated;
        } else if (not_yet_treated && effective > horizon) {
          cell.role[k] = kComparison;
        }
      }
      for (std::size_t k = 0; k < n_classes; ++k) {
        if (cell.role[k] == kTreated) cell.n_g += shares.class_size[k];
        if (cell.role[k] == kComparison) cell.n_c += shares.class_size[k];
      }
      if (cell.n_c > 0) out.push_back(std::move(cell));
    }
  }
  return out;
}

// The distinct treated and comparison groups of the cells, each as its
// units in ascending order: a cell's means are then summed over its own
// units only.
struct UnitSets {
  // Large lists (a set can hold every unit) come from the reused blocks.
  using Units = std::vector<std::size_t, linalg::NoInitAllocator<std::size_t>>;
  std::vector<Units> units;

  UnitSets(const Shares& shares, std::vector<Cell>& cells) {
    const std::size_t n_classes = shares.class_size.size();
    std::vector<std::vector<bool>> members;  // per set: its classes
    const auto find = [&](std::vector<bool> classes) {
      const auto at = std::find(members.begin(), members.end(), classes);
      if (at != members.end()) return static_cast<std::size_t>(at - members.begin());
      members.push_back(std::move(classes));
      return members.size() - 1;
    };
    for (Cell& c : cells) {
      std::vector<bool> g(n_classes), cmp(n_classes);
      for (std::size_t k = 0; k < n_classes; ++k) {
        g[k] = c.role[k] == kTreated;
        cmp[k] = c.role[k] == kComparison;
      }
      c.set_g = find(std::move(g));
      c.set_c = find(std::move(cmp));
    }
    std::vector<std::vector<std::size_t>> sets_of(n_classes);
    units.resize(members.size());
    for (std::size_t s = 0; s < members.size(); ++s) {
      std::size_t size = 0;
      for (std::size_t k = 0; k < n_classes; ++k) {
        if (members[s][k]) {
          sets_of[k].push_back(s);
          size += shares.class_size[k];
        }
      }
      units[s].reserve(size);
    }
    for (std::size_t i = 0; i < shares.n_units; ++i) {
      for (const std::size_t s : sets_of[shares.class_of[i]]) units[s].push_back(i);
    }
  }
};

// First pass: each cell's sums of changes over its treated and over its
// comparison units, each in unit order, then the means as mean_recip forms
// them. The sums over one set advance together (independent additions).
// The units go by in blocks whose rows stay in cache while every task reads
// its set's units from them; each sum still runs over its units in order,
// carried from one block to the next.
void cell_means(const Panel& panel, const UnitSets& sets, std::vector<Cell>& cells) {
  const std::size_t N = panel.n_units();
  const double n = static_cast<double>(N);
  struct Term {
    std::size_t sum, t, b;
  };
  std::vector<std::vector<Term>> terms(sets.units.size());
  for (std::size_t r = 0; r < cells.size(); ++r) {
    terms[cells[r].set_g].push_back({2 * r, cells[r].t * N, cells[r].b * N});
    terms[cells[r].set_c].push_back({2 * r + 1, cells[r].t * N, cells[r].b * N});
  }
  std::vector<double> sums(2 * cells.size(), 0.0);
  const double* y = panel.y.data.data();
  // Tasks: up to kLanes sums over one set, advanced together; each keeps its
  // running sums and its place in the set's units between blocks.
  struct Task {
    std::size_t s, q0, next = 0;
    double acc[kLanes] = {};
  };
  std::vector<Task> tasks;
  for (std::size_t s = 0; s < terms.size(); ++s) {
    for (std::size_t q0 = 0; q0 < terms[s].size(); q0 += kLanes) tasks.push_back({s, q0});
  }
  for (std::size_t i0 = 0; i0 < N; i0 += kMeansBlock) {
    const std::size_t end = std::min(N, i0 + kMeansBlock);
    parallel::parallel_for(tasks.size(), [&](std::size_t k) {
      Task& task = tasks[k];
      const std::vector<Term>& set_terms = terms[task.s];
      const std::size_t nq = std::min(kLanes, set_terms.size() - task.q0);
      const double* yt[kLanes];
      const double* yb[kLanes];
      for (std::size_t q = 0; q < kLanes; ++q) {
        const Term& u = set_terms[task.q0 + std::min(q, nq - 1)];
        yt[q] = y + u.t;
        yb[q] = y + u.b;
      }
      const UnitSets::Units& units = sets.units[task.s];
      // Local sums: the task's own would be reloaded after every store, as
      // they might alias the panel.
      double acc[kLanes];
      std::copy_n(task.acc, kLanes, acc);
      std::size_t j = task.next;
      for (; j < units.size() && units[j] < end; ++j) {
        const std::size_t i = units[j];
        for (std::size_t q = 0; q < kLanes; ++q) acc[q] += yt[q][i] - yb[q][i];
      }
      std::copy_n(acc, kLanes, task.acc);
      task.next = j;
    });
  }
  for (const Task& task : tasks) {
    const std::size_t nq = std::min(kLanes, terms[task.s].size() - task.q0);
    for (std::size_t q = 0; q < nq; ++q) sums[terms[task.s][task.q0 + q].sum] = task.acc[q];
  }
  for (std::size_t r = 0; r < cells.size(); ++r) {
    Cell& c = cells[r];
    c.mu_g = (1.0 / static_cast<double>(c.n_g)) * sums[2 * r];
    c.mu_c = (1.0 / static_cast<double>(c.n_c)) * sums[2 * r + 1];
    c.p_g = static_cast<double>(c.n_g) / n;
    c.p_c = static_cast<double>(c.n_c) / n;
    const std::size_t n_classes = c.role.size();
    c.class_mu.assign(n_classes, 0.0);
    c.class_p.assign(n_classes, 1.0);
    c.class_sign.assign(n_classes, 0.0);
    for (std::size_t k = 0; k < n_classes; ++k) {
      if (c.role[k] == kOut) continue;
      const bool treated = c.role[k] == kTreated;
      c.class_mu[k] = treated ? c.mu_g : c.mu_c;
      c.class_p[k] = treated ? c.p_g : c.p_c;
      c.class_sign[k] = treated ? 1.0 : -1.0;
    }
  }
}

// A row of the block buffer past the cells: sum_r coef * row_r from 0.0 in
// term order, then plus by_class[class of the unit] when that is given.
struct AggRow {
  std::vector<std::pair<std::size_t, double>> terms;
  std::vector<double> by_class;
};

// The rows of one fit and the running sums over the blocks seen so far.
struct Pass {
  const Panel& panel;
  const Shares& shares;
  const std::vector<Cell>& cells;
  const UnitSets& sets;
  std::vector<AggRow> rows;                 // row cells.size() + q
  std::vector<std::size_t> events;          // rows whose covariance is formed
  std::vector<std::vector<double>*> store;  // per row: N-long output, or null
  std::vector<double> ss;                   // per row: sum of squares
  std::vector<double> cov;                  // events x events, lower triangle used
  // The covariance's sums, formed from the event rows laid out unit by unit.
  EventTile tile{};
  std::vector<std::size_t> square_rows{};  // rows whose squares are summed apart

  std::size_t n_rows() const { return cells.size() + rows.size(); }

  // Written in full for each block's units before it is read, so it is
  // never zeroed; and it is large, so it comes from the reused blocks.
  using Buffer = std::vector<double, linalg::NoInitAllocator<double>>;
  void form(Buffer& buf, std::size_t i0, std::size_t len);
  void add_up(const Buffer& buf, std::size_t i0, std::size_t len);
  void run();
};

// out[i] + c[0] in[0][i] + ... + c[Q-1] in[Q-1][i] (+ share[cls[i]] when
// given), left to right, for units [from, to) of a block; a row's first
// sweep starts from 0.0 in place of out[i].
struct Sweep {
  double* out;
  const double* in[4];
  double c[4];
  const std::size_t* cls;
  const double* share;
  std::size_t n_classes;
  bool first;  // the row's first sweep: its sums start from 0.0, not from out

  template <std::size_t Q, bool kShare, bool kFirst>
  void terms(std::size_t from, std::size_t to) const {
    std::size_t i = from;
    if constexpr (kShare) {
      // The share is picked by a permute of one vector of per-class
      // entries: a gather would leave the loop scalar.
      if (n_classes <= kLanes) i = vector_terms<Q, kFirst>(from, to);
    }
    for (; i < to; ++i) {
      double v = kFirst ? 0.0 : out[i];
      for (std::size_t q = 0; q < Q; ++q) v = v + c[q] * in[q][i];
      if constexpr (kShare) v = v + share[cls[i]];
      out[i] = v;
    }
  }

  // terms<Q, true, kFirst> for whole vectors of units from `from`; returns
  // where the tail starts.
  template <std::size_t Q, bool kFirst>
  std::size_t vector_terms(std::size_t from, std::size_t to) const {
    using linalg::Octet;
    using Index = linalg::OctetIndex;
    Octet table{};
    for (std::size_t k = 0; k < n_classes; ++k) table[k] = share[k];
    std::size_t i = from;
    for (; i + kLanes <= to; i += kLanes) {
      Octet v{}, x;
      if constexpr (!kFirst) std::memcpy(&v, out + i, sizeof v);
      for (std::size_t q = 0; q < Q; ++q) {
        std::memcpy(&x, in[q] + i, sizeof x);
        v = v + c[q] * x;
      }
      Index k;
      std::memcpy(&k, cls + i, sizeof k);
      v = v + __builtin_shuffle(table, k);
      std::memcpy(out + i, &v, sizeof v);
    }
    return i;
  }

  template <std::size_t Q, bool kFirst>
  void pick(std::size_t from, std::size_t to) const {
    share != nullptr ? terms<Q, true, kFirst>(from, to) : terms<Q, false, kFirst>(from, to);
  }

  template <std::size_t Q>
  void pick(std::size_t from, std::size_t to) const {
    first ? pick<Q, true>(from, to) : pick<Q, false>(from, to);
  }

  void run(std::size_t nq, std::size_t from, std::size_t to) const {
    switch (nq) {
      case 1: return pick<1>(from, to);
      case 2: return pick<2>(from, to);
      case 3: return pick<3>(from, to);
      default: return pick<4>(from, to);
    }
  }
};

// A cell's values for units [from, to): (y_t - y_b - mu) / p for a treated
// unit, its negation for a comparison unit (-(x) / p and -(x / p) are the
// same double), 0.0 outside the cell, with mu and p those of the unit's
// class. Every unit is formed and the outside ones masked, so the loop has
// no branch and vectorises. With at most eight classes the tables sit in one
// vector each and a unit's entries are picked by a permute, not gathered;
// each value is formed by the same operations either way.
QUINTARA_WIDE_CLONES void cell_values(double* __restrict out, const double* __restrict yt,
                                      const double* __restrict yb, const std::size_t* cls,
                                      const Cell& c, std::size_t from, std::size_t to) {
  const double* mu = c.class_mu.data();
  const double* pk = c.class_p.data();
  const double* sign = c.class_sign.data();
  std::size_t i = from;
  if (const std::size_t n_classes = c.class_mu.size(); n_classes <= kLanes) {
    using linalg::Octet;
    using Index = linalg::OctetIndex;
    static_assert(sizeof(std::size_t) == sizeof(std::int64_t));
    Octet tmu{}, tp{}, tsign{};
    for (std::size_t k = 0; k < kLanes; ++k) {
      tmu[k] = k < n_classes ? mu[k] : 0.0;
      tp[k] = k < n_classes ? pk[k] : 1.0;
      tsign[k] = k < n_classes ? sign[k] : 0.0;
    }
    const Octet zero{};
    for (; i + kLanes <= to; i += kLanes) {
      Index k;
      Octet a, b;
      std::memcpy(&k, cls + i, sizeof k);
      std::memcpy(&a, yt + i, sizeof a);
      std::memcpy(&b, yb + i, sizeof b);
      const Octet s = __builtin_shuffle(tsign, k);
      const Octet v = (a - b - __builtin_shuffle(tmu, k)) / __builtin_shuffle(tp, k);
      const Octet o = s == zero ? zero : s * v;
      std::memcpy(out + i, &o, sizeof o);
    }
  }
  for (; i < to; ++i) {
    const std::size_t k = cls[i];
    const double v = (yt[i] - yb[i] - mu[k]) / pk[k];
    out[i] = sign[k] == 0.0 ? 0.0 : sign[k] * v;
  }
}

// Values of every row for units [i0 + from, i0 + to) of the block, and the
// event rows' values copied unit by unit into the tile.
QUINTARA_WIDE_CLONES void form_piece(Pass& p, double* buf, std::size_t i0, std::size_t from,
                                     std::size_t to) {
  const std::size_t N = p.panel.n_units();
  const double* y = p.panel.y.data.data();
  const std::size_t* cls = p.shares.class_of.data() + i0;
  for (std::size_t r = 0; r < p.cells.size(); ++r) {
    const Cell& c = p.cells[r];
    cell_values(buf + r * kBlock, y + c.t * N + i0, y + c.b * N + i0, cls, c, from, to);
  }
  for (std::size_t q = 0; q < p.rows.size(); ++q) {
    const AggRow& row = p.rows[q];
    double* out = buf + (p.cells.size() + q) * kBlock;
    // Up to four terms per sweep, added to each unit's sum (from 0.0) in
    // term order; the last sweep also adds the unit's share term.
    const std::size_t n_terms = row.terms.size();
    for (std::size_t k = 0; k < n_terms; k += 4) {
      const std::size_t nq = std::min<std::size_t>(4, n_terms - k);
      Sweep w{out,
              {},
              {},
              cls,
              k + nq == n_terms && !row.by_class.empty() ? row.by_class.data() : nullptr,
              p.shares.class_size.size(),
              k == 0};
      for (std::size_t q = 0; q < nq; ++q) {
        w.in[q] = buf + row.terms[k + q].first * kBlock;
        w.c[q] = row.terms[k + q].second;
      }
      w.run(nq, from, to);
    }
    if (n_terms == 0) {
      for (std::size_t i = from; i < to; ++i) {
        out[i] = row.by_class.empty() ? 0.0 : 0.0 + row.by_class[cls[i]];
      }
    }
  }
  p.tile.fill(buf, kBlock, p.events, from, to);
}

void Pass::form(Buffer& buf, std::size_t i0, std::size_t len) {
  const std::size_t pieces = (len + kPiece - 1) / kPiece;
  // The pieces write disjoint units of the buffer and the tile.
  parallel::parallel_for(pieces, [&](std::size_t k) {
    form_piece(*this, buf.data(), i0, k * kPiece, std::min(len, (k + 1) * kPiece));
  });
}

void Pass::add_up(const Buffer& buf, std::size_t i0, std::size_t len) {
  // Tasks: groups of kLanes rows' squares (the event rows' are the
  // covariance's diagonal), then the tile's groups of product sums; each
  // task owns its sums.
  const std::size_t n_square = square_rows.size();
  const std::size_t n_groups = (n_square + kLanes - 1) / kLanes;
  const std::size_t n_tasks = n_groups + tile.n_tasks();
  parallel::parallel_for(n_tasks + 1, [&](std::size_t k) {
    if (k == n_tasks) {
      for (std::size_t r = 0; r < n_rows(); ++r) {
        if (store[r]) std::copy_n(buf.data() + r * kBlock, len, store[r]->data() + i0);
      }
    } else if (k < n_groups) {
      const std::size_t g0 = k * kLanes;
      add_squares(buf.data(), kBlock, len, square_rows.data() + g0, std::min(kLanes, n_square - g0),
                  ss.data());
    } else {
      tile.add_products(k - n_groups, len);
    }
  });
}

void Pass::run() {
  const std::size_t N = panel.n_units();
  ss.assign(n_rows(), 0.0);
  for (std::size_t r = 0; r < n_rows(); ++r) {
    if (std::find(events.begin(), events.end(), r) == events.end()) square_rows.push_back(r);
  }
  tile = EventTile(events.size(), kBlock);
  Buffer buf(n_rows() * kBlock);
  for (std::size_t i0 = 0; i0 < N; i0 += kBlock) {
    const std::size_t len = std::min(kBlock, N - i0);
    form(buf, i0, len);
    add_up(buf, i0, len);
  }
  cov = tile.covariance();
  for (std::size_t a = 0; a < events.size(); ++a) ss[events[a]] = cov[a * events.size() + a];
}

// Appends the row of an aggregate over earlier rows (`rows_of[r]` for its
// item r), its share terms by class; returns its position.
std::size_t add_aggregate_row(Pass& pass, const agg::AggPlan& plan,
                              const std::vector<std::size_t>& rows_of) {
  AggRow row{{}, plan.by_class(pass.shares.class_size.size())};
  for (std::size_t r = 0; r < plan.c.size(); ++r) row.terms.emplace_back(rows_of[r], plan.c[r]);
  pass.rows.push_back(std::move(row));
  return pass.n_rows() - 1;
}

// The plain mean of rows (0.0 plus m * part, part by part) and its
// estimate; none without parts.
std::optional<std::size_t> add_mean_row(Pass& pass, const std::vector<std::size_t>& rows,
                                        const std::vector<double>& estimates,
                                        std::optional<AggEffect>& into) {
  if (rows.empty()) return std::nullopt;
  const double m = 1.0 / static_cast<double>(rows.size());
  AggRow row;
  into.emplace();
  for (std::size_t k = 0; k < rows.size(); ++k) {
    into->estimate += m * estimates[k];
    row.terms.emplace_back(rows[k], m);
  }
  pass.rows.push_back(std::move(row));
  return pass.n_rows() - 1;
}

// The first-level aggregates: each list's row and effect, none when it has
// no weight; lists in aggregate_lists' order.
struct FirstLevel {
  std::vector<std::optional<std::size_t>> row_of;
  std::vector<AggEffect> effect;
  std::size_t overall = 0, groups0 = 0, calendar0 = 0, end = 0;  // the ranges of the lists

  FirstLevel(Pass& pass, const agg::AggLists& lists)
      : row_of(lists.lists.size()), effect(lists.lists.size()), overall(lists.n_events),
        groups0(overall + 1), calendar0(groups0 + lists.n_groups), end(lists.lists.size()) {
    for (std::size_t a = 0; a < end; ++a) {
      const auto plan = agg::plan_aggregate(lists.lists[a], pass.shares);
      if (!plan) continue;
      std::vector<std::size_t> sources;
      for (const AggInput& item : lists.lists[a]) sources.push_back(item.source);
      row_of[a] = add_aggregate_row(pass, *plan, sources);
      effect[a] = AggEffect{{}, lists.keys[a], plan->theta, 0.0};
    }
  }

  // The lists in [from, to) that have a row (event times >= 0 only when
  // `post_only`).
  std::vector<std::size_t> present(std::size_t from, std::size_t to, bool post_only) const {
    std::vector<std::size_t> out;
    for (std::size_t a = from; a < to; ++a) {
      if (row_of[a] && (!post_only || effect[a].key >= 0)) out.push_back(a);
    }
    return out;
  }
  std::vector<std::size_t> rows(const std::vector<std::size_t>& lists) const {
    std::vector<std::size_t> out;
    for (const std::size_t a : lists) out.push_back(*row_of[a]);
    return out;
  }
  std::vector<double> estimates(const std::vector<std::size_t>& lists) const {
    std::vector<double> out;
    for (const std::size_t a : lists) out.push_back(effect[a].estimate);
    return out;
  }
};

linalg::Mat event_covariance(const Pass& pass, double n) {
  const std::size_t E = pass.events.size();
  const double n2 = n * n;
  linalg::Mat cov(E, E);
  for (std::size_t a = 0; a < E; ++a) {
    for (std::size_t b = 0; b <= a; ++b) {
      cov(a, b) = pass.cov[a * E + b] / n2;
      cov(b, a) = cov(a, b);
    }
  }
  return cov;
}

}  // namespace

CsResult fit(const Panel& panel, const Shares& shares, std::span<const std::size_t> kept,
             bool not_yet_treated, std::size_t anticipation, bool varying_base,
             const EventWindow& window, bool influences) {
  const std::size_t N = panel.n_units();
  const double n = static_cast<double>(N);
  std::vector<Cell> cells =
      plan_cells(shares, kept, not_yet_treated, anticipation, varying_base, panel.n_periods());
  const UnitSets sets(shares, cells);
  cell_means(panel, sets, cells);

  CsResult out;
  for (const Cell& c : cells) {
    const auto e = static_cast<std::int64_t>(c.t) - static_cast<std::int64_t>(c.g);
    out.cells.push_back(GroupTimeAtt{{}, c.g, c.t, e, c.mu_g - c.mu_c, 0.0});
  }
  Pass pass{panel, shares, cells, sets, {}, {}, {}, {}, {}, {}, {}};
  FirstLevel first(pass, agg::aggregate_lists(out.cells, kept, window, panel.n_periods()));
  const std::vector<std::size_t> events = first.present(0, first.overall, false);
  const std::vector<std::size_t> post = first.present(0, first.overall, true);
  const std::vector<std::size_t> groups = first.present(first.groups0, first.calendar0, false);
  const std::vector<std::size_t> calendar = first.present(first.calendar0, first.end, false);

  const auto dynamic_row =
      add_mean_row(pass, first.rows(post), first.estimates(post), out.dynamic_overall);
  std::vector<AggInput> group_items;
  for (const std::size_t a : groups) {
    const AggEffect& g = first.effect[a];
    group_items.push_back({static_cast<std::size_t>(g.key), g.estimate, nullptr, *first.row_of[a]});
  }
  std::optional<std::size_t> group_row;
  if (const auto plan = agg::plan_aggregate(group_items, shares)) {
    group_row = add_aggregate_row(pass, *plan, first.rows(groups));
    out.group_overall_att = plan->theta;
  }
  const auto calendar_row =
      add_mean_row(pass, first.rows(calendar), first.estimates(calendar), out.calendar_overall);

  pass.events = first.rows(events);
  pass.store.assign(pass.n_rows(), nullptr);
  if (influences) {
    const auto keep = [&](std::size_t row, std::vector<double>& v) {
      v.resize(N);
      pass.store[row] = &v;
    };
    for (std::size_t r = 0; r < cells.size(); ++r) keep(r, out.cells[r].influence);
    for (std::size_t a = 0; a < first.end; ++a) {
      if (first.row_of[a]) {
        keep(*first.row_of[a],
             a == first.overall ? out.overall_influence : first.effect[a].influence);
      }
    }
    if (dynamic_row) keep(*dynamic_row, out.dynamic_overall->influence);
    if (calendar_row) keep(*calendar_row, out.calendar_overall->influence);
  }
  pass.run();

  for (std::size_t r = 0; r < cells.size(); ++r) out.cells[r].se = std::sqrt(pass.ss[r] / (n * n));
  for (std::size_t a = 0; a < first.end; ++a) {
    if (first.row_of[a]) first.effect[a].se = std::sqrt(pass.ss[*first.row_of[a]]) / n;
  }
  for (const std::size_t a : events) out.event_study.push_back(std::move(first.effect[a]));
  if (first.row_of[first.overall]) {
    out.overall_att = first.effect[first.overall].estimate;
    out.overall_se = first.effect[first.overall].se;
  }
  for (const std::size_t a : groups) out.groups.push_back(std::move(first.effect[a]));
  for (const std::size_t a : calendar) out.calendar.push_back(std::move(first.effect[a]));
  if (dynamic_row) out.dynamic_overall->se = std::sqrt(pass.ss[*dynamic_row]) / n;
  if (calendar_row) out.calendar_overall->se = std::sqrt(pass.ss[*calendar_row]) / n;
  if (group_row) out.group_overall_se = std::sqrt(pass.ss[*group_row]) / n;
  out.event_cov = event_covariance(pass, n);
  return out;
}

}  // namespace quintara::estimators::did::fused
