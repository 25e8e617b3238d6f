// A thin owning reference over PyObject*, and the exception that carries an
// already-set Python error through C++ frames.
//
// Only the CPython limited API (3.11) is used, so one abi3 build serves every
// later interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

namespace quintara::bindings {

// Thrown when a CPython call failed and left its exception set; the entry
// wrapper returns NULL so the interpreter raises it.
struct PyErrSet {};

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes ownership of a new reference from a CPython call, throwing PyErrSet
  // when the call returned NULL.
  static Ref check(PyObject* p) {
    if (p == nullptr) throw PyErrSet{};
    return Ref(p);
  }

  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Throws PyErrSet when a CPython status call reported failure (-1).
inline void check_status(int status) {
  if (status < 0) throw PyErrSet{};
}

// Sets `type` with the whole of `message` (PyErr_SetString would stop at an
// embedded NUL, as one quoted from an argument); bytes that are not UTF-8
// become U+FFFD. Should even that fail, its own error (MemoryError) is set.
void set_error(PyObject* type, std::string_view message) noexcept;

// Raises `type` with `message` and throws PyErrSet.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  set_error(type, message);
  throw PyErrSet{};
}

Ref new_str(std::string_view s);
Ref new_float(double x);
Ref new_int(long long v);
Ref new_uint(unsigned long long v);

// The Python-visible name of an object's type ("list", "ndarray").
std::string type_name(PyObject* obj);

}  // namespace quintara::bindings
