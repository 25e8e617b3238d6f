// Small helpers shared by the C++ unit tests: the text of the invariant
// violation a call raises, and matrices written row by row.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

#include "core/linalg/matrix.hpp"
#include "core/panic.hpp"

namespace quintara::test {

// The message of the Panic that f() throws, or "<no panic>".
template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

// Rows given row by row, stored column-major.
inline linalg::Mat from_rows(std::initializer_list<std::initializer_list<double>> rows) {
  linalg::Mat m(rows.size(), rows.begin()->size());
  std::size_t i = 0;
  for (const auto& r : rows) {
    std::size_t j = 0;
    for (const double v : r) m(i, j++) = v;
    ++i;
  }
  return m;
}

// "assertion `left == right` failed: ..." as QUINTARA_ASSERT_EQ words it.
inline std::string eq_failure(const std::string& message, std::size_t left, std::size_t right) {
  return "assertion `left == right` failed: " + message + "\n  left: " + std::to_string(left) +
         "\n right: " + std::to_string(right);
}

}  // namespace quintara::test
