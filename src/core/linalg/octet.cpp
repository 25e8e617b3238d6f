#include "core/linalg/octet.hpp"

#include <cstring>

#include "core/linalg/wide_clones.hpp"

namespace quintara::linalg {

QUINTARA_WIDE_CLONES void rows_to_columns(const char* base, std::ptrdiff_t row_bytes,
                                          std::size_t i0, std::size_t i1, std::size_t cols,
                                          double* dst, std::size_t ld) {
  constexpr std::size_t L = kOctetLanes;
  const auto row = [&](std::size_t i) { return base + static_cast<std::ptrdiff_t>(i) * row_bytes; };
  std::size_t i = i0;
  for (; i + L <= i1; i += L) {
    std::size_t j0 = 0;
    for (; j0 + L <= cols; j0 += L) {
      Octet r[L], c[L];
      for (std::size_t k = 0; k < L; ++k)
        std::memcpy(&r[k], row(i + k) + j0 * sizeof(double), sizeof(Octet));
      transpose_octets(r, c);
      for (std::size_t j = 0; j < L; ++j)
        std::memcpy(dst + (j0 + j) * ld + i, &c[j], sizeof(Octet));
    }
    for (std::size_t j = j0; j < cols; ++j) {
      for (std::size_t k = 0; k < L; ++k) {
        std::memcpy(dst + j * ld + i + k, row(i + k) + j * sizeof(double), sizeof(double));
      }
    }
  }
  for (; i < i1; ++i) {
    for (std::size_t j = 0; j < cols; ++j) {
      std::memcpy(dst + j * ld + i, row(i) + j * sizeof(double), sizeof(double));
    }
  }
}

}  // namespace quintara::linalg
