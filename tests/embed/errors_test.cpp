// How failures cross into Python, exercised in an embedded interpreter: an
// internal fault raised while the interpreter lock is released (also from a
// worker-pool task) must come back as PanicException with its text, raised
// with the lock held; a cancelled pool loop is KeyboardInterrupt; bad input
// is ValueError; nothing leaks as a C++ exception.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>

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
      quintara::parallel::parallel_for(8, [&](std::size_t) {
        std::thread([&] { control.request_cancel(); }).join();
      });
    });
  });
  return Ref::borrow(Py_None);
}

Ref user_error(PyObject*, PyObject*) {
  throw quintara::runs::UserError("level must be in (0, 1); got 2");
}

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
  PyObject* s = PyObject_Str(value);
  std::string text = PyUnicode_AsUTF8(s);
  Py_DECREF(s);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  Py_XDECREF(type);  // still referenced by the module or builtins
  return {type, text};
}

PyObject* panic_type() {
  PyObject* t = PyObject_GetAttrString(g_module, "PanicException");
  Py_DECREF(t);
  return t;
}

}  // namespace

TEST(Errors, PanicExceptionIsABaseExceptionOnly) {
  EXPECT_EQ(PyObject_IsSubclass(panic_type(), PyExc_BaseException), 1);
  EXPECT_EQ(PyObject_IsSubclass(panic_type(), PyExc_Exception), 0);
}

TEST(Errors, PanicWhileUnlockedIsRaisedUnderTheLock) {
  EXPECT_EQ(entry<panic_without_lock>(nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(PyGILState_Check(), 1);
  const auto [type, text] = take_error();
  EXPECT_EQ(type, panic_type());
  EXPECT_EQ(text, "assertion `left == right` failed: x");
}

TEST(Errors, PanicInsideAPoolTaskReachesTheCaller) {
  EXPECT_EQ(entry<panic_in_pool_task>(nullptr, nullptr, nullptr), nullptr);
  const auto [type, text] = take_error();
  EXPECT_EQ(type, panic_type());
  EXPECT_EQ(text, "task 37 failed");
  // The pool is still usable and the call after a fault succeeds.
  PyObject* ok = entry<fine>(nullptr, nullptr, nullptr);
  EXPECT_EQ(ok, Py_True);
  Py_XDECREF(ok);
}

TEST(Errors, CancellationIsAKeyboardInterrupt) {
  EXPECT_EQ(entry<cancelled_pool_loop>(nullptr, nullptr, nullptr), nullptr);
  const auto [type, text] = take_error();
  EXPECT_EQ(type, PyExc_KeyboardInterrupt);
  EXPECT_EQ(text, "cancelled");
}

TEST(Errors, UserErrorsAndAllocationFailures) {
  EXPECT_EQ(entry<user_error>(nullptr, nullptr, nullptr), nullptr);
  auto [type, text] = take_error();
  EXPECT_EQ(type, PyExc_ValueError);
  EXPECT_EQ(text, "level must be in (0, 1); got 2");

  EXPECT_EQ(entry<out_of_memory>(nullptr, nullptr, nullptr), nullptr);
  std::tie(type, text) = take_error();
  EXPECT_EQ(type, PyExc_MemoryError);
}
