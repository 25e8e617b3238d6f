#include "core/linalg/matrix.hpp"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quintara::linalg {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

void* allocate_large(std::size_t bytes) {
  void* p = ::operator new(bytes, std::align_val_t{kHugePage});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Advice only, and only over whole pages inside the block: where it is
  // refused the block simply keeps ordinary pages.
  (void)::madvise(p, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
  return p;
}

void free_large(void* p, std::size_t bytes) noexcept {
  ::operator delete(p, bytes, std::align_val_t{kHugePage});
}

Mat Mat::identity(std::size_t n) {
  Mat m(n, n);
  for (std::size_t i = 0; i < n; ++i) m.data[i + i * n] = 1.0;
  return m;
}

}  // namespace quintara::linalg
