#include "bindings/api_progress.hpp"

#include <cstddef>

namespace quintara::bindings {
namespace {

PyObject* progress(PyObject*, PyObject*) noexcept {
  std::size_t done = 0;
  std::size_t total = 0;
  {
    RunningCalls& calls = RunningCalls::instance();
    const std::lock_guard<std::mutex> lock(calls.mutex);
    for (const parallel::Control* c : calls.controls) {
      const parallel::Control::Progress p = c->progress();
      done += p.done;
      total += p.total;
    }
  }
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(total));
}

PyObject* cancel(PyObject*, PyObject*) noexcept {
  std::size_t n = 0;
  {
    RunningCalls& calls = RunningCalls::instance();
    const std::lock_guard<std::mutex> lock(calls.mutex);
    for (parallel::Control* c : calls.controls) c->request_cancel();
    n = calls.controls.size();
  }
  return PyLong_FromSize_t(n);
}

PyMethodDef functions[] = {
    {"_progress", &progress, METH_NOARGS,
     "_progress()\n--\n\n(done, total) outer-loop tasks of the compiled calls running now."},
    {"_cancel", &cancel, METH_NOARGS,
     "_cancel()\n--\n\nAsk every running compiled call to stop; returns how many there were."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_progress_functions(PyObject* module) {
  check_status(PyModule_AddFunctions(module, functions));
}

}  // namespace quintara::bindings
