// Views: block indexing with ld != rows, range faults, and kernels reading a
// block in place with the same bits as on its copy.
#include <gtest/gtest.h>

#include <vector>

#include "../support.hpp"
#include "core/linalg/kernels.hpp"

namespace quintara::linalg {
namespace {

using V = std::vector<double>;

// Entry (i, j) = 10 i + j + 1/7, so every position differs and products round.
Mat numbered(std::size_t r, std::size_t c) {
  Mat m(r, c);
  for (std::size_t j = 0; j < c; ++j) {
    for (std::size_t i = 0; i < r; ++i) m(i, j) = 10.0 * i + j + 1.0 / 7.0;
  }
  return m;
}

TEST(MatView, BlocksIndexTheParent) {
  const Mat M = numbered(5, 4);
  const MatView B = M.view().block(1, 2, 3, 2).row_range(1, 2);  // rows 2..3, cols 2..3
  EXPECT_EQ(B.ld, 5u);
  EXPECT_EQ(B(1, 1), M(3, 3));
  EXPECT_EQ(B.col(1)[0], M(2, 3));
  EXPECT_EQ(B.to_mat().data, (V{M(2, 2), M(3, 2), M(2, 3), M(3, 3)}));
  EXPECT_EQ(B.transpose().data, (V{M(2, 2), M(2, 3), M(3, 2), M(3, 3)}));
  EXPECT_EQ(M.view().row_range(5, 0).rows, 0u);  // empty suffix
  EXPECT_EQ(test::panic_text([&] { (void)B(2, 0); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(test::panic_text([&] { M.view().col_range(3, 2); }),
            "block rows 0+5, cols 3+2 out of range for a 5 x 4 view");
}

TEST(MatView, KernelsOnABlockMatchTheCopy) {
  const Mat M = numbered(7, 6);
  const MatView A = M.view().block(2, 1, 4, 3);
  const Mat Ac = A.to_mat();
  const MatView B = M.view().block(1, 3, 3, 2);
  const V x{0.5, -1.25, 3.0}, z{1.5, -2.0, 0.25, 4.0};
  Mat C1(4, 2), C2(4, 2);
  gemm(A, B, C1, 1.5, 0.0);
  gemm(Ac, B.to_mat(), C2, 1.5, 0.0);
  EXPECT_EQ(C1.data, C2.data);
  EXPECT_EQ(matvec(A, x), matvec(Ac, x));
  V y1(3), y2(3);
  gemv_t(A, z, y1, 1.0, 0.0);
  gemv_t(Ac, z, y2, 1.0, 0.0);
  EXPECT_EQ(y1, y2);
  EXPECT_EQ(syrk_ata(A).data, syrk_ata(Ac).data);
}

}  // namespace
}  // namespace quintara::linalg
