// The eight read-only Python result classes.
//
// Each class derives from object, has no Python-callable constructor, cannot
// be subclassed, and exposes its record's fields as read-only properties that
// build a fresh Python object on every read (mutating a returned list changes
// nothing). An object owns its record and never changes after creation.
#pragma once

#include "bindings/py.hpp"
#include "core/runs/records.hpp"

namespace quintara::bindings {

using runs::PyBaconComponent;
using runs::PyBaconResult;
using runs::PyCpascResult;
using runs::PyDidResult;
using runs::PyGeoDiagnostics;
using runs::PyMarketCandidate;
using runs::PyPowerResult;
using runs::PyScResult;

// Creates the classes (once) and adds them to the module in table order.
void add_result_classes(PyObject* module, void (*register_name)(PyObject*, const char*));

// Wrap a finished record into a new Python object (interpreter lock held).
Ref wrap(PyScResult r);
Ref wrap(PyDidResult r);
Ref wrap(PyCpascResult r);
Ref wrap(PyBaconComponent r);
Ref wrap(PyBaconResult r);
Ref wrap(PyPowerResult r);
Ref wrap(PyGeoDiagnostics r);
Ref wrap(PyMarketCandidate r);

}  // namespace quintara::bindings
