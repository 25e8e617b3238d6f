// The 8 x 8 transpose and the row-to-column copy built on it, against
// element-by-element copies: every size around the eight lanes, padded
// and misaligned rows.
#include "core/linalg/octet.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quintara::linalg {
namespace {

TEST(Octet, TransposeMovesEveryLane) {
  Octet in[kOctetLanes], out[kOctetLanes];
  for (std::size_t k = 0; k < kOctetLanes; ++k) {
    for (std::size_t j = 0; j < kOctetLanes; ++j) in[k][j] = static_cast<double>(10 * k + j);
  }
  transpose_octets(in, out);
  for (std::size_t j = 0; j < kOctetLanes; ++j) {
    for (std::size_t k = 0; k < kOctetLanes; ++k) EXPECT_EQ(out[j][k], in[k][j]) << j << k;
  }
}

TEST(Octet, RowsToColumnsEqualsTheElementCopy) {
  for (const std::size_t rows : {1u, 7u, 8u, 9u, 17u, 24u}) {
    for (const std::size_t cols : {1u, 2u, 8u, 10u, 17u}) {
      for (const std::size_t pad : {0u, 3u, 8u}) {
        // One byte in, so no row starts on an 8-byte boundary.
        const std::size_t row_bytes = cols * sizeof(double) + pad;
        std::vector<char> raw(1 + rows * row_bytes);
        const char* base = raw.data() + 1;
        for (std::size_t i = 0; i < rows; ++i) {
          for (std::size_t j = 0; j < cols; ++j) {
            const double v = static_cast<double>(i) * 100.0 + static_cast<double>(j) + 0.25;
            std::memcpy(raw.data() + 1 + i * row_bytes + j * sizeof(double), &v, sizeof v);
          }
        }
        const std::size_t ld = rows + 2;
        std::vector<double> dst(ld * cols, -1.0);
        const std::size_t i0 = rows > 2 ? 1 : 0;  // a range that starts inside the block
        rows_to_columns(base, static_cast<std::ptrdiff_t>(row_bytes), i0, rows, cols, dst.data(),
                        ld);
        for (std::size_t j = 0; j < cols; ++j) {
          for (std::size_t i = 0; i < ld; ++i) {
            const double want = i >= i0 && i < rows
                                    ? static_cast<double>(i) * 100.0 + static_cast<double>(j) + 0.25
                                    : -1.0;
            ASSERT_EQ(dst[j * ld + i], want) << rows << " " << cols << " " << pad << " " << i;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quintara::linalg
