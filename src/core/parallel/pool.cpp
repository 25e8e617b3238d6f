#include "core/parallel/pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "core/panic.hpp"

#include <pthread.h>

namespace quintara::parallel {

// The pool's side of a Control: progress is written only here.
struct ControlAccess {
  static void start(Control& c, std::size_t n) {
    // done first: a reader that sees the new total then sees done <= total.
    c.done_.store(0, std::memory_order_relaxed);
    c.total_.store(n, std::memory_order_release);
  }
  static void count_one(Control& c) { c.done_.fetch_add(1, std::memory_order_relaxed); }
};

static_assert(std::atomic<bool>::is_always_lock_free, "request_cancel must be signal-safe");

namespace {

using Body = std::function<void(std::size_t)>;

// One parallel loop. It lives in the frame of the parallel_for call that
// opened it; that call returns only once no worker can touch it any more
// (out of the queue and no participant left), which is what makes the stack
// allocation safe.
struct Loop {
  Loop(const Body& body, std::size_t n, int depth, std::size_t divisor, Control* control,
       bool counts)
      : body(body), n(n), depth(depth), divisor(divisor), control(control), counts(counts) {}

  const Body& body;
  const std::size_t n;
  // 0 for a loop opened outside the pool, parent's depth + 1 for a loop
  // opened inside a task.
  const int depth;
  const std::size_t divisor;
  Control* const control;  // null when the opener had none installed
  const bool counts;       // the outermost loop under `control` counts progress

  std::atomic<std::size_t> next{0};  // first index nobody has claimed yet
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written once, by whoever sets `failed`

  // Guarded by the pool mutex.
  std::size_t active = 0;  // threads currently claiming or running pieces
  bool queued = false;

  bool claimable() const {
    return !failed.load(std::memory_order_relaxed) && next.load(std::memory_order_relaxed) < n;
  }

  // Guided self-scheduling: each claim takes 1/divisor of what is left (at
  // least one index). Early claims are large, so a million trivial tasks cost
  // only a few hundred atomic operations, and the tail is handed out one
  // index at a time, so uneven task costs still balance. With divisor = 8 per
  // worker the largest piece anyone holds is 1/(8W) of the loop, bounding the
  // imbalance when expensive tasks cluster at the front.
  bool claim(std::size_t& lo, std::size_t& hi) {
    std::size_t cur = next.load(std::memory_order_relaxed);
    for (;;) {
      if (cur >= n || failed.load(std::memory_order_relaxed)) return false;
      const std::size_t take = std::max<std::size_t>(1, (n - cur) / divisor);
      if (next.compare_exchange_weak(cur, cur + take, std::memory_order_relaxed)) {
        lo = cur;
        hi = cur + take;
        return true;
      }
    }
  }
};

class Pool;

// The pool a thread works for (null outside the pool) and the depth of the
// loop whose task it is running.
thread_local Pool* tls_pool = nullptr;
thread_local int tls_depth = -1;
// The Control loops opened on this thread run under, and whether it came
// from the loop whose task this thread is running (then those loops are
// nested and do not count progress) rather than from a ControlScope.
thread_local Control* tls_control = nullptr;
thread_local bool tls_inherited = false;

// Set while running tasks of one loop: the loop's depth and Control.
class TaskScope {
 public:
  TaskScope(int depth, Control* control)
      : depth_(tls_depth), control_(tls_control), inherited_(tls_inherited) {
    tls_depth = depth;
    tls_control = control;
    tls_inherited = true;
  }
  ~TaskScope() {
    tls_depth = depth_;
    tls_control = control_;
    tls_inherited = inherited_;
  }
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;

 private:
  int depth_;
  Control* control_;
  bool inherited_;
};

// Runs one index of `loop`, unless its Control was cancelled first. The
// caller has already set a TaskScope for the loop.
void run_one(const Loop& loop, std::size_t i) {
  if (loop.control != nullptr && loop.control->cancel_requested()) throw Cancelled();
  loop.body(i);
  if (loop.counts) ControlAccess::count_one(*loop.control);
}

class Pool {
 public:
  explicit Pool(std::size_t workers) {
    for (std::size_t k = 0; k < workers; ++k) {
      try {
        // Detached: the pool is never destroyed, so workers blocked on the
        // condition variable are simply discarded at process exit instead of
        // being joined from a static destructor during interpreter shutdown.
        std::thread(&Pool::worker_main, this).detach();
      } catch (const std::system_error&) {
        // The system refused more threads (a thread or address-space
        // limit): run with those we have, or with none, every loop then
        // running on the thread that opens it.
        break;
      } catch (const std::bad_alloc&) {
        break;  // the same limit, met by the thread's own bookkeeping
      }
      ++size_;
    }
  }

  std::size_t size() const { return size_; }

  void run(std::size_t n, const Body& body, Control* control, bool counts) {
    if (size_ == 0) {
      run_inline(n, body, control, counts);
    } else if (tls_pool == this) {
      run_nested(n, body, control, counts);
    } else {
      run_external(n, body, control, counts);
    }
  }

 private:
  std::size_t divisor() const { return 8 * size_; }

  void worker_main() {
    tls_pool = this;
    std::unique_lock lock(mutex_);
    for (;;) {
      Loop* loop = find_claimable(0);
      if (loop == nullptr) {
        wake_.wait(lock);
        continue;
      }
      ++loop->active;
      lock.unlock();
      work_on(*loop);
      lock.lock();
    }
  }

  // A pool without workers: the opener runs every index in order, and the
  // first exception (cancellation included) stops the loop as in the shared
  // path. Loops nested in these tasks come back here.
  void run_inline(std::size_t n, const Body& body, Control* control, bool counts) {
    const Loop loop(body, n, tls_depth + 1, 1, control, counts);
    TaskScope scope(loop.depth, control);
    for (std::size_t i = 0; i < n; ++i) run_one(loop, i);
  }

  // The caller does not run tasks itself: with one worker exactly one thread
  // computes, and the caller (typically the interpreter's thread) only waits.
  void run_external(std::size_t n, const Body& body, Control* control, bool counts) {
    Loop loop(body, n, 0, divisor(), control, counts);
    {
      std::unique_lock lock(mutex_);
      enqueue(loop);
      done_.wait(lock, [&] { return finished(loop); });
    }
    if (loop.error) std::rethrow_exception(loop.error);
  }

  // A loop opened inside a task: this worker runs pieces of it itself and,
  // once every index is claimed, helps with other queued loops until the
  // pieces taken by others are done. Deadlock cannot arise even with one
  // worker, because the opener never sleeps while its loop has unclaimed
  // indices, and every claimed piece is being run by some thread.
  void run_nested(std::size_t n, const Body& body, Control* control, bool counts) {
    Loop loop(body, n, tls_depth + 1, divisor(), control, counts);
    const int depth = loop.depth;
    if (n == 1 || size_ == 1) {
      // Nobody else could take a piece: run in index order right here. The
      // first exception (cancellation included) stops the loop exactly as in
      // the shared path.
      TaskScope scope(depth, control);
      for (std::size_t i = 0; i < n; ++i) run_one(loop, i);
      return;
    }
    {
      std::lock_guard lock(mutex_);
      enqueue(loop);
      ++loop.active;
    }
    work_on(loop);
    {
      std::unique_lock lock(mutex_);
      while (!finished(loop)) {
        // Help only loops at least as deep as our own. Those are the short
        // inner loops whose completion others wait for; taking a shallower
        // one (a whole outer task) could delay our own return by a full task
        // and would let the stack grow with every help instead of with the
        // nesting depth.
        Loop* other = find_claimable(depth);
        if (other == nullptr) {
          wake_.wait(lock);
          continue;
        }
        ++other->active;
        lock.unlock();
        work_on(*other);
        lock.lock();
      }
    }
    if (loop.error) std::rethrow_exception(loop.error);
  }

  // Claims and runs pieces of `loop` until none is left, then deregisters.
  // The caller has already counted this thread in `loop.active`.
  void work_on(Loop& loop) {
    {
      TaskScope scope(loop.depth, loop.control);
      std::size_t lo = 0;
      std::size_t hi = 0;
      while (loop.claim(lo, hi)) {
        try {
          for (std::size_t i = lo; i < hi; ++i) {
            if (loop.failed.load(std::memory_order_relaxed)) break;
            run_one(loop, i);
          }
        } catch (...) {
          // The first failure wins (a cancellation is one); it also stops
          // every participant from starting another index of this loop.
          if (!loop.failed.exchange(true, std::memory_order_acq_rel)) {
            loop.error = std::current_exception();
          }
        }
      }
    }
    // Past this block the loop's owner may return and free it: no access to
    // `loop` after the mutex is released.
    std::lock_guard lock(mutex_);
    if (loop.queued) dequeue(loop);
    if (--loop.active == 0) {
      // Only an outermost loop has a waiter outside the pool.
      (loop.depth == 0 ? done_ : wake_).notify_all();
    }
  }

  // Mutex held. The deepest loop with unclaimed indices at depth >= min_depth
  // (oldest first among equals): finishing inner loops first releases the
  // tasks that wait on them.
  Loop* find_claimable(int min_depth) {
    Loop* best = nullptr;
    for (Loop* loop : queue_) {
      if (loop->depth < min_depth || !loop->claimable()) continue;
      if (best == nullptr || loop->depth > best->depth) best = loop;
    }
    return best;
  }

  // Mutex held.
  static bool finished(const Loop& loop) { return !loop.queued && loop.active == 0; }

  // Mutex held.
  void enqueue(Loop& loop) {
    queue_.push_back(&loop);
    loop.queued = true;
    wake_.notify_all();
  }

  // Mutex held.
  void dequeue(Loop& loop) {
    queue_.erase(std::find(queue_.begin(), queue_.end(), &loop));
    loop.queued = false;
  }

  std::size_t size_ = 0;
  std::mutex mutex_;
  // Workers wait on `wake_`, signalled when a loop is queued or an inner loop
  // finishes (idle workers and helpers share it, each re-checking its own
  // condition); callers outside the pool wait on `done_`, signalled when an
  // outermost loop finishes. Notifications are per loop, never per task.
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<Loop*> queue_;  // loops that may still have unclaimed indices
};

// Unsigned decimal, optionally with a leading '+'. Anything else (empty,
// a minus sign, spaces, overflow) is not a number.
std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::size_t value = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t configured_workers() {
  std::optional<std::size_t> count = parse_count(std::getenv("RAYON_NUM_THREADS"));
  // A number in the first variable, even 0, settles the question; only an
  // absent or unparsable one defers to the second.
  if (!count) count = parse_count(std::getenv("RAYON_RS_NUM_CPUS"));
  if (count && *count > 0) return *count;
  return std::max(1u, std::thread::hardware_concurrency());
}

std::atomic<Pool*> g_instance{nullptr};
std::mutex g_create;

// The child of a fork() inherits the pool object but none of its worker
// threads, so a loop there would wait forever. The child forgets the pool
// (leaking it: its mutex may be held by a thread that no longer exists) and
// creates a fresh one on first use. This is what makes Python
// multiprocessing with the "fork" start method safe after a parallel call.
void forget_pool_in_child() {
  g_instance.store(nullptr, std::memory_order_relaxed);
  new (&g_create) std::mutex();
  tls_pool = nullptr;
  tls_depth = -1;
}

Pool& pool() {
  // Never deleted (see the worker threads); the environment is read once,
  // when the pool is created.
  Pool* p = g_instance.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  std::lock_guard<std::mutex> lock(g_create);
  p = g_instance.load(std::memory_order_relaxed);
  if (p == nullptr) {
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, &forget_pool_in_child) == 0;
    (void)fork_handler;
    p = new Pool(configured_workers());
    g_instance.store(p, std::memory_order_release);
  }
  return *p;
}

}  // namespace

ControlScope::ControlScope(Control& control) noexcept
    : saved_control_(tls_control), saved_inherited_(tls_inherited) {
  tls_control = &control;
  tls_inherited = false;
}

ControlScope::~ControlScope() {
  tls_control = saved_control_;
  tls_inherited = saved_inherited_;
}

std::size_t pool_size() { return pool().size(); }

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& f) {
  Control* const control = tls_control;
  const bool counts = control != nullptr && !tls_inherited;
  if (control != nullptr && control->cancel_requested()) throw Cancelled();
  if (counts) ControlAccess::start(*control, n);
  if (n == 0) return;
  pool().run(n, f, control, counts);
}

std::vector<double> par_map(std::size_t n, const std::function<double(std::size_t)>& f) {
  std::vector<double> out = parallel_map<double>(n, f);
  QUINTARA_ASSERT_EQ(out.size(), n, "par_map: result count != index range");
  return out;
}

}  // namespace quintara::parallel
