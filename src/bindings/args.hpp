// Table-driven argument extraction shared by every entry function.
//
// Each entry declares its parameters once (name, member of its argument
// struct, default text); the same table produces the text-signature docstring (so
// `inspect.signature` works) and drives the parsing. Every parameter is positional-or-keyword. All
// arguments are converted in parameter order before any validator runs; the
// first failure ends the call:
// - argument-list faults raise TypeError in the interpreter's wording;
// - a value of the wrong type raises TypeError "argument '{name}': {reason}";
// - a negative or oversized count raises OverflowError in the same form, with
//   the integer conversion's own reason;
// - None is accepted only where the default is None (it means "absent").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "bindings/array.hpp"
#include "bindings/py.hpp"

namespace quintara::bindings {

enum class Kind {
  Array2,      // numpy.ndarray whose buffer is 2-D native float64, any strides
  Array3,      // the same with exactly 3 dimensions
  IndexList,   // sequence (not str) of non-negative integers -> vector<size_t>
  IndexLists,  // sequence (not str) of index lists -> vector<vector<size_t>>
  IntList,     // sequence (not str) of signed 64-bit integers -> vector<int64_t>
  FloatList,   // sequence (not str) of numbers -> vector<double>
  StrList,     // sequence (not str) of str -> vector<string>
  Count,       // non-negative integer fitting 64 bits -> uint64_t
  Int,         // any integer fitting signed 64 bits -> int64_t
  Float,       // anything float() accepts; NaN and inf pass -> double
  Flag,        // bool or numpy.bool_ only -> bool
  Name,        // str -> string
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
                           std::vector<std::vector<std::size_t>>, std::vector<std::int64_t>,
                           std::vector<double>, std::vector<std::string>, std::uint64_t,
                           std::int64_t, double, bool, std::string>;

// Binds and converts `args`/`kwargs` of a call against `sig`: one value per
// parameter, in parameter order (monostate for None).
std::vector<Value> parse_values(const Signature& sig, PyObject* args, PyObject* kwargs);

// ---- Typed access ------------------------------------------------------
//
// An entry declares a plain struct with one member per parameter and binds
// each parameter name to its member. The parameter's kind follows from the
// member's type, so the parsed value always has the member's type and a
// misspelt or mistyped parameter is a compile error, not a fault on the first
// call. A std::optional member is a parameter whose default is None.

template <class T>
struct KindOf;
template <>
struct KindOf<ArrayView> : std::integral_constant<Kind, Kind::Array2> {};
template <>
struct KindOf<Array3View> : std::integral_constant<Kind, Kind::Array3> {};
template <>
struct KindOf<std::vector<std::size_t>> : std::integral_constant<Kind, Kind::IndexList> {};
template <>
struct KindOf<std::vector<std::vector<std::size_t>>>
    : std::integral_constant<Kind, Kind::IndexLists> {};
template <>
struct KindOf<std::vector<std::int64_t>> : std::integral_constant<Kind, Kind::IntList> {};
template <>
struct KindOf<std::vector<double>> : std::integral_constant<Kind, Kind::FloatList> {};
template <>
struct KindOf<std::vector<std::string>> : std::integral_constant<Kind, Kind::StrList> {};
template <>
struct KindOf<std::uint64_t> : std::integral_constant<Kind, Kind::Count> {};
template <>
struct KindOf<std::int64_t> : std::integral_constant<Kind, Kind::Int> {};
template <>
struct KindOf<double> : std::integral_constant<Kind, Kind::Float> {};
template <>
struct KindOf<bool> : std::integral_constant<Kind, Kind::Flag> {};
template <>
struct KindOf<std::string> : std::integral_constant<Kind, Kind::Name> {};
template <class T>
struct KindOf<std::optional<T>> : KindOf<T> {};

template <class T>
inline constexpr bool is_optional_v = false;
template <class T>
inline constexpr bool is_optional_v<std::optional<T>> = true;

template <class S, class M>
struct Field {
  const char* name;
  M S::* member;
  const char* default_text;
};

// A required parameter, or one with the default shown as `default_text`.
template <class S, class M>
constexpr Field<S, M> arg(const char* name, M S::* member, const char* default_text = nullptr) {
  static_assert(!is_optional_v<M>, "an optional parameter defaults to None: use opt_arg");
  return {name, member, default_text};
}

// A parameter whose default is None (absent).
template <class S, class M>
constexpr Field<S, std::optional<M>> opt_arg(const char* name, std::optional<M> S::* member) {
  return {name, member, "None"};
}

namespace detail {

template <class T>
T take(Value&& v) {
  if constexpr (std::is_same_v<T, Array3View>) {
    return Array3View(std::get<ArrayView>(std::move(v)));
  } else {
    return std::get<T>(std::move(v));
  }
}

template <class T>
void assign(T& out, Value&& v) {
  if constexpr (is_optional_v<T>) {
    if (std::holds_alternative<std::monostate>(v)) {
      out.reset();
    } else {
      out.emplace(take<typename T::value_type>(std::move(v)));
    }
  } else {
    out = take<T>(std::move(v));
  }
}

}  // namespace detail

// An entry's parameter table bound to its struct `S`.
template <class S, class... M>
class Params {
 public:
  explicit Params(const char* name, Field<S, M>... fields)
      : signature_{name, {Param{fields.name, KindOf<M>::value, fields.default_text}...}},
        members_{fields.member...} {}

  const Signature& signature() const { return signature_; }

  S parse(PyObject* args, PyObject* kwargs) const {
    std::vector<Value> values = parse_values(signature_, args, kwargs);
    S out{};
    std::apply(
        [&](auto... member) {
          std::size_t i = 0;
          (detail::assign(out.*member, std::move(values[i++])), ...);
        },
        members_);
    return out;
  }

 private:
  Signature signature_;
  std::tuple<M S::*...> members_;
};

}  // namespace quintara::bindings
