#include "core/linalg/matrix.hpp"

#include <array>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__unix__)
#include <pthread.h>
#endif

namespace quintara::linalg {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// A few recently freed large blocks are kept for the next request of the
// same size: a fit called again on a panel of the same shape (a benchmark,
// a simulation, a bootstrap over panels) then reuses memory already mapped
// instead of having the kernel clear fresh pages, which cost as much as
// the copy into them. At most kSlots blocks and kHeldBytes in all, so an
// idle process keeps at most that much beyond what it uses. A labelled fit
// of a million units frees a dozen such blocks (the long table's layout,
// the panel's copy, the fit's buffers and unit lists): fewer slots had the
// blocks of one call evict each other before the next call could reuse them.
constexpr std::size_t kSlots = 16;
constexpr std::size_t kHeldBytes = std::size_t{512} << 20;

std::size_t whole_pages(std::size_t bytes) {
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

class LargeBlocks {
 public:
  // The most recently kept block of this size, or null.
  void* take(std::size_t bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Block* newest = nullptr;
    for (Block& b : slots_) {
      if (b.p != nullptr && b.bytes == bytes && (newest == nullptr || b.age > newest->age)) {
        newest = &b;
      }
    }
    if (newest == nullptr) return nullptr;
    held_ -= bytes;
    return std::exchange(newest->p, nullptr);
  }
  // False when the block is not kept (the caller frees it).
  bool keep(void* p, std::size_t bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (bytes > kHeldBytes) return false;
    // The oldest blocks make room: the newest is the likeliest to be asked for.
    while (held_ + bytes > kHeldBytes) release_oldest();
    Block* slot = empty_slot();
    if (slot == nullptr) {
      release_oldest();
      slot = empty_slot();
    }
    *slot = {p, bytes, ++clock_};
    held_ += bytes;
    return true;
  }

  void reset_lock() { new (&mutex_) std::mutex(); }

 private:
  struct Block {
    void* p = nullptr;
    std::size_t bytes = 0;
    std::uint64_t age = 0;
  };
  Block* empty_slot() {
    for (Block& b : slots_) {
      if (b.p == nullptr) return &b;
    }
    return nullptr;
  }
  void release_oldest() {
    Block* oldest = nullptr;
    for (Block& b : slots_) {
      if (b.p != nullptr && (oldest == nullptr || b.age < oldest->age)) oldest = &b;
    }
    held_ -= oldest->bytes;
    release(*oldest);
  }
  static void release(Block& b) {
    ::operator delete(b.p, b.bytes, std::align_val_t{kHugePage});
    b.p = nullptr;
  }

  std::mutex mutex_;
  std::array<Block, kSlots> slots_{};
  std::size_t held_ = 0;
  std::uint64_t clock_ = 0;
};

LargeBlocks* g_blocks = nullptr;

// The child of a fork() inherits the blocks but not a thread that may have
// held the lock at the fork: it goes on with a fresh, unlocked one.
void unlock_in_child() { g_blocks->reset_lock(); }

// Never destroyed: a matrix freed during static destruction still finds it.
LargeBlocks& large_blocks() {
  static const bool made = [] {
    g_blocks = new LargeBlocks;
#if defined(__unix__)
    (void)pthread_atfork(nullptr, nullptr, &unlock_in_child);
#endif
    return true;
  }();
  (void)made;
  return *g_blocks;
}

}  // namespace

void* allocate_large(std::size_t bytes) {
  const std::size_t size = whole_pages(bytes);
  if (void* p = large_blocks().take(size)) return p;
  void* p = ::operator new(size, std::align_val_t{kHugePage});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Advice only: where it is refused the block simply keeps ordinary pages.
  (void)::madvise(p, size, MADV_HUGEPAGE);
#endif
  return p;
}

void free_large(void* p, std::size_t bytes) noexcept {
  const std::size_t size = whole_pages(bytes);
  bool kept = false;
  try {
    kept = large_blocks().keep(p, size);
  } catch (...) {  // a lock that cannot be taken: free it instead
  }
  if (!kept) ::operator delete(p, size, std::align_val_t{kHugePage});
}

Mat Mat::identity(std::size_t n) {
  Mat m(n, n);
  for (std::size_t i = 0; i < n; ++i) m.data[i + i * n] = 1.0;
  return m;
}

}  // namespace quintara::linalg
