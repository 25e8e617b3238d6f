#include "bindings/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::bindings {

namespace {

PyObject* panic_exception = nullptr;

constexpr const char* kPanicDoc =
    "An internal invariant of quintara was violated (a bug, not bad input).\n"
    "\n"
    "Derives from BaseException so that `except Exception` does not hide it.";

}  // namespace

void add_panic_exception(PyObject* module) {
  if (panic_exception == nullptr) {
    panic_exception = PyErr_NewExceptionWithDoc("quintara._quintara.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
    if (panic_exception == nullptr) throw PyErrSet{};
  }
  Py_INCREF(panic_exception);
  if (PyModule_AddObject(module, "PanicException", panic_exception) < 0) {
    Py_DECREF(panic_exception);
    throw PyErrSet{};
  }
}

void set_python_error_from_current() noexcept {
  try {
    throw;
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const runs::UserError& e) {
    set_error(PyExc_ValueError, e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const parallel::Cancelled& e) {
    PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(panic_exception != nullptr ? panic_exception : PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(panic_exception != nullptr ? panic_exception : PyExc_SystemError,
                    "unknown internal error");
  }
}

}  // namespace quintara::bindings
