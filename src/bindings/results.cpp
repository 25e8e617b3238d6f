#include "bindings/results.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"
#include "core/runs/record_fields.hpp"

namespace quintara::bindings {

namespace {

template <class R>
struct Object {
  PyObject_HEAD R* record;
};

// Per-class Python name, docstring and field table (in attribute order), from
// the core's record tables. The one table drives the properties, the pickled
// state and its restoring.
template <class R>
using ClassInfo = runs::RecordFields<R>;

template <class R>
PyTypeObject*& type_slot() {
  static PyTypeObject* type = nullptr;
  return type;
}

// The private module function that unpickles every class; set at start-up.
PyObject*& reconstructor_slot() {
  static PyObject* fn = nullptr;
  return fn;
}

template <class R>
Ref state_of(const R& record);

template <class R>
R from_state(PyObject* state);

// ---- native value -> new Python object -----------------------------------
//
// Attribute reads make nested records (the Bacon components) into objects;
// pickled state keeps them as plain state tuples.
enum class Nested { Object, State };

template <Nested N>
struct ToPy {
  static Ref of(double v) { return new_float(v); }
  static Ref of(std::size_t v) { return new_uint(v); }
  static Ref of(std::int64_t v) { return new_int(v); }
  static Ref of(const std::string& v) { return new_str(v); }
  // The records other records nest (Bacon components, the cells of a design).
  template <class R>
    requires(std::is_same_v<R, PyBaconComponent> || std::is_same_v<R, PyMarketCandidate> ||
             std::is_same_v<R, PyCellDesign>)
  static Ref of(const R& v) {
    if constexpr (N == Nested::Object) {
      return wrap(v);
    } else {
      return state_of(v);
    }
  }

  template <class T>
  static Ref of(const std::vector<T>& v) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i) {
      // PyList_SetItem steals the item reference, even on failure.
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), of(v[i]).release()) < 0) {
        throw PyErrSet{};
      }
    }
    return list;
  }

  template <class T>
  static Ref of(const std::optional<T>& v) {
    if (!v) return Ref::borrow(Py_None);
    return of(*v);
  }
};

// ---- pickled state -> native value ----------------------------------------
//
// The state is only ever what __reduce__ produced, so any other shape is a
// TypeError rather than a coercion.

[[noreturn]] void bad_state(const char* what) {
  raise(PyExc_TypeError, std::string("_reconstruct: malformed state (") + what + ")");
}

struct FromPy {
  static void to(PyObject* o, double& out) {
    if (!PyFloat_Check(o)) bad_state("float expected");
    out = PyFloat_AsDouble(o);
  }
  static void to(PyObject* o, std::size_t& out) {
    if (!PyLong_Check(o)) bad_state("int expected");
    out = PyLong_AsSize_t(o);
    if (out == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrSet{};
  }
  static void to(PyObject* o, std::int64_t& out) {
    if (!PyLong_Check(o)) bad_state("int expected");
    out = PyLong_AsLongLong(o);
    if (out == -1 && PyErr_Occurred()) throw PyErrSet{};
  }
  static void to(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) bad_state("str expected");
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (p == nullptr) throw PyErrSet{};
    out.assign(p, static_cast<std::size_t>(n));
  }
  template <class R>
    requires(std::is_same_v<R, PyBaconComponent> || std::is_same_v<R, PyMarketCandidate> ||
             std::is_same_v<R, PyCellDesign>)
  static void to(PyObject* o, R& out) {
    out = from_state<R>(o);
  }

  template <class T>
  static void to(PyObject* o, std::vector<T>& out) {
    if (!PyList_Check(o)) bad_state("list expected");
    const Py_ssize_t n = PyList_Size(o);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) to(PyList_GetItem(o, i), out[static_cast<std::size_t>(i)]);
  }

  template <class T>
  static void to(PyObject* o, std::optional<T>& out) {
    if (o == Py_None) {
      out.reset();
      return;
    }
    to(o, out.emplace());
  }
};

template <class R>
constexpr std::size_t n_attrs = runs::n_fields<R>;

// The attribute values in table order, as a tuple of plain Python values.
template <class R>
Ref state_of(const R& record) {
  Ref state = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(n_attrs<R>)));
  Py_ssize_t i = 0;
  std::apply(
      [&](auto... attr) {
        // PyTuple_SetItem steals the item reference and cannot fail on a new
        // tuple with an index in range.
        ((PyTuple_SetItem(state.get(), i++,
                          ToPy<Nested::State>::of(record.*decltype(attr)::member).release())),
         ...);
      },
      ClassInfo<R>::fields);
  return state;
}

template <class R>
R from_state(PyObject* state) {
  if (!PyTuple_Check(state) || PyTuple_Size(state) != static_cast<Py_ssize_t>(n_attrs<R>)) {
    bad_state(ClassInfo<R>::name);
  }
  R record{};
  Py_ssize_t i = 0;
  std::apply(
      [&](auto... attr) {
        (FromPy::to(PyTuple_GetItem(state, i++), record.*decltype(attr)::member), ...);
      },
      ClassInfo<R>::fields);
  return record;
}

template <class R, auto Member>
PyObject* get(PyObject* self, void*) noexcept {
  try {
    return ToPy<Nested::Object>::of(reinterpret_cast<Object<R>*>(self)->record->*Member).release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

template <class R>
PyGetSetDef* props() {
  static auto table = std::apply(
      [](auto... attr) {
        return std::array<PyGetSetDef, sizeof...(attr) + 1>{
            PyGetSetDef{attr.name, &get<R, decltype(attr)::member>, nullptr, attr.doc, nullptr}...,
            PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}};
      },
      ClassInfo<R>::fields);
  return table.data();
}

template <class R>
PyObject* repr_of(PyObject* self) noexcept {
  try {
    return new_str(repr(*reinterpret_cast<Object<R>*>(self)->record)).release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

// (reconstructor, (class name, state)): the object crosses processes as plain
// values and comes back through a private function, so the classes keep
// refusing construction from Python.
template <class R>
PyObject* reduce(PyObject* self, PyObject*) noexcept {
  try {
    Ref state = state_of(*reinterpret_cast<Object<R>*>(self)->record);
    Ref name = new_str(ClassInfo<R>::name);
    Ref args = Ref::check(PyTuple_Pack(2, name.get(), state.get()));
    return PyTuple_Pack(2, reconstructor_slot(), args.get());
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

template <class R>
PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
  const std::string msg = std::string("No constructor defined for ") + ClassInfo<R>::name;
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return nullptr;
}

template <class R>
void dealloc(PyObject* self) noexcept {
  delete reinterpret_cast<Object<R>*>(self)->record;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class R>
Ref wrap_record(R&& record) {
  PyTypeObject* type = type_slot<R>();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref obj = Ref::check(alloc(type, 0));
  reinterpret_cast<Object<R>*>(obj.get())->record = new R(std::move(record));
  return obj;
}

template <class R>
PyTypeObject* make_type() {
  static PyMethodDef methods[] = {
      {"__reduce__", reinterpret_cast<PyCFunction>(&reduce<R>), METH_NOARGS,
       "Pickling support: the attribute values, restored by a private function."},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(ClassInfo<R>::doc)},
      {Py_tp_getset, props<R>()},
      {Py_tp_methods, methods},
      {Py_tp_repr, reinterpret_cast<void*>(&repr_of<R>)},
      {Py_tp_new, reinterpret_cast<void*>(&refuse_construction<R>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<R>)},
      {0, nullptr},
  };
  // No Py_TPFLAGS_BASETYPE: the classes cannot be subclassed.
  static PyType_Spec type_spec = {ClassInfo<R>::name, static_cast<int>(sizeof(Object<R>)), 0,
                                  Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) throw PyErrSet{};
  return reinterpret_cast<PyTypeObject*>(type);
}

// The class names carry no module prefix, so CPython cannot derive
// `__module__` from them and warns while creating the type; the warning is
// silenced for the creation and `__module__` set afterwards, which keeps
// help(), pickling errors and repr(type) informative.
template <class R>
void add_class(PyObject* module, void (*register_name)(PyObject*, const char*)) {
  if (type_slot<R>() == nullptr) {
    Ref warnings = Ref::check(PyImport_ImportModule("warnings"));
    Ref guard = Ref::check(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    Ref entered = Ref::check(PyObject_CallMethod(guard.get(), "__enter__", nullptr));
    Ref filtered = Ref::check(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                                  PyExc_DeprecationWarning));
    PyTypeObject* created = nullptr;
    try {
      created = make_type<R>();
    } catch (const PyErrSet&) {
      // Restore the warning filters before reporting the failure.
      PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
      PyErr_Fetch(&t, &v, &tb);
      Ref done = Ref::steal(
          PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
      PyErr_Restore(t, v, tb);
      throw;
    }
    Ref done =
        Ref::check(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    type_slot<R>() = created;
    Ref modname = new_str("quintara");
    check_status(
        PyObject_SetAttrString(reinterpret_cast<PyObject*>(created), "__module__", modname.get()));
  }
  PyObject* type = reinterpret_cast<PyObject*>(type_slot<R>());
  Py_INCREF(type);
  if (PyModule_AddObject(module, ClassInfo<R>::name, type) < 0) {
    Py_DECREF(type);
    throw PyErrSet{};
  }
  register_name(module, ClassInfo<R>::name);
}

}  // namespace

void add_result_classes(PyObject* module, void (*register_name)(PyObject*, const char*)) {
  add_class<PyPowerResult>(module, register_name);
  add_class<PyGeoDiagnostics>(module, register_name);
  add_class<PyMarketCandidate>(module, register_name);
  add_class<PyScResult>(module, register_name);
  add_class<PyCpascResult>(module, register_name);
  add_class<PyDidResult>(module, register_name);
  add_class<PyBaconComponent>(module, register_name);
  add_class<PyBaconResult>(module, register_name);
  add_class<PyGeoAnalysis>(module, register_name);
  add_class<PyCellDesign>(module, register_name);
  add_class<PyCellSelection>(module, register_name);
}

namespace {

// Restores whichever of the classes `name` names.
template <class... R>
Ref rebuild(std::string_view name, PyObject* state) {
  Ref out;
  (void)((name == ClassInfo<R>::name ? (out = wrap_record(from_state<R>(state)), true) : false) ||
         ...);
  if (!out)
    raise(PyExc_TypeError, "_reconstruct: unknown result class '" + std::string(name) + "'");
  return out;
}

PyObject* reconstruct(PyObject*, PyObject* args) noexcept {
  try {
    PyObject* name = nullptr;
    PyObject* state = nullptr;
    if (PyArg_ParseTuple(args, "UO:_reconstruct", &name, &state) == 0) throw PyErrSet{};
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &n);
    if (text == nullptr) throw PyErrSet{};
    return rebuild<PyPowerResult, PyGeoDiagnostics, PyMarketCandidate, PyScResult, PyCpascResult,
                   PyDidResult, PyBaconComponent, PyBaconResult, PyGeoAnalysis, PyCellDesign,
                   PyCellSelection>(std::string_view(text, static_cast<std::size_t>(n)), state)
        .release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace

namespace {

// The Python annotation of a member type, for the generated stub.
template <class T>
struct PyTypeText {
  static std::string text() {
    if constexpr (std::is_same_v<T, double>) {
      return "float";
    } else if constexpr (std::is_same_v<T, std::size_t> || std::is_same_v<T, std::int64_t>) {
      return "int";
    } else if constexpr (std::is_same_v<T, std::string>) {
      return "str";
    } else {
      static_assert(runs::has_fields_v<T>, "no Python annotation for this member type");
      return ClassInfo<T>::name;
    }
  }
};
template <class T>
struct PyTypeText<std::vector<T>> {
  static std::string text() { return "list[" + PyTypeText<T>::text() + "]"; }
};
template <class T>
struct PyTypeText<std::optional<T>> {
  static std::string text() { return PyTypeText<T>::text() + " | None"; }
};

template <class R>
void append_field_rows(PyObject* rows) {
  runs::for_each_field<R>([&](auto i) {
    constexpr auto& field = std::get<decltype(i)::value>(ClassInfo<R>::fields);
    using T = runs::member_t<std::remove_cvref_t<decltype(field)>::member>;
    Ref row = Ref::check(Py_BuildValue("(sssss)", ClassInfo<R>::name, field.name,
                                       PyTypeText<T>::text().c_str(), runs::units_name(field.units),
                                       field.doc));
    check_status(PyList_Append(rows, row.get()));
  });
}

// (class, name, type text, units, doc) per field of every class, in the
// order of the stub.
PyObject* result_fields(PyObject*, PyObject*) noexcept {
  try {
    Ref rows = Ref::check(PyList_New(0));
    append_field_rows<PyScResult>(rows.get());
    append_field_rows<PyDidResult>(rows.get());
    append_field_rows<PyCpascResult>(rows.get());
    append_field_rows<PyBaconComponent>(rows.get());
    append_field_rows<PyBaconResult>(rows.get());
    append_field_rows<PyPowerResult>(rows.get());
    append_field_rows<PyGeoDiagnostics>(rows.get());
    append_field_rows<PyMarketCandidate>(rows.get());
    append_field_rows<PyGeoAnalysis>(rows.get());
    append_field_rows<PyCellDesign>(rows.get());
    append_field_rows<PyCellSelection>(rows.get());
    return rows.release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace

const PyMethodDef result_fields_def = {
    "_result_fields", &result_fields, METH_NOARGS,
    "_result_fields()\n--\n\nRows (class, name, type, units, doc) of every result field "
    "(private)."};

const PyMethodDef reconstruct_def = {
    "_reconstruct", &reconstruct, METH_VARARGS,
    "_reconstruct(name, state)\n--\n\nRebuilds a pickled result object (private)."};

void set_reconstructor(PyObject* fn) {
  Py_INCREF(fn);
  reconstructor_slot() = fn;  // kept for the life of the process, as the types are
}

Ref wrap(PyScResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyDidResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyCpascResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyBaconComponent r) { return wrap_record(std::move(r)); }
Ref wrap(PyBaconResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyPowerResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyGeoDiagnostics r) { return wrap_record(std::move(r)); }
Ref wrap(PyMarketCandidate r) { return wrap_record(std::move(r)); }
Ref wrap(PyGeoAnalysis r) { return wrap_record(std::move(r)); }
Ref wrap(PyCellDesign r) { return wrap_record(std::move(r)); }
Ref wrap(PyCellSelection r) { return wrap_record(std::move(r)); }

}  // namespace quintara::bindings
