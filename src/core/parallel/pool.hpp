// The process-wide fork-join worker pool, with cancellation and progress.
//
// One pool serves every parallel loop (placebo refits, batched fits,
// bootstrap replicates, power-curve windows, market-selection candidates).
// It is created on first use with RAYON_NUM_THREADS workers when that holds a
// positive integer (RAYON_RS_NUM_CPUS is consulted the same way when the first
// is absent or not a number), else one per logical processor, and lives until
// the process ends. When the system refuses to start threads (a thread or
// address-space limit) the pool keeps the workers it got; with none at all,
// every loop runs on the thread that opens it.
//
// A loop entered from a pool worker runs its pieces on the same pool and the
// worker helps run queued work while it waits, so nested loops never
// deadlock; a loop entered from any other thread hands its work to the pool
// and waits. Each task writes only its own index's output, so results never
// depend on the number of workers. An exception thrown by a task (an internal
// invariant violation) stops the loop from starting further indices and is
// rethrown to the caller once the tasks already running have finished.
//
// Cancellation and progress go through a Control that the caller installs
// with a ControlScope on the thread that opens the loops. The Control travels
// with the work rather than with the thread: every task of a loop opened
// under it, on whichever worker it runs, sees the same Control, so loops
// nested inside those tasks stop on the same flag without any estimator
// passing it down. The flag is read before each index is started, never
// inside a task: a task always runs to its end, so cancelling never leaves a
// half-written result, and the loop ends with Cancelled (not Panic: it is a
// request, not a bug) once the tasks already running have finished. Only the
// outermost loop under the Control counts progress, because its indices are
// the units a caller can name (replicates, candidates); inner loops' counts
// would make the total shift while running. Both are plain atomics, so a
// progress bar or a signal-watching thread reads and writes them without
// taking the pool's lock. Loops opened with no Control installed behave as
// if it did not exist, at the cost of one pointer test per index.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <type_traits>
#include <vector>

namespace quintara::parallel {

// What a loop opened under a cancelled Control throws (what() == "cancelled").
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "cancelled"; }
};

// Cancellation flag and progress counter shared between the thread that runs
// loops under it and any thread that watches or cancels them. One thread's
// loops at a time; the Control must outlive every loop opened under it.
class Control {
 public:
  struct Progress {
    std::size_t done = 0;   // indices of the outermost loop finished so far
    std::size_t total = 0;  // index count of that loop (0 before any loop)
  };

  Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // Safe from any thread, a signal handler included; irreversible.
  void request_cancel() noexcept { cancel_.store(true, std::memory_order_relaxed); }
  bool cancel_requested() const noexcept { return cancel_.load(std::memory_order_relaxed); }

  // Safe from any thread at any time. Within one loop `done` never decreases
  // and never exceeds `total`; a read that straddles the start of the next
  // outermost loop may pair that loop's `done` with the previous `total`, so
  // `done` is clamped to `total`.
  Progress progress() const noexcept {
    const std::size_t total = total_.load(std::memory_order_acquire);
    return {std::min(done_.load(std::memory_order_relaxed), total), total};
  }

 private:
  friend struct ControlAccess;  // the pool's bookkeeping
  std::atomic<bool> cancel_{false};
  std::atomic<std::size_t> done_{0};
  std::atomic<std::size_t> total_{0};
};

// Installs `control` for the loops this thread opens while the scope lives
// (and, through their tasks, for the loops nested in them); the destructor
// restores what was installed before. A scope opened inside a task replaces
// the inherited Control for the loops it covers, which then count their own
// progress.
class ControlScope {
 public:
  explicit ControlScope(Control& control) noexcept;
  ~ControlScope();
  ControlScope(const ControlScope&) = delete;
  ControlScope& operator=(const ControlScope&) = delete;

 private:
  Control* saved_control_;
  bool saved_inherited_;
};

// Number of workers of the pool (creates it on first call); 0 when no thread
// could be started and loops run on their opener.
std::size_t pool_size();

// Calls f(i) for every i in [0, n) on the pool and returns when all are done.
// Under a cancelled Control it throws Cancelled at once, even for n == 0;
// otherwise n == 0 returns at once without calling f.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& f);

// Maps f over [0, n) on the pool; results in index order.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& f) {
  // vector<bool> packs bits: neighbouring slots would race.
  static_assert(!std::is_same_v<T, bool>, "parallel_map<bool> would race on packed bits");
  std::vector<T> out(n);
  parallel_for(n, [&](std::size_t i) { out[i] = f(i); });
  return out;
}

// The float64 map every resampling loop runs on: f(i) for each i in [0, n),
// results in index order. f is called from several threads at once, so it
// must derive any randomness from i alone (substream(seed, i)). n == 0
// returns an empty vector without calling f.
std::vector<double> par_map(std::size_t n, const std::function<double(std::size_t)>& f);

}  // namespace quintara::parallel
