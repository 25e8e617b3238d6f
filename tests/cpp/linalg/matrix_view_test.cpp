// Views: block indexing with ld != rows, range faults, and kernels reading a
// block in place with the same bits as on its copy; the storage of a large Mat.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "../support.hpp"
#include "core/linalg/kernels.hpp"

namespace quintara::linalg {
namespace {

using V = std::vector<double>;

TEST(MatView, BlocksOfABiggerMatrix) {
  Mat M(7, 6);  // entry (i, j) = 10 i + j + 1/7: distinct, and products round
  for (std::size_t p = 0; p < M.data.size(); ++p) M.data[p] = 10.0 * (p % 7) + p / 7 + 1.0 / 7;
  const MatView S = M.view().row_range(1, 4).block(1, 2, 2, 2);  // rows 2..3, cols 2..3
  EXPECT_EQ(S.ld, 7u);
  EXPECT_EQ(S(1, 1), M(3, 3));
  EXPECT_EQ(S.col(1)[0], M(2, 3));
  EXPECT_EQ(S.to_mat().data, (V{M(2, 2), M(3, 2), M(2, 3), M(3, 3)}));
  EXPECT_EQ(M.view().row_range(7, 0).rows, 0u);  // an empty suffix is fine
  EXPECT_EQ(test::panic_text([&] { (void)S(2, 0); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(test::panic_text([&] { M.view().col_range(5, 2); }),
            "block rows 0+7, cols 5+2 out of range for a 7 x 6 view");

  const MatView A = M.view().block(2, 1, 4, 3), B = M.view().block(1, 3, 3, 2);
  const Mat Ac = A.to_mat();
  Mat C1(4, 2), C2(4, 2);
  gemm(A, B, C1, 1.5, 0.0);
  gemm(Ac, B.to_mat(), C2, 1.5, 0.0);
  EXPECT_EQ(C1.data, C2.data);
  const V x{0.5, -1.25, 3.0}, z{1.5, -2.0, 0.25, 4.0};
  EXPECT_EQ(matvec(A, x), matvec(Ac, x));
  V y1(3), y2(3);
  gemv_t(A, z, y1, 1.0, 0.0);
  gemv_t(Ac, z, y2, 1.0, 0.0);
  EXPECT_EQ(y1, y2);
  EXPECT_EQ(syrk_ata(A).data, syrk_ata(Ac).data);
}

TEST(Mat, FreedLargeBlocksAreReusedCleanAndNeverShared) {
  const std::size_t n = kLargeBytes / sizeof(double) + 3;
  const double* first = nullptr;
  {
    Mat dirty = Mat::uninitialised(n, 1);
    std::fill(dirty.data.begin(), dirty.data.end(), 7.0);
    first = dirty.data.data();
  }
  // The same size again takes the freed block; a zero matrix is still zero.
  const Mat zero(n, 1);
  EXPECT_EQ(zero.data.data(), first);
  EXPECT_TRUE(std::all_of(zero.data.begin(), zero.data.end(), [](double v) { return v == 0.0; }));
  // A block in use is never handed out twice: threads allocating and
  // freeing at once each find only their own values.
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        Mat m = Mat::uninitialised(n + static_cast<std::size_t>(round % 2) * (1u << 19), 1);
        const double mark = 100.0 * t + round;
        for (std::size_t i = 0; i < m.data.size(); i += 4096) m.data[i] = mark;
        std::this_thread::yield();
        for (std::size_t i = 0; i < m.data.size(); i += 4096) wrong[t] += m.data[i] != mark;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace quintara::linalg

namespace quintara::linalg {
namespace {

TEST(Mat, LargeStorageIsWholePagesAndBehavesAsAnyOther) {
  // Just below and at the size that takes whole huge pages: each must hold,
  // copy, grow and free its values the same way.
  for (const std::size_t n : {kLargeBytes / sizeof(double) - 1, kLargeBytes / sizeof(double)}) {
    Mat m = Mat::uninitialised(n, 1);
    for (std::size_t i = 0; i < n; i += 4099) m.data[i] = static_cast<double>(i);
    m.data[n - 1] = -1.0;
    if (n * sizeof(double) >= kLargeBytes) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(m.data.data()) % (std::size_t{2} << 20), 0u);
    }
    const Mat copy = m;
    EXPECT_EQ(copy.data[4099], 4099.0);
    EXPECT_EQ(copy.data[n - 1], -1.0);
    m.data.resize(n + 5, 2.0);  // moves across the threshold when n is just below
    EXPECT_EQ(m.data[n - 1], -1.0);
    EXPECT_EQ(m.data[n + 4], 2.0);
  }
}

}  // namespace
}  // namespace quintara::linalg
