// The sums over units of the streamed Callaway-Sant'Anna fit: each row's sum
// of squares and the event rows' covariance, added block by block.
//
// Every sum is one chain of additions over the units in ascending order,
// carried from block to block, exactly as a single loop over all units would
// form it; lanes and threads only advance independent sums together. The
// covariance's sums are vectorised across its entries: the event rows are
// copied unit by unit into a tile, so that one unit's values against eight
// events are one contiguous load, and eight entries advance per operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::estimators::did::fused {

// Sums of squares of rows rows[0..nr) (nr <= 8) of a block whose row r
// starts at buf + r * stride, over its first len units, added to ss[row].
void add_squares(const double* buf, std::size_t stride, std::size_t len, const std::size_t* rows,
                 std::size_t nr, double* ss);

class EventTile {
 public:
  EventTile() = default;
  // A tile for `block` units of `n_events` event rows.
  EventTile(std::size_t n_events, std::size_t block);

  // Copies units [from, to) of the event rows (row events[a] of a block
  // buffer with rows `stride` apart) into the tile.
  void fill(const double* buf, std::size_t stride, std::span<const std::size_t> events,
            std::size_t from, std::size_t to);
  // Independent groups of covariance sums, for tasks.
  std::size_t n_tasks() const { return a_.size() / kPerTask; }
  // Adds the tile's first len units to group `task`'s sums.
  void add_products(std::size_t task, std::size_t len);
  // The sums so far, events x events row-major, the lower triangle and the
  // diagonal filled.
  std::vector<double> covariance() const;

  static constexpr std::size_t kPerTask = 6;  // eight-entry groups per task: all in registers

 private:
  std::size_t n_ = 0, ld_ = 0;  // events; doubles per unit in the tile
  std::size_t n_groups_ = 0;    // groups before the dummies that fill the last task
  // block x ld_, unit by unit; zero in the padding lanes.
  std::vector<double, linalg::NoInitAllocator<double>> values_;
  std::vector<std::uint32_t> a_, c_;  // per group: its event row, its eight-column chunk
  std::vector<double> sums_;          // per group: eight running sums
};

}  // namespace quintara::estimators::did::fused
