// How failures cross into Python, exercised in an embedded interpreter: an
// internal fault raised while the interpreter lock is released (also from a
// worker-pool task) must come back as PanicException with its text, raised
// with the lock held; a cancelled pool loop is KeyboardInterrupt; bad input
// is ValueError; nothing leaks as a C++ exception.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bindings/errors.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

using namespace quintara::bindings;

namespace {

PyObject* g_module = nullptr;

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    Py_Initialize();
    g_module = PyModule_New("errors_test");
    add_panic_exception(g_module);
  }
};

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new Interpreter);

Ref panic_without_lock(PyObject*, PyObject*) {
  return without_gil([]() -> Ref { quintara::panic("assertion `left == right` failed: x"); });
}

Ref panic_in_pool_task(PyObject*, PyObject*) {
  without_gil([] {
    quintara::parallel::parallel_for(64, [](std::size_t i) {
      if (i == 37) quintara::panic("task 37 failed");
    });
  });
  return Ref::borrow(Py_None);
}

// A nested loop cancelled from another thread while its tasks run.
Ref cancelled_pool_loop(PyObject*, PyObject*) {
  without_gil([] {
    quintara::parallel::Control control;
    quintara::parallel::ControlScope scope(control);
    quintara::parallel::parallel_for(8, [&](std::size_t) {
      quintara::parallel::parallel_for(
          8, [&](std::size_t) { std::thread([&] { control.request_cancel(); }).join(); });
    });
  });
  return Ref::borrow(Py_None);
}

Ref user_error(PyObject*, PyObject*) { throw quintara::runs::UserError("bad input"); }

Ref out_of_memory(PyObject*, PyObject*) {
  return without_gil([]() -> Ref { throw std::bad_alloc(); });
}

Ref fine(PyObject*, PyObject*) {
  return without_gil([] { return 41; }) == 41 ? Ref::borrow(Py_True) : Ref();
}

// The pending exception's type and message; clears it.
std::pair<PyObject*, std::string> take_error() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  // The type stays referenced by the module or builtins.
  const Ref owned[] = {Ref::steal(type), Ref::steal(value), Ref::steal(tb)};
  return {type, PyUnicode_AsUTF8(Ref::check(PyObject_Str(value)).get())};
}

PyObject* panic_type() {
  PyObject* t = PyObject_GetAttrString(g_module, "PanicException");
  Py_DECREF(t);
  return t;
}

}  // namespace

// Each failure comes back as its Python exception, raised with the lock held.
TEST(Errors, FailuresBecomePythonExceptions) {
  using Entry = PyObject* (*)(PyObject*, PyObject*, PyObject*);
  const std::vector<std::tuple<Entry, PyObject*, std::string>> cases{
      {entry<panic_without_lock>, panic_type(), "assertion `left == right` failed: x"},
      {entry<panic_in_pool_task>, panic_type(), "task 37 failed"},
      {entry<cancelled_pool_loop>, PyExc_KeyboardInterrupt, "cancelled"},
      {entry<user_error>, PyExc_ValueError, "bad input"},
      {entry<out_of_memory>, PyExc_MemoryError, ""}};
  for (const auto& [call, type, text] : cases) {
    EXPECT_EQ(call(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(PyGILState_Check(), 1);
    const auto [got_type, got_text] = take_error();
    EXPECT_EQ(got_type, type) << text;
    if (!text.empty()) {
      EXPECT_EQ(got_text, text);
    }
  }
  // The pool is still usable and the call after a fault succeeds.
  PyObject* ok = entry<fine>(nullptr, nullptr, nullptr);
  EXPECT_EQ(ok, Py_True);
  Py_XDECREF(ok);
}
