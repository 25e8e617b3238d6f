// Dense float64 matrix in column-major order.
//
// Element (i, j) lives at data[i + j*rows], so a column is one contiguous run.
// In a panel the rows are units and the columns periods. Copying is deep; a
// Mat is plain data that may be moved to and read from any thread. A Mat
// converts implicitly to a MatView, which is what read-only code takes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/linalg/matrix_view.hpp"
#include "core/panic.hpp"

namespace quintara::linalg {

// Storage of at least kLargeBytes comes in whole huge pages where the system
// offers them on request (the kernel then faults in a large panel's fresh
// memory a few hundred times instead of tens of thousands of times), and a
// few such blocks, once freed, are kept for the next request of their size
// (matrix.cpp says how many and how much).
inline constexpr std::size_t kLargeBytes = std::size_t{4} << 20;
void* allocate_large(std::size_t bytes);
void free_large(void* p, std::size_t bytes) noexcept;

// std::allocator, except that an element constructed without a value is
// left uninitialised: a buffer about to be overwritten in full is then not
// zeroed first (a pass over memory that, for a large panel, costs as much
// as the copy into it).
template <class T>
struct NoInitAllocator : std::allocator<T> {
  T* allocate(std::size_t n) {
    if (n >= kLargeBytes / sizeof(T)) return static_cast<T*>(allocate_large(n * sizeof(T)));
    return std::allocator<T>::allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n >= kLargeBytes / sizeof(T)) return free_large(p, n * sizeof(T));
    std::allocator<T>::deallocate(p, n);
  }
  template <class U>
  struct rebind {
    using other = NoInitAllocator<U>;
  };
  NoInitAllocator() = default;
  template <class U>
  NoInitAllocator(const NoInitAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
  }
};

// A Mat's storage against a plain vector: equal when they hold the same
// values (C++20 also takes it in the other order).
inline bool operator==(const std::vector<double, NoInitAllocator<double>>& a,
                       const std::vector<double>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

struct Mat {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double, NoInitAllocator<double>> data;

  Mat() = default;
  Mat(std::size_t r, std::size_t c) : rows(r), cols(c), data(r * c, 0.0) {}

  // r x c with unspecified entries, for a caller that writes every one.
  static Mat uninitialised(std::size_t r, std::size_t c) {
    Mat m;
    m.rows = r;
    m.cols = c;
    m.data.resize(r * c);
    return m;
  }

  static Mat zeros(std::size_t r, std::size_t c) { return Mat(r, c); }
  static Mat identity(std::size_t n);

  // Checked on the storage position, not on i and j separately: a position at
  // or beyond rows*cols is an invariant violation.
  double& operator()(std::size_t i, std::size_t j) {
    const std::size_t p = i + j * rows;
    check_index(p, data.size());
    return data[p];
  }
  double operator()(std::size_t i, std::size_t j) const {
    const std::size_t p = i + j * rows;
    check_index(p, data.size());
    return data[p];
  }

  std::span<const double> col(std::size_t j) const {
    check_index(j, cols);
    return {data.data() + j * rows, rows};
  }
  std::span<double> col_mut(std::size_t j) {
    check_index(j, cols);
    return {data.data() + j * rows, rows};
  }

  MatView view() const { return {data.data(), rows, cols, rows}; }
  operator MatView() const { return view(); }  // NOLINT: implicit by design

  Mat transpose() const { return view().transpose(); }
};

}  // namespace quintara::linalg
