// Table-driven argument extraction shared by every entry function.
//
// Each entry declares its parameters once (name, kind, default text); the same
// table produces the text-signature docstring (so `inspect.signature` works)
// and drives the parsing. Every parameter is positional-or-keyword. All
// arguments are converted in parameter order before any validator runs; the
// first failure ends the call:
// - argument-list faults raise TypeError in the interpreter's wording;
// - a value of the wrong type raises TypeError "argument '{name}': {reason}";
// - a negative or oversized count raises the integer conversion's own
//   OverflowError, unchanged;
// - None is accepted only where the default is None (it means "absent").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bindings/array.hpp"
#include "bindings/py.hpp"

namespace quintara::bindings {

enum class Kind {
  Array2,     // numpy.ndarray, exactly 2-D, native float64, any strides
  Array3,     // the same with exactly 3 dimensions
  IndexList,  // sequence (not str) of non-negative integers -> vector<size_t>
  IntList,    // sequence (not str) of signed 64-bit integers -> vector<int64_t>
  FloatList,  // sequence (not str) of numbers -> vector<double>
  StrList,    // sequence (not str) of str -> vector<string>
  Count,      // non-negative integer fitting 64 bits -> uint64_t
  Float,      // anything float() accepts; NaN and inf pass -> double
  Flag,       // bool or numpy.bool_ only -> bool
  Name,       // str -> string
};

struct Param {
  const char* name;
  Kind kind;
  // The default as the signature shows it ("0.0", "None", "\"none\"",
  // "False", "1e-5"); nullptr for a required parameter.
  const char* default_text = nullptr;
};

struct Signature {
  const char* name;
  std::vector<Param> params;

  // "name(p1, p2=default, ...)\n--\n\n" followed by the body.
  std::string docstring(std::string_view body) const;
};

using Value = std::variant<std::monostate, ArrayView, std::vector<std::size_t>,
                           std::vector<std::int64_t>, std::vector<double>,
                           std::vector<std::string>, std::uint64_t, double, bool, std::string>;

class Args {
 public:
  Args(const Signature& sig, std::vector<Value> values) : sig_(&sig), values_(std::move(values)) {}

  bool is_none(std::string_view name) const {
    return std::holds_alternative<std::monostate>(value(name));
  }
  const ArrayView& array(std::string_view name) const { return std::get<ArrayView>(value(name)); }
  const std::vector<std::size_t>& indices(std::string_view name) const {
    return std::get<std::vector<std::size_t>>(value(name));
  }
  const std::vector<std::int64_t>& ints(std::string_view name) const {
    return std::get<std::vector<std::int64_t>>(value(name));
  }
  const std::vector<double>& floats(std::string_view name) const {
    return std::get<std::vector<double>>(value(name));
  }
  const std::vector<std::string>& strings(std::string_view name) const {
    return std::get<std::vector<std::string>>(value(name));
  }
  std::uint64_t count(std::string_view name) const { return std::get<std::uint64_t>(value(name)); }
  double real(std::string_view name) const { return std::get<double>(value(name)); }
  bool flag(std::string_view name) const { return std::get<bool>(value(name)); }
  const std::string& text(std::string_view name) const { return std::get<std::string>(value(name)); }

  // Optional variants: nullopt when the argument is None (or defaulted None).
  std::optional<std::uint64_t> opt_count(std::string_view name) const;
  std::optional<double> opt_real(std::string_view name) const;
  const ArrayView* opt_array(std::string_view name) const;
  const std::vector<std::size_t>* opt_indices(std::string_view name) const;
  const std::vector<double>* opt_floats(std::string_view name) const;
  const std::vector<std::string>* opt_strings(std::string_view name) const;

 private:
  const Value& value(std::string_view name) const;
  const Signature* sig_;
  std::vector<Value> values_;
};

// Binds and converts `args`/`kwargs` of a call against `sig`.
Args parse_args(const Signature& sig, PyObject* args, PyObject* kwargs);

}  // namespace quintara::bindings
