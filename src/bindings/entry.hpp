// What the module needs to know about one entry function: its parameter table
// (which also yields the text signature), its docstring body and its code.
#pragma once

#include "bindings/args.hpp"
#include "bindings/errors.hpp"

namespace quintara::bindings {

struct EntryDef {
  const Signature* signature;
  const char* body;  // docstring after the "--" line and the blank line
  PyCFunction function;
};

// The METH_VARARGS | METH_KEYWORDS function CPython calls for entry F. The
// cast through a plain function pointer is the documented way to store a
// three-argument function in PyMethodDef.
template <EntryFn F>
PyCFunction cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>));
}

}  // namespace quintara::bindings
