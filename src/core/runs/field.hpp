// A field of a result record: its member, its Python name, its units and its
// docstring, declared once in the record's table (record_fields.hpp).
//
// Everything that treats a record field by field (the Python properties and
// pickling, the scale-back to the caller's units, the generated stub) walks
// that table, so a field added to the table is handled everywhere and a
// field left out of it is exposed nowhere.
#pragma once

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace quintara::runs {

// What a field's value is measured in, for the scale-back to the caller's
// units (scale.hpp). Units has no default constructor, and Field lists it
// before the docstring without a default, so `Field<&R::x>{"x"}` and
// `Field<&R::x>{"x", "doc"}` are both ill-formed: a field cannot be declared
// without saying its units.
class Units {
 public:
  enum class Kind {
    y,          // units of the outcome: scaled back by 2^k
    y2,         // squared units of the outcome: scaled back by 2^2k
    unitless,   // ratios, weights, probabilities, labels
    count,      // counts and indices
    statistic,  // the placebo statistic: units of y or unitless, by method
    record,     // a nested record (or list of them) with its own table
  };
  constexpr explicit Units(Kind kind) : kind_(kind) {}
  constexpr Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

namespace units {
inline constexpr Units y{Units::Kind::y};
inline constexpr Units y2{Units::Kind::y2};
inline constexpr Units unitless{Units::Kind::unitless};
inline constexpr Units count{Units::Kind::count};
inline constexpr Units statistic{Units::Kind::statistic};
inline constexpr Units record{Units::Kind::record};
}  // namespace units

// The units' name as the stub generator and the tests read it.
constexpr const char* units_name(Units u) {
  switch (u.kind()) {
    case Units::Kind::y: return "y";
    case Units::Kind::y2: return "y^2";
    case Units::Kind::unitless: return "unitless";
    case Units::Kind::count: return "count";
    case Units::Kind::statistic: return "placebo statistic";
    case Units::Kind::record: return "record";
  }
  return "";
}

template <auto Member>
struct Field {
  static constexpr auto member = Member;
  const char* name;
  Units units;
  const char* doc = "";
};

// Given for each record in record_fields.hpp: the class name, its docstring
// and `fields`, a tuple of Field in attribute order.
template <class R>
struct RecordFields;

template <class R, class = void>
struct has_fields : std::false_type {};
template <class R>
struct has_fields<R, std::void_t<decltype(RecordFields<R>::fields)>> : std::true_type {};
template <class R>
inline constexpr bool has_fields_v = has_fields<R>::value;

template <class R>
constexpr std::size_t n_fields =
    std::tuple_size_v<std::remove_cv_t<decltype(RecordFields<R>::fields)>>;

// The member type of a field, e.g. std::vector<double>.
template <auto Member>
struct member_of;
template <class R, class T, T R::* Member>
struct member_of<Member> {
  using type = T;
};
template <auto Member>
using member_t = typename member_of<Member>::type;

// Calls f(std::integral_constant<std::size_t, I>{}) for every field index of R,
// in order; the field itself is then a constant expression,
// std::get<I>(RecordFields<R>::fields).
template <class R, class F>
constexpr void for_each_field(F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f(std::integral_constant<std::size_t, I>{}), ...);
  }(std::make_index_sequence<n_fields<R>>{});
}

namespace detail {

template <class T>
struct strip {
  using type = T;
};
template <class T>
struct strip<std::optional<T>> : strip<T> {};
template <class T>
struct strip<std::vector<T>> : strip<T> {};

}  // namespace detail

// The scalar at the bottom of optional/vector nesting: optional<vector<double>> -> double.
template <class T>
using element_t = typename detail::strip<T>::type;

// Whether the declared units fit the member's type: outcome units only on
// floating values, counts only on integers, `record` exactly on nested
// records. Checked for every table in record_fields.hpp.
template <class T>
constexpr bool units_fit(Units u) {
  using E = element_t<T>;
  switch (u.kind()) {
    case Units::Kind::y:
    case Units::Kind::y2:
    case Units::Kind::statistic: return std::is_same_v<E, double>;
    case Units::Kind::count: return std::is_integral_v<E>;
    case Units::Kind::unitless: return !has_fields_v<E>;
    case Units::Kind::record: return has_fields_v<E>;
  }
  return false;
}

template <class R>
constexpr bool units_fit_every_field() {
  bool ok = true;
  for_each_field<R>([&](auto i) {
    constexpr auto& field = std::get<decltype(i)::value>(RecordFields<R>::fields);
    ok = ok && units_fit<member_t<std::remove_cvref_t<decltype(field)>::member>>(field.units);
  });
  return ok;
}

}  // namespace quintara::runs
