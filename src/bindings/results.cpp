#include "bindings/results.hpp"

#include <optional>
#include <string>
#include <vector>

#include "bindings/errors.hpp"

namespace quintara::bindings {

namespace {

template <class R>
struct Object {
  PyObject_HEAD R* record;
};

// Per-class Python name, docstring and property table.
template <class R>
struct ClassInfo;

template <class R>
PyTypeObject*& type_slot() {
  static PyTypeObject* type = nullptr;
  return type;
}

// ---- native value -> new Python object -----------------------------------

Ref to_py(double v) { return new_float(v); }
Ref to_py(std::size_t v) { return new_uint(v); }
Ref to_py(std::int64_t v) { return new_int(v); }
Ref to_py(const std::string& v) { return new_str(v); }
Ref to_py(const PyBaconComponent& v) { return wrap(v); }

template <class T>
Ref to_py(const std::vector<T>& v) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(v.size())));
  for (std::size_t i = 0; i < v.size(); ++i) {
    // PyList_SetItem steals the item reference, even on failure.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_py(v[i]).release()) < 0) {
      throw PyErrSet{};
    }
  }
  return list;
}

template <class T>
Ref to_py(const std::optional<T>& v) {
  if (!v) return Ref::borrow(Py_None);
  return to_py(*v);
}

template <class R, auto Member>
PyObject* get(PyObject* self, void*) noexcept {
  try {
    return to_py(reinterpret_cast<Object<R>*>(self)->record->*Member).release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

template <class R, auto Member>
constexpr PyGetSetDef prop(const char* name, const char* doc) {
  return {name, &get<R, Member>, nullptr, doc, nullptr};
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
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(ClassInfo<R>::doc)},
      {Py_tp_getset, ClassInfo<R>::props},
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
  static inline PyGetSetDef props[] = {
      prop<R, &R::att>("att", "Average post-period ATT."),
      prop<R, &R::att_path>("att_path", "Per-post-period ATT path."),
      prop<R, &R::counterfactual>("counterfactual", "Estimated post-period counterfactual."),
      prop<R, &R::treated_post>("treated_post",
                                "Observed (aggregated) treated outcome on the post-period."),
      prop<R, &R::weights>("weights", "Donor weights."),
      prop<R, &R::donor_ids>("donor_ids", "Donor unit indices matching `weights`."),
      prop<R, &R::pre_rmspe>("pre_rmspe", "Pre-period RMSPE (fit quality)."),
      prop<R, &R::post_rmspe>("post_rmspe", "Post-period RMSPE."),
      prop<R, &R::p_value>("p_value", "Placebo p-value, if inference was requested."),
      prop<R, &R::se>("se",
                      "ATT-scale standard error (outcome units), if inference was requested.\n"
                      "For placebo inference this is the spread of the placebo ATTs, not of\n"
                      "the dimensionless RMSPE ratios."),
      prop<R, &R::ci_lower>("ci_lower", "ATT-scale confidence bounds, if inference was requested."),
      prop<R, &R::ci_upper>("ci_upper", ""),
      prop<R, &R::inference_distribution>(
          "inference_distribution",
          "The test-statistic null distribution (placebo RMSPE ratios \xE2\x80\x94 the\n"
          "dimensionless statistics behind `p_value`), if available."),
      prop<R, &R::placebo_atts>(
          "placebo_atts",
          "Placebo ATTs in outcome units (one per donor refit as pseudo-treated)\n"
          "\xE2\x80\x94 the ATT-scale null behind `se`/`ci_*`, if placebo inference ran."),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ClassInfo<PyDidResult> {
  using R = PyDidResult;
  static constexpr const char* name = "DiDResult";
  static constexpr const char* doc =
      "Result of a difference-in-differences fit, exposed to Python.";
  static inline PyGetSetDef props[] = {
      prop<R, &R::att>("att", "Overall ATT."),
      prop<R, &R::se>("se", "Standard error of the overall ATT (cluster-robust / IF-based)."),
      prop<R, &R::event_time>("event_time", "Event-study relative periods."),
      prop<R, &R::event_att>("event_att", "Event-study coefficients matching `event_time`."),
      prop<R, &R::event_se>("event_se", "Event-study standard errors matching `event_time`."),
      prop<R, &R::event_lo>("event_lo",
                            "Simultaneous (sup-t) band bounds per event time, when the multiplier\n"
                            "bootstrap ran (`bands=True`); empty otherwise."),
      prop<R, &R::event_hi>("event_hi", ""),
      prop<R, &R::band_crit>("band_crit",
                             "The sup-t band critical value (in SE units), when bands ran."),
      prop<R, &R::group_cohort>(
          "group_cohort",
          "Per-cohort (\"group\") aggregation: cohorts, their ATT_g and SEs.\n"
          "Callaway & Sant'Anna only; empty for TWFE / Sun-Abraham."),
      prop<R, &R::group_att>("group_att", ""),
      prop<R, &R::group_se>("group_se", ""),
      prop<R, &R::overall_group_att>(
          "overall_group_att",
          "Cohort-size-weighted average of ATT_g (C&S's recommended headline\n"
          "aggregation), when available."),
      prop<R, &R::overall_group_se>("overall_group_se", ""),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ClassInfo<PyCpascResult> {
  using R = PyCpascResult;
  static constexpr const char* name = "CPASCResult";
  static constexpr const char* doc = "Result of a CP-ASC-family fit, exposed to Python.";
  static inline PyGetSetDef props[] = {
      prop<R, &R::att>("att", "Pooled ATT."),
      prop<R, &R::p_value>("p_value", "Conformal block-permutation p-value."),
      prop<R, &R::unit_ids>("unit_ids", "Treated unit indices."),
      prop<R, &R::unit_att>("unit_att", "Per-unit ATT."),
      prop<R, &R::unit_mspe>("unit_mspe", "Per-unit pre-period MSPE (fit quality)."),
      prop<R, &R::unit_weight>("unit_weight", "Per-unit pooling weight."),
      prop<R, &R::pooled_residual>("pooled_residual",
                                   "Pooled residual path of the main fit (length T; descriptive)."),
      prop<R, &R::null_residual>(
          "null_residual",
          "Pooled residual path of the null-imposed full-sample refit (length T)\n"
          "\xE2\x80\x94 the exchangeable path the conformal permutation tests."),
      prop<R, &R::t0>("t0", "First post-period index."),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ClassInfo<PyBaconComponent> {
  using R = PyBaconComponent;
  static constexpr const char* name = "BaconComponent";
  static constexpr const char* doc =
      "One 2\xC3\x97"
      "2 comparison in a Goodman-Bacon decomposition.";
  static inline PyGetSetDef props[] = {
      prop<R, &R::kind>(
          "kind",
          "\"treated_vs_untreated\", \"earlier_vs_later\", or \"later_vs_earlier_forbidden\"."),
      prop<R, &R::treated_cohort>("treated_cohort", ""),
      prop<R, &R::comparison_cohort>("comparison_cohort", ""),
      prop<R, &R::weight>("weight", ""),
      prop<R, &R::estimate>("estimate", ""),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ClassInfo<PyBaconResult> {
  using R = PyBaconResult;
  static constexpr const char* name = "BaconResult";
  static constexpr const char* doc = "Result of a Goodman-Bacon decomposition.";
  static inline PyGetSetDef props[] = {
      prop<R, &R::twfe>("twfe",
                        "Weighted-average estimate `\xCE\xA3 w\xE1\xB5\xA2 \xCE\xB2\xE1\xB5\xA2` "
                        "\xE2\x80\x94 equals the TWFE coefficient."),
      prop<R, &R::forbidden_weight>("forbidden_weight",
                                    "Total weight on forbidden (later-vs-earlier) comparisons."),
      prop<R, &R::components>("components",
                              "All 2\xC3\x97"
                              "2 comparisons."),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ClassInfo<PyPowerResult> {
  using R = PyPowerResult;
  static constexpr const char* name = "PowerResult";
  static constexpr const char* doc =
      "Power-analysis result for one estimator (flattened for easy plotting).";
  static inline PyGetSetDef props[] = {
      prop<R, &R::method>("method", ""),
      prop<R, &R::lifts>("lifts", "True injected lifts (x-axis), as fractions."),
      prop<R, &R::power>("power", "Detection rate at each lift."),
      prop<R, &R::est_mean>("est_mean", "Mean estimated lift (%) at each true lift."),
      prop<R, &R::est_lo>("est_lo", ""),
      prop<R, &R::est_hi>("est_hi", ""),
      prop<R, &R::mde_pct>("mde_pct", ""),
      prop<R, &R::mde_abs_per_period>("mde_abs_per_period", ""),
      prop<R, &R::mde_cumulative>("mde_cumulative", ""),
      prop<R, &R::crit>("crit", ""),
      prop<R, &R::se_null>("se_null", ""),
      prop<R, &R::n_windows>("n_windows", ""),
      prop<R, &R::ensemble_weights>(
          "ensemble_weights",
          "For the ensemble method: the normalized `[w_sc, w_asc, w_sdid]` weights\n"
          "used. `None` for single-method results."),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ClassInfo<PyGeoDiagnostics> {
  using R = PyGeoDiagnostics;
  static constexpr const char* name = "GeoDiagnostics";
  static constexpr const char* doc = "Design diagnostics, exposed to Python.";
  static inline PyGetSetDef props[] = {
      prop<R, &R::holdout_pct>("holdout_pct", ""),
      prop<R, &R::pre_fit_rel>("pre_fit_rel", ""),
      prop<R, &R::improvement_vs_naive>("improvement_vs_naive", ""),
      prop<R, &R::seasonality_strength>("seasonality_strength", ""),
      prop<R, &R::stability_score>("stability_score", ""),
      prop<R, &R::confidence>("confidence", ""),
      prop<R, &R::warnings>("warnings", ""),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ClassInfo<PyMarketCandidate> {
  using R = PyMarketCandidate;
  static constexpr const char* name = "MarketCandidate";
  static constexpr const char* doc = "One ranked candidate treatment-market set.";
  static inline PyGetSetDef props[] = {
      prop<R, &R::treated>("treated", ""),
      prop<R, &R::power_at_target>("power_at_target", ""),
      prop<R, &R::mde_pct>("mde_pct", ""),
      prop<R, &R::holdout_pct>("holdout_pct", ""),
      prop<R, &R::pre_fit_rel>("pre_fit_rel", ""),
      prop<R, &R::stability_score>("stability_score", ""),
      prop<R, &R::confidence>("confidence", ""),
      prop<R, &R::score>("score", ""),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
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

Ref wrap(PyScResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyDidResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyCpascResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyBaconComponent r) { return wrap_record(std::move(r)); }
Ref wrap(PyBaconResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyPowerResult r) { return wrap_record(std::move(r)); }
Ref wrap(PyGeoDiagnostics r) { return wrap_record(std::move(r)); }
Ref wrap(PyMarketCandidate r) { return wrap_record(std::move(r)); }

}  // namespace quintara::bindings
