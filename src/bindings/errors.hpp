// How failures cross into Python.
//
// - UserError: bad input found by a validator or an entry check; becomes
//   ValueError with exactly its text.
// - quintara::Panic (or any other C++ exception): an internal invariant
//   violation; becomes PanicException, which derives from BaseException so
//   that `except Exception` does not hide a bug.
// - PyErrSet: a CPython call already set the Python exception.
// - std::bad_alloc, or std::length_error (a size no container can hold):
//   MemoryError (the call fails; the process survives).
// - parallel::Cancelled: a parallel loop was cancelled on request (Ctrl-C);
//   becomes KeyboardInterrupt("cancelled"), as an interrupt would.
// Exceptions raised while the interpreter lock is released propagate as C++
// exceptions through `without_gil`, which re-acquires the lock first, so they
// are always raised under the lock.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "bindings/api_progress.hpp"
#include "bindings/py.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::bindings {

// Creates the PanicException class (once) and adds it to the module.
void add_panic_exception(PyObject* module);

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block.
void set_python_error_from_current() noexcept;

// Runs `f` with the interpreter lock released; the lock is re-acquired before
// `f`'s result or exception leaves this function. The call is listed for
// `_progress` / `_cancel` while it runs.
template <class F>
decltype(auto) without_gil(F&& f) {
  const RunningCall call;
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } guard{PyEval_SaveThread()};
  return f();
}

// Runs `f`, whose memory is sized by the count argument `name`; an allocation
// it cannot make raises MemoryError naming that argument. Call with the lock
// held (`f` may release it).
template <class F>
decltype(auto) sized_by(const char* name, unsigned long long count, F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  raise(PyExc_MemoryError, "argument '" + std::string(name) + "': not enough memory for " +
                               std::to_string(count) + " replicates");
}

using EntryFn = Ref (*)(PyObject* args, PyObject* kwargs);

// The CPython-callable shell around an entry function: no C++ exception ever
// leaves it.
template <EntryFn F>
PyObject* entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return F(args, kwargs).release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace quintara::bindings
