// Eight doubles as one vector value, and the 8 x 8 transpose of eight such
// values. Lane moves only, so a transpose is exact.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quintara::linalg {

inline constexpr std::size_t kOctetLanes = 8;
using Octet = double __attribute__((vector_size(kOctetLanes * sizeof(double))));
using OctetIndex = std::int64_t __attribute__((vector_size(kOctetLanes * sizeof(std::int64_t))));

// out[j][k] = in[k][j] for j, k in 0..8: three rounds of two-input shuffles.
inline void transpose_octets(const Octet* in, Octet* out) {
  Octet t[kOctetLanes], x[kOctetLanes];
  for (std::size_t k = 0; k < kOctetLanes; k += 2) {
    t[k] = __builtin_shuffle(in[k], in[k + 1], OctetIndex{0, 8, 2, 10, 4, 12, 6, 14});
    t[k + 1] = __builtin_shuffle(in[k], in[k + 1], OctetIndex{1, 9, 3, 11, 5, 13, 7, 15});
  }
  for (std::size_t k = 0; k < kOctetLanes; k += 4) {
    for (std::size_t h = 0; h < 2; ++h) {
      x[k + h] = __builtin_shuffle(t[k + h], t[k + h + 2], OctetIndex{0, 1, 8, 9, 4, 5, 12, 13});
      x[k + h + 2] =
          __builtin_shuffle(t[k + h], t[k + h + 2], OctetIndex{2, 3, 10, 11, 6, 7, 14, 15});
    }
  }
  // x[0..4) hold lanes (0, 4), (1, 5), (2, 6), (3, 7) of inputs 0..4 in
  // halves, x[4..8) the same of inputs 4..8.
  for (std::size_t j = 0; j < 4; ++j) {
    out[j] = __builtin_shuffle(x[j], x[j + 4], OctetIndex{0, 1, 2, 3, 8, 9, 10, 11});
    out[j + 4] = __builtin_shuffle(x[j], x[j + 4], OctetIndex{4, 5, 6, 7, 12, 13, 14, 15});
  }
}

// Rows [i0, i1) of a row-major block (row i at base + i * row_bytes, its
// `cols` doubles contiguous, any alignment) into the column-major dst
// (column j at dst + j * ld): eight rows by eight columns per transpose.
void rows_to_columns(const char* base, std::ptrdiff_t row_bytes, std::size_t i0, std::size_t i1,
                     std::size_t cols, double* dst, std::size_t ld);

}  // namespace quintara::linalg
