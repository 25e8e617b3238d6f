#include "bindings/array.hpp"

#include <algorithm>
#include <bit>

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

linalg::Mat mat_from_numpy(const ArrayView& array) {
  const std::size_t n = array.dim(0), t = array.dim(1);
  linalg::Mat m(n, t);
  // A row-major array is read a band of rows at a time, so each column's
  // pass finds the band in cache instead of reading the whole array again.
  constexpr std::size_t kBand = 512;
  for (std::size_t i0 = 0; i0 < n; i0 += kBand) {
    const std::size_t i1 = std::min(n, i0 + kBand);
    for (std::size_t j = 0; j < t; ++j) {
      double* col = m.data.data() + j * n;
      for (std::size_t i = i0; i < i1; ++i) col[i] = array.at(i, j);
    }
  }
  return m;
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
