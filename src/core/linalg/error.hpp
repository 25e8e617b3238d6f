// Failure kinds of the factorizations, and a small value-or-error holder.
//
// Factorization failures are values the caller decides about; the text form
// ("NotPositiveDefinite { pivot: 2 }") is what callers embed in their own
// messages when they treat a failure as impossible.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

#include "core/panic.hpp"

namespace quintara::linalg {

struct LinalgError {
  enum class Kind { NotSquare, DimMismatch, NotPositiveDefinite, Empty };
  Kind kind = Kind::Empty;
  // NotSquare: a = rows, b = cols. DimMismatch: a = expected, b = got.
  // NotPositiveDefinite: a = pivot.
  std::size_t a = 0;
  std::size_t b = 0;

  static LinalgError not_square(std::size_t rows, std::size_t cols) {
    return {Kind::NotSquare, rows, cols};
  }
  static LinalgError dim_mismatch(std::size_t expected, std::size_t got) {
    return {Kind::DimMismatch, expected, got};
  }
  static LinalgError not_positive_definite(std::size_t pivot) {
    return {Kind::NotPositiveDefinite, pivot, 0};
  }
  static LinalgError empty() { return {Kind::Empty, 0, 0}; }

  std::string to_string() const;
  bool operator==(const LinalgError&) const = default;
};

// Either a value or a LinalgError.
template <class T>
class Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Expected(LinalgError err) : v_(err) {}       // NOLINT

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const LinalgError& error() const { return std::get<1>(v_); }

  // The value, or an internal invariant violation "{context}: {error}".
  T expect(const std::string& context) && {
    if (!has_value()) panic(context + ": " + error().to_string());
    return std::get<0>(std::move(v_));
  }

 private:
  std::variant<T, LinalgError> v_;
};

}  // namespace quintara::linalg
