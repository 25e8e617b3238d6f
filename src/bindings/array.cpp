#include "bindings/array.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "core/linalg/octet.hpp"
#include "core/parallel/pool.hpp"
#include "core/runs/scale.hpp"

namespace quintara::bindings {

ArrayView ArrayView::acquire(PyObject* obj) {
  ArrayView v;
  // Strides and format, no writability: a read-only array is fine.
  if (PyObject_GetBuffer(obj, &v.view_, PyBUF_RECORDS_RO) < 0) throw PyErrSet{};
  v.held_ = true;
  return v;
}

bool ArrayView::holds_native_float64() const {
  if (view_.itemsize != 8) return false;
  const std::string f = format();
  // No prefix, '@' and '=' all mean native byte order; '<' or '>' only when
  // it matches this machine's.
  if (f == "d" || f == "@d" || f == "=d") return true;
  return f == (std::endian::native == std::endian::little ? "<d" : ">d");
}

bool ArrayView::holds_native_int64() const {
  if (view_.itemsize != 8) return false;
  const std::string f = format();
  const char order = std::endian::native == std::endian::little ? '<' : '>';
  // 'l' is 8 bytes only natively ('=l' is the 4-byte standard size, which
  // the item size has already refused).
  for (const char code : {'q', 'l'}) {
    if (f == std::string(1, code) || f == std::string{'@', code} || f == std::string{'=', code} ||
        f == std::string{order, code}) {
      return true;
    }
  }
  return false;
}

namespace {

// The mapping of a plain copy, told apart at compile time.
struct Identity {
  double operator()(double v) const { return v; }
};

// Rows [i0, i1) of `array` into m. A row-major array is read a band of rows
// at a time, so each column's pass finds the band in cache instead of
// reading the whole array again.
template <class F>
void copy_rows(const ArrayView& array, linalg::Mat& m, std::size_t i0, std::size_t i1, F f) {
  constexpr std::size_t kBand = 512;
  const std::size_t n = m.rows;
  const bool rows_contiguous = array.stride(1) == static_cast<Py_ssize_t>(sizeof(double));
  const auto* base = static_cast<const char*>(array.buf());
  const Py_ssize_t row_stride = array.stride(0);
  for (std::size_t b0 = i0; b0 < i1; b0 += kBand) {
    const std::size_t b1 = std::min(i1, b0 + kBand);
    if (rows_contiguous) {
      // The common C-ordered array: rows transposed into columns in blocks,
      // then the mapping applied to the band while it is in cache.
      linalg::rows_to_columns(base, row_stride, b0, b1, m.cols, m.data.data(), n);
      if constexpr (!std::is_same_v<F, Identity>) {
        for (std::size_t j = 0; j < m.cols; ++j) {
          double* col = m.data.data() + j * n;
          for (std::size_t i = b0; i < b1; ++i) col[i] = f(col[i]);
        }
      }
      continue;
    }
    for (std::size_t j = 0; j < m.cols; ++j) {
      double* col = m.data.data() + j * n;
      for (std::size_t i = b0; i < b1; ++i) col[i] = f(array.at(i, j));
    }
  }
}

template <class F>
linalg::Mat copy_mapped(const ArrayView& array, F f) {
  const std::size_t n = array.dim(0), t = array.dim(1);
  // Every entry is written below, so the storage is not zeroed first.
  linalg::Mat m = linalg::Mat::uninitialised(n, t);
  // A large array is copied by the pool, a range of rows per task: the
  // first touch of fresh pages (the kernel's faults and zeroing) is then
  // shared too. Tasks write disjoint entries, so the copy is the same.
  constexpr std::size_t kTaskCells = std::size_t{1} << 16;
  const std::size_t rows_per_task =
      std::max<std::size_t>(1, kTaskCells / std::max<std::size_t>(t, 1));
  const std::size_t tasks = (n + rows_per_task - 1) / rows_per_task;
  if (tasks <= 1) {
    copy_rows(array, m, 0, n, f);
    return m;
  }
  parallel::parallel_for(tasks, [&](std::size_t k) {
    copy_rows(array, m, k * rows_per_task, std::min(n, (k + 1) * rows_per_task), f);
  });
  return m;
}

}  // namespace

linalg::Mat mat_from_numpy(const ArrayView& array) { return copy_mapped(array, Identity{}); }

linalg::Mat mat_from_numpy(const ArrayView& array, const runs::PowerOfTwo& scale) {
  return copy_mapped(array, [&](double v) { return scale(v); });
}

linalg::Mat mat_from_numpy_slice(const ArrayView& array, std::size_t k) {
  const std::size_t n = array.dim(1), t = array.dim(2);
  linalg::Mat m(n, t);
  for (std::size_t j = 0; j < t; ++j) {
    double* col = m.data.data() + j * n;
    for (std::size_t i = 0; i < n; ++i) col[i] = array.at(k, i, j);
  }
  return m;
}

Ref new_float64_array(std::span<const double> values) {
  const Ref bytes = Ref::check(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                static_cast<Py_ssize_t>(values.size() * sizeof(double))));
  const Ref numpy = Ref::check(PyImport_ImportModule("numpy"));
  const Ref frombuffer = Ref::check(PyObject_GetAttrString(numpy.get(), "frombuffer"));
  const Ref float64 = Ref::check(PyObject_GetAttrString(numpy.get(), "float64"));
  const Ref view = Ref::check(
      PyObject_CallFunctionObjArgs(frombuffer.get(), bytes.get(), float64.get(), nullptr));
  return Ref::check(PyObject_CallMethod(view.get(), "copy", nullptr));
}

}  // namespace quintara::bindings
