#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "core/panic.hpp"

namespace quintara {

namespace {

std::string special(double x) {
  if (std::isnan(x)) return "NaN";
  return x > 0 ? "inf" : "-inf";
}

}  // namespace

std::string format_shortest(double x) {
  if (!std::isfinite(x)) return special(x);
  // 1e308 in positional form needs 309 digits plus sign; 5e-324 needs 327.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

std::string format_fixed(double x, int decimals) {
  if (!std::isfinite(x)) return special(x);
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, decimals);
  return std::string(buf, res.ptr);
}

std::string format_float_debug(double x) {
  if (!std::isfinite(x)) return special(x);
  const double a = std::fabs(x);
  char buf[400];
  if (a != 0.0 && (a < 1e-5 || a >= 1e16)) {
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string s(buf, res.ptr);
    // to_chars writes "1e-07"; the exponent is shown without padding or "+".
    const auto e = s.find('e');
    std::string mant = s.substr(0, e);
    int exp = std::atoi(s.c_str() + e + 1);
    return mant + "e" + std::to_string(exp);
  }
  std::string s = format_shortest(x);
  if (s.find('.') == std::string::npos) s += ".0";
  return s;
}

std::string FormatArg::plain() const {
  if (auto p = std::get_if<std::int64_t>(&value_)) return std::to_string(*p);
  if (auto p = std::get_if<std::uint64_t>(&value_)) return std::to_string(*p);
  if (auto p = std::get_if<double>(&value_)) return format_shortest(*p);
  return std::get<std::string>(value_);
}

std::string FormatArg::fixed(int decimals) const {
  if (auto p = std::get_if<std::int64_t>(&value_)) return format_fixed(double(*p), decimals);
  if (auto p = std::get_if<std::uint64_t>(&value_)) return format_fixed(double(*p), decimals);
  if (auto p = std::get_if<double>(&value_)) return format_fixed(*p, decimals);
  return std::get<std::string>(value_);
}

std::string format_args(std::string_view templ, std::initializer_list<FormatArg> args) {
  const std::vector<FormatArg> list(args);
  std::string out;
  out.reserve(templ.size() + 16 * list.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    const char c = templ[i];
    if (c == '{' && i + 1 < templ.size() && templ[i + 1] == '{') {
      out.push_back('{');
      ++i;
      continue;
    }
    if (c == '}' && i + 1 < templ.size() && templ[i + 1] == '}') {
      out.push_back('}');
      ++i;
      continue;
    }
    if (c != '{') {
      out.push_back(c);
      continue;
    }
    const std::size_t close = templ.find('}', i);
    if (close == std::string_view::npos) panic("format: unterminated placeholder");
    const std::string_view field = templ.substr(i + 1, close - i - 1);
    const std::size_t colon = field.find(':');
    const std::string_view index_part = field.substr(0, colon);
    std::size_t index = next;
    if (index_part.empty()) {
      ++next;
    } else {
      std::from_chars(index_part.data(), index_part.data() + index_part.size(), index);
    }
    if (index >= list.size()) panic("format: too few arguments for template");
    if (colon == std::string_view::npos) {
      out += list[index].plain();
    } else {
      const std::string_view prec = field.substr(colon + 1);
      if (prec.size() < 2 || prec[0] != '.') panic("format: bad precision");
      int decimals = 0;
      std::from_chars(prec.data() + 1, prec.data() + prec.size(), decimals);
      out += list[index].fixed(decimals);
    }
    i = close;
  }
  return out;
}

}  // namespace quintara
