// The process-wide fork-join worker pool.
//
// One pool serves every parallel loop (placebo refits, batched fits,
// bootstrap replicates, power-curve windows, market-selection candidates).
// It is created on first use with RAYON_NUM_THREADS workers when that holds a
// positive integer (RAYON_RS_NUM_CPUS is consulted the same way when the first
// is absent or not a number), else one per logical processor, and lives until
// the process ends.
//
// A loop entered from a pool worker runs its pieces on the same pool and the
// worker helps run queued work while it waits, so nested loops never
// deadlock; a loop entered from any other thread hands its work to the pool
// and waits. Each task writes only its own index's output, so results never
// depend on the number of workers. An exception thrown by a task (an internal
// invariant violation) stops the loop from starting further indices and is
// rethrown to the caller once the tasks already running have finished.
#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>
#include <vector>

namespace quintara::inference {

// Number of workers of the pool (creates it on first call).
std::size_t pool_size();

// Calls f(i) for every i in [0, n) on the pool and returns when all are done.
// n == 0 returns at once without calling f.
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

}  // namespace quintara::inference
