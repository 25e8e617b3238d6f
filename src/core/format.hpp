// Message formatting shared by every message of the system.
//
// Templates use `{}` (next argument), `{N}` (argument N again), `{:.P}` (next
// argument in fixed point with P decimals) and `{N:.P}`; `{{` and `}}` are
// literal braces. Integers print in decimal. Floats print in the shortest
// decimal text that reads back to the same value, in positional notation
// (1.0 -> "1", 1e-5 -> "0.00001"), with NaN, inf and -inf for the specials.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace quintara {

// Shortest round-trip positional text; no exponent, no trailing ".0".
std::string format_shortest(double x);
// Fixed point with exactly `decimals` digits after the point (round half to
// even on the exact binary value).
std::string format_fixed(double x, int decimals);
// Shortest round-trip text that always shows a decimal point ("1.0", "0.05");
// magnitudes below 1e-5 or from 1e16 up use an exponent ("1e-7", "1.5e16").
std::string format_float_debug(double x);

class FormatArg {
 public:
  template <class T>
    requires std::is_integral_v<T>
  FormatArg(T v) {  // NOLINT: implicit by design
    if constexpr (std::is_signed_v<T>) {
      value_ = static_cast<std::int64_t>(v);
    } else {
      value_ = static_cast<std::uint64_t>(v);
    }
  }
  FormatArg(double v) : value_(v) {}                         // NOLINT
  FormatArg(const char* v) : value_(std::string(v)) {}       // NOLINT
  FormatArg(std::string_view v) : value_(std::string(v)) {}  // NOLINT
  FormatArg(const std::string& v) : value_(v) {}             // NOLINT

  std::string plain() const;
  std::string fixed(int decimals) const;

 private:
  std::variant<std::int64_t, std::uint64_t, double, std::string> value_;
};

std::string format_args(std::string_view templ, std::initializer_list<FormatArg> args);

template <class... Args>
std::string format(std::string_view templ, const Args&... args) {
  return format_args(templ, {FormatArg(args)...});
}

}  // namespace quintara
