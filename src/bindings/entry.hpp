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

}  // namespace quintara::bindings
