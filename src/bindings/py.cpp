#include "bindings/py.hpp"

namespace quintara::bindings {

Ref new_str(std::string_view s) {
  return Ref::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

void set_error(PyObject* type, std::string_view message) noexcept {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

Ref new_float(double x) { return Ref::check(PyFloat_FromDouble(x)); }

Ref new_int(long long v) { return Ref::check(PyLong_FromLongLong(v)); }

Ref new_uint(unsigned long long v) { return Ref::check(PyLong_FromUnsignedLongLong(v)); }

std::string type_name(PyObject* obj) {
  Ref name = Ref::check(PyType_GetName(Py_TYPE(obj)));
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
  if (s == nullptr) throw PyErrSet{};
  return std::string(s, static_cast<std::size_t>(n));
}

}  // namespace quintara::bindings
