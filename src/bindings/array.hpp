// Read-only views of NumPy float64 arrays through the buffer protocol.
//
// The view holds the exporter's buffer (a shared read borrow) for the whole
// call and reads elements through the array's own strides, so transposed,
// sliced and negative-stride arrays need no copy until mat_from_numpy.
// Dimensions, strides and item type are those of the buffer itself, which is
// what makes the reads safe: an object's Python attributes (dtype, ndim,
// shape) may say otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "bindings/py.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::runs {
class PowerOfTwo;
}

namespace quintara::bindings {

class ArrayView {
 public:
  ArrayView() = default;
  // Acquires the strided buffer of `obj`, whatever its item type.
  static ArrayView acquire(PyObject* obj);
  ArrayView(ArrayView&& o) noexcept : view_(o.view_), held_(std::exchange(o.held_, false)) {}
  ArrayView& operator=(ArrayView&& o) noexcept {
    if (this != &o) {
      release();
      view_ = o.view_;
      held_ = std::exchange(o.held_, false);
    }
    return *this;
  }
  ArrayView(const ArrayView&) = delete;
  ArrayView& operator=(const ArrayView&) = delete;
  ~ArrayView() { release(); }

  int ndim() const { return view_.ndim; }
  // The buffer's struct-module item format ("B" when the exporter gave none).
  std::string format() const { return view_.format != nullptr ? view_.format : "B"; }
  std::size_t itemsize() const { return static_cast<std::size_t>(view_.itemsize); }
  // True when the items are 8-byte IEEE doubles in this machine's byte order,
  // the only layout at() may read.
  bool holds_native_float64() const;
  // The same for 8-byte signed integers (NumPy's int64), which at1 may read.
  bool holds_native_int64() const;
  std::size_t dim(int k) const { return static_cast<std::size_t>(view_.shape[k]); }

  double at(std::size_t i, std::size_t j) const {
    const char* p = static_cast<const char*>(view_.buf) +
                    static_cast<Py_ssize_t>(i) * view_.strides[0] +
                    static_cast<Py_ssize_t>(j) * view_.strides[1];
    return load<double>(p);
  }
  const void* buf() const { return view_.buf; }
  Py_ssize_t stride(int k) const { return view_.strides[k]; }
  // Item i of a 1-D view whose items are T (checked by the caller).
  template <class T>
  T at1(std::size_t i) const {
    const char* p =
        static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(i) * view_.strides[0];
    return load<T>(p);
  }
  // True when the buffer's address and every stride are multiples of T's
  // alignment, so that its items may be read in place as T.
  template <class T>
  bool aligned_for() const {
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(T) != 0) return false;
    for (int k = 0; k < view_.ndim; ++k) {
      if (view_.strides[k] % static_cast<Py_ssize_t>(alignof(T)) != 0) return false;
    }
    return true;
  }
  double at(std::size_t i, std::size_t j, std::size_t k) const {
    const char* p = static_cast<const char*>(view_.buf) +
                    static_cast<Py_ssize_t>(i) * view_.strides[0] +
                    static_cast<Py_ssize_t>(j) * view_.strides[1] +
                    static_cast<Py_ssize_t>(k) * view_.strides[2];
    return load<double>(p);
  }

 private:
  // An exporter may hand over any address (a view at an odd offset into a
  // bytes object): items are copied out, never dereferenced in place.
  template <class T>
  static T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
  }

  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  Py_buffer view_{};
  bool held_ = false;
};

// A view known to be 3-D: its own type, so that a parameter's kind follows
// from the type of the member it is parsed into.
class Array3View : public ArrayView {
 public:
  Array3View() = default;
  explicit Array3View(ArrayView&& v) : ArrayView(std::move(v)) {}
};

// Copies a 2-D view into a new column-major Mat (rows = first dimension).
// The copy is exact; no arithmetic.
linalg::Mat mat_from_numpy(const ArrayView& array);
// The same copy, each value multiplied by the power of two `scale` on the
// way (exact, as normalising after the copy would be): a panel normalised
// in the pass that copies it.
linalg::Mat mat_from_numpy(const ArrayView& array, const runs::PowerOfTwo& scale);

// Copies slice k (first index) of a 3-D view into a Mat of the other two
// dimensions.
linalg::Mat mat_from_numpy_slice(const ArrayView& array, std::size_t k);

// A new, writable, 1-D float64 ndarray holding a copy of `values`. The
// limited API has no array constructor, so the bytes go through a bytes
// object and numpy.frombuffer, whose read-only view is then copied into an
// array that owns its data.
Ref new_float64_array(std::span<const double> values);

}  // namespace quintara::bindings
