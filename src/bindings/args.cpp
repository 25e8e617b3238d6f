#include "bindings/args.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "core/panic.hpp"

namespace quintara::bindings {

namespace {

struct NumpyTypes {
  PyObject* ndarray = nullptr;
  PyObject* bool_ = nullptr;
};

// Looked up on first use and kept for the life of the process: NumPy is a
// runtime dependency only, and modules that are never called need not load it.
const NumpyTypes& numpy() {
  static NumpyTypes types;
  if (types.ndarray == nullptr) {
    Ref np = Ref::check(PyImport_ImportModule("numpy"));
    Ref ndarray = Ref::check(PyObject_GetAttrString(np.get(), "ndarray"));
    Ref bool_ = Ref::check(PyObject_GetAttrString(np.get(), "bool_"));
    types.bool_ = bool_.release();
    types.ndarray = ndarray.release();
  }
  return types;
}

// A conversion failure that becomes "argument '{name}': {reason}", a
// TypeError unless the conversion raised another type (OverflowError).
struct ConversionError {
  std::string reason;
  PyObject* type = PyExc_TypeError;
};

std::string str_of(PyObject* obj) {
  Ref s = Ref::check(PyObject_Str(obj));
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (p == nullptr) throw PyErrSet{};
  return std::string(p, static_cast<std::size_t>(n));
}

// Runs a CPython conversion; a TypeError or OverflowError it raises keeps its
// type and is re-worded with the argument name, anything else passes through
// unchanged.
template <class F>
auto python_conversion(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const PyErrSet&) {
    for (PyObject* type : {PyExc_TypeError, PyExc_OverflowError}) {
      if (!PyErr_ExceptionMatches(type)) continue;
      PyObject *t = nullptr, *value = nullptr, *tb = nullptr;
      PyErr_Fetch(&t, &value, &tb);
      PyErr_NormalizeException(&t, &value, &tb);
      Ref owned_t = Ref::steal(t), v = Ref::steal(value), b = Ref::steal(tb);
      throw ConversionError{v ? str_of(v.get()) : std::string("conversion failed"), type};
    }
    throw;
  }
}

// An exact int within int64, read without the new references of the general
// path: lists of a million cohort codes are common. Anything else (other
// types, overflow, and for counts negative values) takes the general path,
// which raises the messages.
bool small_int(PyObject* obj, long long& out) {
  if (!PyLong_CheckExact(obj)) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(obj, &overflow);
  return overflow == 0 && !(out == -1 && PyErr_Occurred());
}

std::uint64_t to_u64(PyObject* obj) {
  long long fast = 0;
  if (small_int(obj, fast) && fast >= 0) return static_cast<std::uint64_t>(fast);
  return python_conversion([&] {
    Ref idx = Ref::check(PyNumber_Index(obj));
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
    return static_cast<std::uint64_t>(v);
  });
}

std::int64_t to_i64(PyObject* obj) {
  long long fast = 0;
  if (small_int(obj, fast)) return static_cast<std::int64_t>(fast);
  return python_conversion([&] {
    Ref idx = Ref::check(PyNumber_Index(obj));
    const long long v = PyLong_AsLongLong(idx.get());
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    return static_cast<std::int64_t>(v);
  });
}

double to_f64(PyObject* obj) {
  // NumPy's complex scalars convert to float by dropping the imaginary part
  // (with only a warning): a complex value is no real number here.
  if (PyComplex_Check(obj)) {
    throw ConversionError{"must be real number, not " + type_name(obj)};
  }
  return python_conversion([&] {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return v;
  });
}

std::string to_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    throw ConversionError{"'" + type_name(obj) + "' object cannot be converted to 'str'"};
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (p == nullptr) throw PyErrSet{};
  return std::string(p, static_cast<std::size_t>(n));
}

bool to_flag(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  const int is_np_bool = PyObject_IsInstance(obj, numpy().bool_);
  if (is_np_bool < 0) throw PyErrSet{};
  if (is_np_bool == 0) {
    throw ConversionError{"'" + type_name(obj) + "' object cannot be converted to 'bool'"};
  }
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) throw PyErrSet{};
  return truth == 1;
}

const char* sequence_of(Kind kind) {
  switch (kind) {
    case Kind::IndexList: return "a sequence of non-negative integers";
    case Kind::IndexLists: return "a sequence of index lists";
    case Kind::IntList: return "a sequence of integers";
    case Kind::FloatList: return "a sequence of numbers";
    default: return "a sequence of str";
  }
}

template <class T, class Item>
std::vector<T> to_list(PyObject* obj, Kind kind, Item&& item) {
  // A str is a sequence of characters, never a list of values; bytes and
  // bytearray are sequences of byte codes, never one either.
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
      !PySequence_Check(obj)) {
    throw ConversionError{"'" + type_name(obj) + "' object cannot be converted to " +
                          sequence_of(kind)};
  }
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    // A 0-d array, say: a sequence type without a length is no list.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
    PyErr_Clear();
    throw ConversionError{"'" + type_name(obj) + "' object cannot be converted to " +
                          sequence_of(kind)};
  }
  std::vector<T> out;
  // A length is only a claim (range(2**62) makes it cheaply): room for what
  // is read, not for what is promised.
  out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(n, Py_ssize_t{1} << 16)));
  if (PyList_CheckExact(obj)) {
    // The list's own slots, skipping the generic sequence protocol; each item
    // is held while it converts, and a list an item's __index__ shrinks ends
    // the read with IndexError.
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref it = Ref::borrow(PyList_GetItem(obj, i));
      if (!it) throw PyErrSet{};
      out.push_back(item(it.get()));
    }
    return out;
  }
  if (PyTuple_CheckExact(obj)) {
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref it = Ref::check(PySequence_GetItem(obj, i));
      out.push_back(item(it.get()));
    }
    return out;
  }
  // Any other sequence by iteration: obj[i] of a pandas Series is the value
  // labelled i, not the i-th, where iteration gives the values in order.
  Ref iter = Ref::check(PyObject_GetIter(obj));
  while (Ref it = Ref::steal(PyIter_Next(iter.get()))) out.push_back(item(it.get()));
  if (PyErr_Occurred()) throw PyErrSet{};
  if (out.size() != static_cast<std::size_t>(n)) {
    throw ConversionError{"'" + type_name(obj) + "' object gave " + std::to_string(out.size()) +
                          " items but has length " + std::to_string(n)};
  }
  return out;
}

// A 1-D NumPy array of T (int64 or float64), read through its buffer: a
// million cohort codes as an array then cost no Python object each. Returns
// false (nothing read) for anything else, and for counts when a value is
// negative, so the general path raises the messages.
template <class T>
bool from_buffer(PyObject* obj, bool counts, std::vector<T>& out) {
  const int is_array = PyObject_IsInstance(obj, numpy().ndarray);
  if (is_array < 0) throw PyErrSet{};
  if (is_array == 0) return false;
  ArrayView view = python_conversion([&] { return ArrayView::acquire(obj); });
  if (view.ndim() != 1) return false;
  const std::size_t n = view.dim(0);
  if constexpr (std::is_same_v<T, double>) {
    if (!view.holds_native_float64()) return false;
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = view.at1<double>(i);
  } else {
    if (!view.holds_native_int64()) return false;
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::int64_t v = view.at1<std::int64_t>(i);
      if (counts && v < 0) return false;
      out[i] = static_cast<T>(v);
    }
  }
  return true;
}

template <class T, class Item>
std::vector<T> to_numbers(PyObject* obj, Kind kind, bool counts, Item&& item) {
  std::vector<T> out;
  if (from_buffer(obj, counts, out)) return out;
  return to_list<T>(obj, kind, std::forward<Item>(item));
}

ArrayView to_array(PyObject* obj, int ndim) {
  const std::string want = "a " + std::to_string(ndim) + "-D numpy.ndarray of float64";
  const int is_array = PyObject_IsInstance(obj, numpy().ndarray);
  if (is_array < 0) throw PyErrSet{};
  if (is_array == 0) {
    throw ConversionError{"'" + type_name(obj) + "' object cannot be converted to " + want};
  }
  // Dimensions, item type and layout all come from the buffer the exporter
  // hands over, never from the object's Python attributes (a subclass may
  // redefine those), so what is checked is exactly what is read.
  ArrayView view = python_conversion([&] { return ArrayView::acquire(obj); });
  if (view.ndim() != ndim) {
    throw ConversionError{"expected " + want + ", got a " + std::to_string(view.ndim()) +
                          "-D array"};
  }
  if (!view.holds_native_float64()) {
    throw ConversionError{"expected " + want + ", got an array of buffer format '" + view.format() +
                          "' with " + std::to_string(view.itemsize()) + "-byte items"};
  }
  return view;
}

Value convert(PyObject* obj, Kind kind) {
  switch (kind) {
    case Kind::Array2: return to_array(obj, 2);
    case Kind::Array3: return to_array(obj, 3);
    case Kind::IndexList:
      return to_numbers<std::size_t>(obj, kind, true,
                                     [](PyObject* o) { return std::size_t(to_u64(o)); });
    case Kind::IndexLists:
      return to_list<std::vector<std::size_t>>(obj, kind, [](PyObject* o) {
        return to_list<std::size_t>(o, Kind::IndexList,
                                    [](PyObject* i) { return std::size_t(to_u64(i)); });
      });
    case Kind::IntList:
      return to_numbers<std::int64_t>(obj, kind, false, [](PyObject* o) { return to_i64(o); });
    case Kind::FloatList:
      return to_numbers<double>(obj, kind, false, [](PyObject* o) { return to_f64(o); });
    case Kind::StrList:
      return to_list<std::string>(obj, kind, [](PyObject* o) { return to_str(o); });
    case Kind::Count: return to_u64(obj);
    case Kind::Int: return to_i64(obj);
    case Kind::Float: return to_f64(obj);
    case Kind::Flag: return to_flag(obj);
    case Kind::Name: return to_str(obj);
  }
  panic("unknown argument kind");
}

// The value a defaulted parameter takes, read from its signature text.
Value default_value(const Param& p) {
  const std::string_view text = p.default_text;
  if (text == "None") return std::monostate{};
  switch (p.kind) {
    case Kind::Count: return std::uint64_t(std::strtoull(p.default_text, nullptr, 10));
    case Kind::Int: return std::int64_t(std::strtoll(p.default_text, nullptr, 10));
    case Kind::Float: return std::strtod(p.default_text, nullptr);
    case Kind::Flag: return text == "True";
    case Kind::Name: return std::string(text.substr(1, text.size() - 2));
    default: panic(std::string("no default representation for parameter ") + p.name);
  }
}

[[noreturn]] void type_error(const std::string& message) { raise(PyExc_TypeError, message); }

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) out += "and ";
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

}  // namespace

std::string Signature::docstring(std::string_view body) const {
  std::string doc = name;
  doc += "(";
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) doc += ", ";
    doc += params[i].name;
    if (params[i].default_text != nullptr) {
      doc += "=";
      doc += params[i].default_text;
    }
  }
  doc += ")\n--\n\n";
  doc += body;
  return doc;
}

std::vector<Value> parse_values(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const std::size_t n_params = sig.params.size();
  std::vector<PyObject*> bound(n_params, nullptr);  // borrowed
  const std::string fn = std::string(sig.name) + "()";

  const Py_ssize_t n_pos = args != nullptr ? PyTuple_Size(args) : 0;
  if (n_pos < 0) throw PyErrSet{};
  if (static_cast<std::size_t>(n_pos) > n_params) {
    std::size_t required = 0;
    for (const Param& p : sig.params) required += p.default_text == nullptr ? 1 : 0;
    const std::string given = std::to_string(n_pos);
    const char* verb = n_pos == 1 ? " was given" : " were given";
    if (n_params == 0) type_error(fn + " takes 0 positional arguments but " + given + verb);
    const std::string range = required == n_params ? std::to_string(n_params)
                                                   : "from " + std::to_string(required) + " to " +
                                                         std::to_string(n_params);
    const char* noun = n_params == 1 && required == n_params ? " positional argument but "
                                                             : " positional arguments but ";
    type_error(fn + " takes " + range + noun + given + verb);
  }
  for (Py_ssize_t i = 0; i < n_pos; ++i)
    bound[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    PyObject *key = nullptr, *val = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &val)) {
      if (!PyUnicode_Check(key)) type_error(fn + " keywords must be strings");
      Py_ssize_t len = 0;
      const char* k = PyUnicode_AsUTF8AndSize(key, &len);
      if (k == nullptr) throw PyErrSet{};
      const std::string_view kw(k, static_cast<std::size_t>(len));
      std::size_t idx = n_params;
      for (std::size_t i = 0; i < n_params; ++i) {
        if (kw == sig.params[i].name) idx = i;
      }
      if (idx == n_params) {
        type_error(fn + " got an unexpected keyword argument '" + std::string(kw) + "'");
      }
      if (bound[idx] != nullptr) {
        type_error(fn + " got multiple values for argument '" + std::string(kw) + "'");
      }
      bound[idx] = val;
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < n_params; ++i) {
    if (bound[i] == nullptr && sig.params[i].default_text == nullptr) {
      missing.push_back(sig.params[i].name);
    }
  }
  if (!missing.empty()) {
    const std::string count = std::to_string(missing.size());
    const char* noun = missing.size() == 1 ? " required positional argument: "
                                           : " required positional arguments: ";
    type_error(fn + " missing " + count + noun + quoted_list(missing));
  }

  std::vector<Value> values;
  values.reserve(n_params);
  for (std::size_t i = 0; i < n_params; ++i) {
    const Param& p = sig.params[i];
    if (bound[i] == nullptr) {
      values.push_back(default_value(p));
      continue;
    }
    const bool none_allowed = p.default_text != nullptr && std::strcmp(p.default_text, "None") == 0;
    if (bound[i] == Py_None && none_allowed) {
      values.emplace_back(std::monostate{});
      continue;
    }
    try {
      values.push_back(convert(bound[i], p.kind));
    } catch (const ConversionError& e) {
      raise(e.type, "argument '" + std::string(p.name) + "': " + e.reason);
    }
  }
  return values;
}

}  // namespace quintara::bindings
