#include "bindings/results.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"

namespace quintara::bindings {

namespace {

template <class R>
struct Object {
  PyObject_HEAD R* record;
};

// One attribute: the record member it reads, its name and its docstring.
template <auto Member>
struct Attr {
  static constexpr auto member = Member;
  const char* name;
  const char* doc;
};

// Per-class Python name, docstring and attribute table (in attribute order).
// The one table drives the properties, the pickled state and its restoring.
template <class R>
struct ClassInfo;

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
  static Ref of(const PyBaconComponent& v) {
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
  static void to(PyObject* o, PyBaconComponent& out) { out = from_state<PyBaconComponent>(o); }

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
constexpr std::size_t n_attrs = std::tuple_size_v<decltype(ClassInfo<R>::attrs)>;

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
      ClassInfo<R>::attrs);
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
      ClassInfo<R>::attrs);
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
      ClassInfo<R>::attrs);
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

// ---- class tables ---------------------------------------------------------

template <>
struct ClassInfo<PyScResult> {
  using R = PyScResult;
  static constexpr const char* name = "SCResult";
  static constexpr const char* doc = "Result of a synthetic-control-family fit, exposed to Python.";
  static constexpr std::tuple attrs{
      Attr<&R::att>{"att", "Average post-period ATT."},
      Attr<&R::att_path>{"att_path", "Per-post-period ATT path."},
      Attr<&R::counterfactual>{"counterfactual", "Estimated post-period counterfactual."},
      Attr<&R::treated_post>{"treated_post",
                             "Observed (aggregated) treated outcome on the post-period."},
      Attr<&R::weights>{"weights", "Donor weights."},
      Attr<&R::donor_ids>{"donor_ids", "Donor unit indices matching `weights`."},
      Attr<&R::pre_rmspe>{"pre_rmspe", "Pre-period RMSPE (fit quality)."},
      Attr<&R::post_rmspe>{"post_rmspe", "Post-period RMSPE."},
      Attr<&R::p_value>{"p_value", "Placebo p-value, if inference was requested."},
      Attr<&R::se>{"se",
                   "ATT-scale standard error (outcome units), if inference was requested.\n"
                   "For placebo inference this is the spread of the placebo ATTs, not of\n"
                   "the dimensionless RMSPE ratios."},
      Attr<&R::ci_lower>{"ci_lower", "ATT-scale confidence bounds, if inference was requested."},
      Attr<&R::ci_upper>{"ci_upper", ""},
      Attr<&R::inference_distribution>{
          "inference_distribution",
          "The test-statistic null distribution (placebo RMSPE ratios \xE2\x80\x94 the\n"
          "dimensionless statistics behind `p_value`), if available."},
      Attr<&R::placebo_atts>{
          "placebo_atts",
          "Placebo ATTs in outcome units (one per donor refit as pseudo-treated)\n"
          "\xE2\x80\x94 the ATT-scale null behind `se`/`ci_*`, if placebo inference ran."},
  };
};

template <>
struct ClassInfo<PyDidResult> {
  using R = PyDidResult;
  static constexpr const char* name = "DiDResult";
  static constexpr const char* doc =
      "Result of a difference-in-differences fit, exposed to Python.";
  static constexpr std::tuple attrs{
      Attr<&R::att>{"att", "Overall ATT."},
      Attr<&R::se>{"se", "Standard error of the overall ATT (cluster-robust / IF-based)."},
      Attr<&R::event_time>{"event_time", "Event-study relative periods."},
      Attr<&R::event_att>{"event_att", "Event-study coefficients matching `event_time`."},
      Attr<&R::event_se>{"event_se", "Event-study standard errors matching `event_time`."},
      Attr<&R::event_lo>{"event_lo",
                         "Simultaneous (sup-t) band bounds per event time, when the multiplier\n"
                         "bootstrap ran (`bands=True`); empty otherwise."},
      Attr<&R::event_hi>{"event_hi", ""},
      Attr<&R::band_crit>{"band_crit",
                          "The sup-t band critical value (in SE units), when bands ran."},
      Attr<&R::group_cohort>{"group_cohort",
                             "Per-cohort (\"group\") aggregation: cohorts, their ATT_g and SEs.\n"
                             "Callaway & Sant'Anna only; empty for TWFE / Sun-Abraham."},
      Attr<&R::group_att>{"group_att", ""},
      Attr<&R::group_se>{"group_se", ""},
      Attr<&R::overall_group_att>{
          "overall_group_att",
          "Cohort-size-weighted average of ATT_g (C&S's recommended headline\n"
          "aggregation), when available."},
      Attr<&R::overall_group_se>{"overall_group_se", ""},
  };
};

template <>
struct ClassInfo<PyCpascResult> {
  using R = PyCpascResult;
  static constexpr const char* name = "CPASCResult";
  static constexpr const char* doc = "Result of a CP-ASC-family fit, exposed to Python.";
  static constexpr std::tuple attrs{
      Attr<&R::att>{"att", "Pooled ATT."},
      Attr<&R::p_value>{"p_value", "Conformal block-permutation p-value."},
      Attr<&R::unit_ids>{"unit_ids", "Treated unit indices."},
      Attr<&R::unit_att>{"unit_att", "Per-unit ATT."},
      Attr<&R::unit_mspe>{"unit_mspe", "Per-unit pre-period MSPE (fit quality)."},
      Attr<&R::unit_weight>{"unit_weight", "Per-unit pooling weight."},
      Attr<&R::pooled_residual>{"pooled_residual",
                                "Pooled residual path of the main fit (length T; descriptive)."},
      Attr<&R::null_residual>{
          "null_residual",
          "Pooled residual path of the null-imposed full-sample refit (length T)\n"
          "\xE2\x80\x94 the exchangeable path the conformal permutation tests."},
      Attr<&R::t0>{"t0", "First post-period index."},
  };
};

template <>
struct ClassInfo<PyBaconComponent> {
  using R = PyBaconComponent;
  static constexpr const char* name = "BaconComponent";
  static constexpr const char* doc =
      "One 2\xC3\x97"
      "2 comparison in a Goodman-Bacon decomposition.";
  static constexpr std::tuple attrs{
      Attr<&R::kind>{
          "kind",
          "\"treated_vs_untreated\", \"earlier_vs_later\", or \"later_vs_earlier_forbidden\"."},
      Attr<&R::treated_cohort>{"treated_cohort", ""},
      Attr<&R::comparison_cohort>{"comparison_cohort", ""},
      Attr<&R::weight>{"weight", ""},
      Attr<&R::estimate>{"estimate", ""},
  };
};

template <>
struct ClassInfo<PyBaconResult> {
  using R = PyBaconResult;
  static constexpr const char* name = "BaconResult";
  static constexpr const char* doc = "Result of a Goodman-Bacon decomposition.";
  static constexpr std::tuple attrs{
      Attr<&R::twfe>{"twfe",
                     "Weighted-average estimate `\xCE\xA3 w\xE1\xB5\xA2 \xCE\xB2\xE1\xB5\xA2` "
                     "\xE2\x80\x94 equals the TWFE coefficient."},
      Attr<&R::forbidden_weight>{"forbidden_weight",
                                 "Total weight on forbidden (later-vs-earlier) comparisons."},
      Attr<&R::components>{"components",
                           "All 2\xC3\x97"
                           "2 comparisons."},
  };
};

template <>
struct ClassInfo<PyPowerResult> {
  using R = PyPowerResult;
  static constexpr const char* name = "PowerResult";
  static constexpr const char* doc =
      "Power-analysis result for one estimator (flattened for easy plotting).";
  static constexpr std::tuple attrs{
      Attr<&R::method>{"method", ""},
      Attr<&R::lifts>{"lifts", "True injected lifts (x-axis), as fractions."},
      Attr<&R::power>{"power", "Detection rate at each lift."},
      Attr<&R::est_mean>{"est_mean", "Mean estimated lift (%) at each true lift."},
      Attr<&R::est_lo>{"est_lo", ""},
      Attr<&R::est_hi>{"est_hi", ""},
      Attr<&R::mde_pct>{"mde_pct", ""},
      Attr<&R::mde_abs_per_period>{"mde_abs_per_period", ""},
      Attr<&R::mde_cumulative>{"mde_cumulative", ""},
      Attr<&R::crit>{"crit", ""},
      Attr<&R::se_null>{"se_null", ""},
      Attr<&R::n_windows>{"n_windows", ""},
      Attr<&R::ensemble_weights>{
          "ensemble_weights",
          "For the ensemble method: the normalized `[w_sc, w_asc, w_sdid]` weights\n"
          "used. `None` for single-method results."},
  };
};

template <>
struct ClassInfo<PyGeoDiagnostics> {
  using R = PyGeoDiagnostics;
  static constexpr const char* name = "GeoDiagnostics";
  static constexpr const char* doc = "Design diagnostics, exposed to Python.";
  static constexpr std::tuple attrs{
      Attr<&R::holdout_pct>{"holdout_pct", ""},
      Attr<&R::pre_fit_rel>{"pre_fit_rel", ""},
      Attr<&R::improvement_vs_naive>{"improvement_vs_naive", ""},
      Attr<&R::seasonality_strength>{"seasonality_strength", ""},
      Attr<&R::stability_score>{"stability_score", ""},
      Attr<&R::confidence>{"confidence", ""},
      Attr<&R::warnings>{"warnings", ""},
  };
};

template <>
struct ClassInfo<PyMarketCandidate> {
  using R = PyMarketCandidate;
  static constexpr const char* name = "MarketCandidate";
  static constexpr const char* doc = "One ranked candidate treatment-market set.";
  static constexpr std::tuple attrs{
      Attr<&R::treated>{"treated", ""},         Attr<&R::power_at_target>{"power_at_target", ""},
      Attr<&R::mde_pct>{"mde_pct", ""},         Attr<&R::holdout_pct>{"holdout_pct", ""},
      Attr<&R::pre_fit_rel>{"pre_fit_rel", ""}, Attr<&R::stability_score>{"stability_score", ""},
      Attr<&R::confidence>{"confidence", ""},   Attr<&R::score>{"score", ""},
  };
};

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
                   PyDidResult, PyBaconComponent, PyBaconResult>(
               std::string_view(text, static_cast<std::size_t>(n)), state)
        .release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace

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

}  // namespace quintara::bindings
