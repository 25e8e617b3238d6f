#include "bindings/array.hpp"

namespace quintara::bindings {

ArrayView ArrayView::acquire(PyObject* obj) {
  ArrayView v;
  // Strides and format, no writability: a read-only array is fine.
  if (PyObject_GetBuffer(obj, &v.view_, PyBUF_RECORDS_RO) < 0) throw PyErrSet{};
  v.held_ = true;
  return v;
}

linalg::Mat mat_from_numpy(const ArrayView& array) {
  const std::size_t n = array.dim(0), t = array.dim(1);
  linalg::Mat m(n, t);
  for (std::size_t j = 0; j < t; ++j) {
    double* col = m.data.data() + j * n;
    for (std::size_t i = 0; i < n; ++i) col[i] = array.at(i, j);
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

}  // namespace quintara::bindings
