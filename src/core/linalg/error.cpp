#include "core/linalg/error.hpp"

namespace quintara::linalg {

std::string LinalgError::to_string() const {
  const auto n = [](std::size_t v) { return std::to_string(v); };
  switch (kind) {
    case Kind::NotSquare: return "NotSquare { rows: " + n(a) + ", cols: " + n(b) + " }";
    case Kind::DimMismatch: return "DimMismatch { expected: " + n(a) + ", got: " + n(b) + " }";
    case Kind::NotPositiveDefinite: return "NotPositiveDefinite { pivot: " + n(a) + " }";
    case Kind::Empty: break;
  }
  return "Empty";
}

}  // namespace quintara::linalg
