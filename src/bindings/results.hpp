// The read-only Python result classes.
//
// Each class derives from object, has no Python-callable constructor, cannot
// be subclassed, and exposes its record's fields as read-only properties that
// build a fresh Python object on every read (mutating a returned list changes
// nothing). An object owns its record and never changes after creation.
// Objects pickle as their attribute values (plain Python values) and unpickle
// through a private module function, so they cross process boundaries.
#pragma once

#include "bindings/py.hpp"
#include "core/runs/records.hpp"

namespace quintara::bindings {

using runs::PyBaconComponent;
using runs::PyBaconResult;
using runs::PyCellDesign;
using runs::PyCellSelection;
using runs::PyCpascResult;
using runs::PyDidResult;
using runs::PyGeoAnalysis;
using runs::PyGeoDiagnostics;
using runs::PyMarketCandidate;
using runs::PyPowerResult;
using runs::PyScResult;

// Creates the classes (once) and adds them to the module in table order.
void add_result_classes(PyObject* module, void (*register_name)(PyObject*, const char*));

// The private `_reconstruct(name, state)` that every class's __reduce__
// names: it rebuilds an object from its class name and the tuple of its
// attribute values. The module registers it outside the function table and
// hands the registered function back through set_reconstructor.
extern const PyMethodDef reconstruct_def;
void set_reconstructor(PyObject* fn);

// The private `_result_fields()`: one (class, name, type text, units, doc)
// row per field of every class, for generating the stub and for the tests
// that check each field's units.
extern const PyMethodDef result_fields_def;

// Wrap a finished record into a new Python object (interpreter lock held).
Ref wrap(PyScResult r);
Ref wrap(PyDidResult r);
Ref wrap(PyCpascResult r);
Ref wrap(PyBaconComponent r);
Ref wrap(PyBaconResult r);
Ref wrap(PyPowerResult r);
Ref wrap(PyGeoDiagnostics r);
Ref wrap(PyGeoAnalysis r);
Ref wrap(PyCellDesign r);
Ref wrap(PyCellSelection r);
Ref wrap(PyMarketCandidate r);

}  // namespace quintara::bindings
