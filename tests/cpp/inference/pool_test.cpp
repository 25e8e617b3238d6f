// The worker pool is created once per process, so behaviour that depends on
// the worker count (one worker, the environment variables) is checked in
// child processes of this binary: PoolChild.Run does its work only when the
// parent sets QUINTARA_TEST_POOL_WORKERS, and is skipped otherwise.
#include "core/inference/pool.hpp"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/panic.hpp"
#include "../support.hpp"

extern char** environ;

namespace quintara::inference {
namespace {

// Exit status of a child that ran PoolChild.Run to the end without failure;
// a filter matching nothing, or a skip, exits with 0 instead.
constexpr int kChildPassed = 42;

// A rounding-sensitive value keyed by (seed, index): a left-to-right sum of
// SplitMix64 uniforms of widely varying magnitude.
double seeded_value(std::uint64_t seed, std::size_t index) {
  std::uint64_t state = seed * 0x100000001B3ULL ^ index;
  double total = 0.0;
  for (int k = 0; k < 64; ++k) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    total += (k % 3 == 0 ? 1e8 : 1e-3) * static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
  }
  return total;
}

// Outer x inner loops, each inner result reduced in index order; counts the
// outer results that differ from the same arithmetic done sequentially.
int nested_mismatches(std::uint64_t seed, std::size_t outer, std::size_t inner) {
  const auto got = parallel_map<double>(outer, [&](std::size_t a) {
    const auto cells = parallel_map<double>(
        inner, [&](std::size_t b) { return seeded_value(seed, a * inner + b); });
    double sum = 0.0;
    for (const double v : cells) sum += v;
    return sum;
  });
  int wrong = 0;
  for (std::size_t a = 0; a < outer; ++a) {
    double sum = 0.0;
    for (std::size_t b = 0; b < inner; ++b) sum += seeded_value(seed, a * inner + b);
    wrong += got[a] != sum;
  }
  return wrong;
}

void check_nested_loops() {
  EXPECT_EQ(nested_mismatches(42, 50, 100), 0);
  const auto three = parallel_map<std::size_t>(6, [](std::size_t a) {
    const auto mid = parallel_map<std::size_t>(7, [a](std::size_t b) {
      const auto low =
          parallel_map<std::size_t>(8, [a, b](std::size_t c) { return a * 100 + b * 10 + c; });
      std::size_t sum = 0;
      for (const std::size_t v : low) sum += v;
      return sum;
    });
    std::size_t sum = 0;
    for (const std::size_t v : mid) sum += v;
    return sum;
  });
  // Sum over b < 7, c < 8 of 100a + 10b + c = 5600a + 8*10*21 + 7*28.
  for (std::size_t a = 0; a < 6; ++a) EXPECT_EQ(three[a], 5600 * a + 1680 + 196) << a;
}

void check_exceptions_propagate() {
  EXPECT_EQ(test::panic_text([] {
              parallel_for(1000, [](std::size_t i) {
                if (i == 617) quintara::panic("task 617 failed");
              });
            }),
            "task 617 failed");
  // From an inner loop, through the outer task, out of the outer loop.
  EXPECT_EQ(test::panic_text([] {
              parallel_for(10, [](std::size_t a) {
                parallel_for(100, [a](std::size_t b) {
                  if (a == 3 && b == 42) quintara::panic("inner 3/42");
                });
              });
            }),
            "inner 3/42");
  EXPECT_THROW(parallel_for(5, [](std::size_t i) { if (i == 4) throw 7; }), int);
  check_nested_loops();  // the pool is intact afterwards
}

TEST(Pool, EveryIndexOnceInItsOwnSlotNeverOnTheCaller) {
  std::atomic<int> calls{0};
  parallel_for(0, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls.load(), 0);
  EXPECT_TRUE(parallel_map<double>(0, [](std::size_t) { return 1.0; }).empty());

  const std::size_t n = 200'000;
  std::vector<unsigned char> visits(n, 0);
  std::atomic<bool> on_caller{false};
  const auto caller = std::this_thread::get_id();
  parallel_for(n, [&](std::size_t i) {
    ++visits[i];
    if (std::this_thread::get_id() == caller) on_caller = true;
  });
  EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), static_cast<std::ptrdiff_t>(n));
  EXPECT_FALSE(on_caller.load());  // an outside caller hands the work over and waits
}

TEST(Pool, NestedLoopsMatchSequentialArithmetic) { check_nested_loops(); }

TEST(Pool, ExceptionsPropagateAndPoolSurvives) { check_exceptions_propagate(); }

TEST(Pool, ConcurrentCallersFromSeveralThreads) {
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (std::uint64_t t = 0; t < 4; ++t) {
    callers.emplace_back([t, &mismatches] {
      for (int round = 0; round < 10; ++round) mismatches += nested_mismatches(t, 20, 30);
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(PoolChild, Run) {
  const char* expected = std::getenv("QUINTARA_TEST_POOL_WORKERS");
  if (expected == nullptr) GTEST_SKIP() << "runs only as a child of Pool.WorkerCountsInChildren";
  EXPECT_EQ(pool_size(), std::stoul(expected));
  check_exceptions_propagate();
  if (pool_size() == 1) {
    // Every task, nested ones included, runs on the one worker ...
    std::vector<std::thread::id> runners(200);
    parallel_for(10, [&](std::size_t a) {
      parallel_for(20, [&](std::size_t b) { runners[a * 20 + b] = std::this_thread::get_id(); });
    });
    EXPECT_EQ(std::count(runners.begin(), runners.end(), runners[0]), 200);
    EXPECT_NE(runners[0], std::this_thread::get_id());
    // ... which claims indices in ascending order, so a failure at index 10
    // means exactly indices 0 to 10 were started.
    std::atomic<int> started{0};
    EXPECT_THROW(parallel_for(1000, [&](std::size_t i) {
                   ++started;
                   if (i == 10) quintara::panic("ten");
                 }),
                 Panic);
    EXPECT_EQ(started.load(), 11);
  }
  std::fflush(nullptr);
  std::_Exit(::testing::Test::HasFailure() ? 1 : kChildPassed);
}

// Runs PoolChild.Run in a fresh process of this binary whose environment has
// the pool and gtest variables replaced by `vars`; returns its exit status,
// -1 when no process could be started.
int run_child(std::vector<std::string> vars) {
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (!entry.starts_with("RAYON_") && !entry.starts_with("GTEST_") &&
        !entry.starts_with("QUINTARA_TEST_")) {
      vars.emplace_back(entry);
    }
  }
  std::vector<char*> envp;
  for (auto& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  char arg0[] = "pool_child", arg1[] = "--gtest_filter=PoolChild.Run";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Pool, WorkerCountsInChildren) {
  const std::string hw = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
  // {RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, expected workers}; "-" = unset.
  const std::vector<std::vector<std::string>> cases = {
      {"1", "-", "1"},  {"3", "-", "3"},  {"5", "3", "5"}, {"+2", "-", "2"},
      {"0", "3", hw},  // a number, though not positive: the second is not consulted
      {"abc", "3", "3"}, {"-1", "3", "3"}, {" 2", "-", hw}, {"-", "6", "6"}, {"-", "-", hw},
  };
  for (const auto& c : cases) {
    std::vector<std::string> vars = {"QUINTARA_TEST_POOL_WORKERS=" + c[2]};
    if (c[0] != "-") vars.push_back("RAYON_NUM_THREADS=" + c[0]);
    if (c[1] != "-") vars.push_back("RAYON_RS_NUM_CPUS=" + c[1]);
    const int status = run_child(vars);
    if (status == -1) GTEST_SKIP() << "cannot start a child process";
    EXPECT_EQ(status, kChildPassed) << "RAYON_NUM_THREADS=" << c[0]
                                    << " RAYON_RS_NUM_CPUS=" << c[1];
  }
}

}  // namespace
}  // namespace quintara::inference
