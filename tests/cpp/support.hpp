// Small helpers shared by the C++ unit tests: the text of the invariant
// violation or the bad-input error a call raises, matrices written row by
// row, and market panels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "core/linalg/matrix.hpp"
#include "core/linalg/rng.hpp"
#include "core/panic.hpp"
#include "core/runs/user_error.hpp"

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

// The message of the UserError that f() throws, or "<no error>".
template <class F>
std::string message_of(F&& f) {
  try {
    f();
  } catch (const runs::UserError& e) {
    return std::string(e.message());
  }
  return "<no error>";
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

// n markets over t periods at their own level, with a shared weekly cycle, a
// drift and noise.
inline linalg::Mat market_panel(std::size_t n, std::size_t t, std::uint64_t seed) {
  auto rng = linalg::Xoshiro256pp::make(seed);
  linalg::Mat y(n, t);
  for (std::size_t i = 0; i < n; ++i) {
    const double level = 20.0 + 30.0 * rng.next_f64(), cycle = 1.0 + 3.0 * rng.next_f64();
    const double drift = 0.2 * (rng.next_f64() - 0.5);
    for (std::size_t j = 0; j < t; ++j) {
      const double phase = static_cast<double>(j % 7) / 7.0;
      y(i, j) = level + cycle * (phase - 0.5) + drift * static_cast<double>(j) +
                2.0 * (rng.next_f64() - 0.5);
    }
  }
  return y;
}

}  // namespace quintara::test
