// The extension module `quintara._quintara`: its function table, its classes
// and `__all__`, in a fixed order.
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "bindings/api_analyze.hpp"
#include "bindings/api_batch.hpp"
#include "bindings/api_bootstrap.hpp"
#include "bindings/api_callaway.hpp"
#include "bindings/api_cells.hpp"
#include "bindings/api_conformal.hpp"
#include "bindings/api_cpasc.hpp"
#include "bindings/api_diagnostics.hpp"
#include "bindings/api_did.hpp"
#include "bindings/api_ensemble.hpp"
#include "bindings/api_geo_test.hpp"
#include "bindings/api_layout.hpp"
#include "bindings/api_mcnnm.hpp"
#include "bindings/api_power.hpp"
#include "bindings/api_progress.hpp"
#include "bindings/api_sc.hpp"
#include "bindings/api_selection.hpp"
#include "bindings/api_sensitivity.hpp"
#include "bindings/entry.hpp"
#include "bindings/errors.hpp"
#include "bindings/results.hpp"

namespace quintara::bindings {
namespace {

constexpr const char* kVersion = "0.3.0";

PyObject* version(PyObject*, PyObject*) noexcept { return PyUnicode_FromString(kVersion); }

// Registration order is the order of `__all__`: the synthetic-control
// family's entries (sc_entries()), then these.
const EntryDef* const kEntries[] = {
    &fit_mcnnm_entry,          &fit_cpasc_entry,          &bootstrap_mean_entry,
    &fit_many_entry,           &fit_twfe_py_entry,        &fit_callaway_entry,
    &fit_sunab_py_entry,       &bacon_decompose_py_entry, &geo_power_entry,
    &geo_power_ensemble_entry, &geo_diagnostics_entry,    &geo_select_entry,
    &fit_conformal_entry,      &geo_test_entry,           &fit_imputation_py_entry,
    &honest_did_py_entry,      &geo_analyze_entry,        &geo_select_cells_entry,
};

// Appends a name to the module's `__all__`, creating the list on first use.
void register_name(PyObject* module, const char* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) throw PyErrSet{};
    Py_INCREF(all);
    if (PyModule_AddObject(module, "__all__", all) < 0) {
      Py_DECREF(all);
      Py_DECREF(all);
      throw PyErrSet{};
    }
  }
  Ref list = Ref::steal(all);
  Ref item = new_str(name);
  check_status(PyList_Append(list.get(), item.get()));
}

std::vector<PyMethodDef>& method_table() {
  // Docstrings are built once from the parameter tables and must outlive the
  // module (PyMethodDef keeps raw pointers); a deque never moves its strings.
  static std::deque<std::string> docs;
  static std::vector<PyMethodDef> table;
  if (table.empty()) {
    table.push_back(
        {"version", &version, METH_NOARGS, "version()\n--\n\nThe quintara version string."});
    std::vector<const EntryDef*> entries(sc_entries().begin(), sc_entries().end());
    entries.insert(entries.end(), std::begin(kEntries), std::end(kEntries));
    for (const EntryDef* e : entries) {
      docs.push_back(e->signature->docstring(e->body));
      table.push_back(
          {e->signature->name, e->function, METH_VARARGS | METH_KEYWORDS, docs.back().c_str()});
    }
    table.push_back({nullptr, nullptr, 0, nullptr});
  }
  return table;
}

// Private helpers: module attributes (for unpickling and for the pure-Python
// layers) that are neither in the function table nor in `__all__`.
std::vector<PyMethodDef>& private_table() {
  static std::vector<PyMethodDef> table;
  if (table.empty()) {
    static std::deque<std::string> docs;
    table.push_back(reconstruct_def);
    table.push_back(result_fields_def);
    for (const EntryDef* e : {&select_candidates_entry, &evaluate_candidates_entry,
                              &rank_candidates_entry, &candidate_counts_entry}) {
      docs.push_back(e->signature->docstring(e->body));
      table.push_back(
          {e->signature->name, e->function, METH_VARARGS | METH_KEYWORDS, docs.back().c_str()});
    }
    table.push_back({nullptr, nullptr, 0, nullptr});
  }
  return table;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quintara",
    "The compiled extension module `quintara._quintara`.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  module_def.m_methods = method_table().data();
  Ref module = Ref::check(PyModule_Create(&module_def));
  for (const PyMethodDef& m : method_table()) {
    if (m.ml_name != nullptr) register_name(module.get(), m.ml_name);
  }
  check_status(PyModule_AddFunctions(module.get(), private_table().data()));
  Ref reconstructor = Ref::check(PyObject_GetAttrString(module.get(), reconstruct_def.ml_name));
  set_reconstructor(reconstructor.get());
  add_result_classes(module.get(), &register_name);
  add_panic_exception(module.get());
  // Private: after the table and the classes, and never in `__all__`.
  add_progress_functions(module.get());
  add_layout_functions(module.get());
  return module.release();
}

}  // namespace
}  // namespace quintara::bindings

PyMODINIT_FUNC PyInit__quintara(void) {
  try {
    return quintara::bindings::init_module();
  } catch (...) {
    quintara::bindings::set_python_error_from_current();
    return nullptr;
  }
}
