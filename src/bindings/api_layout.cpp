#include "bindings/api_layout.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bindings/array.hpp"
#include "bindings/block.hpp"
#include "bindings/errors.hpp"
#include "core/estimators/long_layout.hpp"

namespace quintara::bindings {
namespace {

// The items of a 1-D buffer, checked to be of type T. The call holds the
// interpreter lock from acquisition to the last read, so the exporter cannot
// change the buffer meanwhile: a contiguous one at an address aligned for T
// is read in place, any other copied once (item by item, whatever its
// alignment).
template <class T>
class Column {
 public:
  Column(PyObject* obj, const char* name, bool (ArrayView::*holds)() const, const char* what)
      : view_(ArrayView::acquire(obj)) {
    if (view_.ndim() != 1 || !(view_.*holds)()) {
      raise(PyExc_TypeError, std::string("argument '") + name + "': expected a 1-D array of " +
                                 what + ", got buffer format '" + view_.format() + "' with " +
                                 std::to_string(view_.ndim()) + " dimension(s)");
    }
    const std::size_t n = view_.dim(0);
    if ((n < 2 || view_.stride(0) == static_cast<Py_ssize_t>(sizeof(T))) &&
        view_.aligned_for<T>()) {
      items_ = {static_cast<const T*>(view_.buf()), n};
      return;
    }
    copy_.resize(n);
    for (std::size_t i = 0; i < n; ++i) copy_[i] = view_.at1<T>(i);
    items_ = copy_;
  }
  std::span<const T> items() const { return items_; }

 private:
  ArrayView view_;
  std::vector<T> copy_;
  std::span<const T> items_;
};

void set_item(PyObject* dict, const char* key, Ref value) {
  check_status(PyDict_SetItemString(dict, key, value.get()));
}

Ref optional_index(const std::optional<std::size_t>& v) {
  return v ? new_uint(*v) : Ref::borrow(Py_None);
}

Ref layout_dict(const estimators::LongLayout& l, Ref y) {
  Ref d = Ref::check(PyDict_New());
  set_item(d.get(), "unit_lo", new_int(l.unit_lo));
  set_item(d.get(), "time_lo", new_int(l.time_lo));
  set_item(d.get(), "n_units", new_uint(l.n_units));
  set_item(d.get(), "n_periods", new_uint(l.n_periods));
  set_item(d.get(), "in_order", Ref::borrow(l.in_order ? Py_True : Py_False));
  set_item(d.get(), "duplicate", optional_index(l.duplicate));
  set_item(d.get(), "n_missing", new_uint(l.n_missing));
  set_item(d.get(), "n_nan", new_uint(l.n_nan));
  set_item(d.get(), "n_inf", new_uint(l.n_inf));
  set_item(d.get(), "y", std::move(y));
  return d;
}

Ref long_layout(PyObject* args) {
  PyObject *unit_obj = nullptr, *time_obj = nullptr, *values_obj = nullptr;
  if (!PyArg_ParseTuple(args, "OOO:_long_layout", &unit_obj, &time_obj, &values_obj)) {
    throw PyErrSet{};
  }
  const Column<std::int64_t> unit_col(unit_obj, "unit", &ArrayView::holds_native_int64, "int64");
  const Column<std::int64_t> time_col(time_obj, "time", &ArrayView::holds_native_int64, "int64");
  const Column<double> values_col(values_obj, "values", &ArrayView::holds_native_float64,
                                  "float64");
  const std::span<const std::int64_t> unit = unit_col.items(), time = time_col.items();
  const std::span<const double> values = values_col.items();
  if (unit.size() != time.size() || unit.size() != values.size()) {
    raise(PyExc_ValueError, "unit, time and values must have the same length");
  }
  estimators::LongLayout layout = estimators::plan_long(unit, time);
  if (!layout.compact) return Ref::borrow(Py_None);
  if (layout.duplicate) {
    estimators::count_nonfinite(layout, values);
    return layout_dict(layout, Ref::borrow(Py_None));
  }
  // The block is the array's own storage (NumPy views it writable, with no
  // copy), filled in place.
  void* storage = nullptr;
  Ref y = new_block(layout.n_cells() * sizeof(double), &storage);
  double* cells = static_cast<double*>(storage);
  estimators::place_long(layout, unit, time, values, {cells, layout.n_cells()});
  return layout_dict(layout, std::move(y));
}

// The firsts of Column<T> `values`' runs as a buffer of T (see new_block), or None.
template <class T>
Ref firsts_of(PyObject* values_obj, std::size_t width, bool (ArrayView::*holds)() const,
              const char* what) {
  const Column<T> col(values_obj, "values", holds, what);
  const std::span<const T> v = col.items();
  if (v.size() % width != 0) return Ref::borrow(Py_None);
  const std::size_t runs = v.size() / width;
  void* storage = nullptr;
  Ref out = new_block(runs * sizeof(T), &storage);
  T* firsts = static_cast<T*>(storage);
  if (!estimators::run_firsts(v, width, {firsts, runs})) return Ref::borrow(Py_None);
  return out;
}

// `_run_firsts(values, width)`: each run's value, as a buffer of an int64
// or float64 array like `values`, when every run of `width` consecutive
// items of the 1-D array holds one value (NaN never does); else None.
Ref run_firsts(PyObject* args) {
  PyObject* values_obj = nullptr;
  Py_ssize_t width = 0;
  if (!PyArg_ParseTuple(args, "On:_run_firsts", &values_obj, &width)) throw PyErrSet{};
  if (width <= 0) raise(PyExc_ValueError, "width must be positive");
  const ArrayView probe = ArrayView::acquire(values_obj);
  const auto w = static_cast<std::size_t>(width);
  if (probe.holds_native_int64()) {
    return firsts_of<std::int64_t>(values_obj, w, &ArrayView::holds_native_int64, "int64");
  }
  return firsts_of<double>(values_obj, w, &ArrayView::holds_native_float64, "int64 or float64");
}

// `_offset_codes(values, first, n)`: adoption values as period positions
// (a buffer of an int64 array), or None when one is a stray (see offset_codes).
Ref offset_codes(PyObject* args) {
  PyObject* values_obj = nullptr;
  long long first = 0;
  Py_ssize_t n = 0;
  if (!PyArg_ParseTuple(args, "OLn:_offset_codes", &values_obj, &first, &n)) throw PyErrSet{};
  if (n <= 0) raise(PyExc_ValueError, "n must be positive");
  const Column<std::int64_t> col(values_obj, "values", &ArrayView::holds_native_int64, "int64");
  const std::span<const std::int64_t> v = col.items();
  void* storage = nullptr;
  Ref out = new_block(v.size() * sizeof(std::int64_t), &storage);
  auto* codes = static_cast<std::int64_t*>(storage);
  if (!estimators::offset_codes(v, first, static_cast<std::size_t>(n), {codes, v.size()})) {
    return Ref::borrow(Py_None);
  }
  return out;
}

// `_count_nan(values)`: the NaN items of a 1-D float64 array.
Ref count_nan(PyObject* args) {
  PyObject* values_obj = nullptr;
  if (!PyArg_ParseTuple(args, "O:_count_nan", &values_obj)) throw PyErrSet{};
  const Column<double> col(values_obj, "values", &ArrayView::holds_native_float64, "float64");
  estimators::LongLayout counts;
  estimators::count_nonfinite(counts, col.items());
  return new_uint(counts.n_nan);
}

template <Ref (*F)(PyObject*)>
PyObject* guarded(PyObject*, PyObject* args) noexcept {
  try {
    return F(args).release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

PyMethodDef functions[] = {
    {"_run_firsts", &guarded<run_firsts>, METH_VARARGS,
     "_run_firsts(values, width, /)\n--\n\nEach run's value, as a buffer, when every run of width "
     "values holds one; else None."},
    {"_offset_codes", &guarded<offset_codes>, METH_VARARGS,
     "_offset_codes(values, first, n, /)\n--\n\nAdoption values as the positions of periods "
     "first .. first + n - 1 (0 and other values <= 0: -1), as a buffer; None for a stray value."},
    {"_count_nan", &guarded<count_nan>, METH_VARARGS,
     "_count_nan(values, /)\n--\n\nThe number of NaN items of a 1-D float64 array."},
    {"_long_layout", &guarded<long_layout>, METH_VARARGS,
     "_long_layout(unit, time, values, /)\n--\n\nThe units x periods array of a long table with "
     "integer labels over ranges without gaps, or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_layout_functions(PyObject* module) {
  check_status(PyModule_AddFunctions(module, functions));
}

}  // namespace quintara::bindings
