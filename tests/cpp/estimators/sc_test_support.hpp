// Small helpers shared by the synthetic-control-family estimator tests.
#pragma once

#include <initializer_list>
#include <string>

#include "core/linalg/matrix.hpp"
#include "core/panic.hpp"

namespace sc_test {

inline quintara::linalg::Mat from_rows(std::initializer_list<std::initializer_list<double>> rows) {
  quintara::linalg::Mat m(rows.size(), rows.begin()->size());
  std::size_t i = 0;
  for (const auto& r : rows) {
    std::size_t j = 0;
    for (const double v : r) m(i, j++) = v;
    ++i;
  }
  return m;
}

// The text of the internal failure `f` raises, or "<no panic>".
template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const quintara::Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

}  // namespace sc_test
