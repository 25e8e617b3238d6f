// The worker pool is created once per process, so behaviour that depends on
// the worker count (one worker, the environment variables) is checked in child
// processes of this binary: the PoolChild tests run only when the parent sets
// QUINTARA_TEST_POOL_WORKERS, and are skipped otherwise.
#include "core/inference/pool.hpp"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/panic.hpp"

extern char** environ;

namespace quintara::inference {
namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// A rounding-sensitive value drawn from a stream keyed by (seed, index): a
// left-to-right sum of uniforms of widely varying magnitude.
double seeded_value(std::uint64_t seed, std::size_t index) {
  std::uint64_t state = seed * 0x100000001B3ULL ^ index;
  double total = 0.0;
  for (int k = 0; k < 64; ++k) {
    const double u = static_cast<double>(splitmix64(state) >> 11) * 0x1.0p-53;
    total += (k % 3 == 0 ? 1e8 : 1e-3) * u;
  }
  return total;
}

// Outer 50 x inner 100 and three levels, each inner result reduced in index
// order; compared with the same arithmetic done sequentially.
void check_nested_loops() {
  const auto outer = parallel_map<double>(50, [](std::size_t a) {
    const auto inner =
        parallel_map<double>(100, [a](std::size_t b) { return seeded_value(a, b); });
    double sum = 0.0;
    for (const double v : inner) sum += v;
    return sum;
  });
  for (std::size_t a = 0; a < 50; ++a) {
    double sum = 0.0;
    for (std::size_t b = 0; b < 100; ++b) sum += seeded_value(a, b);
    EXPECT_EQ(outer[a], sum) << "outer index " << a;
  }

  const auto three = parallel_map<std::size_t>(6, [](std::size_t a) {
    const auto mid = parallel_map<std::size_t>(7, [a](std::size_t b) {
      const auto low = parallel_map<std::size_t>(
          8, [a, b](std::size_t c) { return a * 100 + b * 10 + c; });
      std::size_t sum = 0;
      for (const std::size_t v : low) sum += v;
      return sum;
    });
    std::size_t sum = 0;
    for (const std::size_t v : mid) sum += v;
    return sum;
  });
  for (std::size_t a = 0; a < 6; ++a) {
    // sum over b < 7, c < 8 of 100a + 10b + c = 5600a + 8*10*21 + 7*28
    EXPECT_EQ(three[a], 5600 * a + 1680 + 196) << "outer index " << a;
  }
}

void check_seeded_map_matches_sequential() {
  const std::size_t n = 5000;
  const auto got = parallel_map<double>(n, [](std::size_t i) { return seeded_value(42, i); });
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(got[i], seeded_value(42, i)) << "index " << i;
  }
}

void check_exceptions_propagate() {
  try {
    parallel_for(1000, [](std::size_t i) {
      if (i == 617) quintara::panic("task 617 failed");
    });
    ADD_FAILURE() << "no exception";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "task 617 failed");
  }

  // From an inner loop, through the outer task, out of the outer loop.
  try {
    parallel_for(10, [](std::size_t a) {
      parallel_for(100, [a](std::size_t b) {
        if (a == 3 && b == 42) quintara::panic("inner 3/42");
      });
    });
    ADD_FAILURE() << "no exception";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "inner 3/42");
  }

  // Non-standard exceptions keep their type too.
  EXPECT_THROW(parallel_for(5, [](std::size_t i) {
                 if (i == 4) throw 7;
               }),
               int);

  // The pool is intact afterwards.
  check_nested_loops();
}

TEST(Pool, EmptyAndSingleIndex) {
  std::atomic<int> calls{0};
  parallel_for(0, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls.load(), 0);
  EXPECT_TRUE(parallel_map<double>(0, [](std::size_t) { return 1.0; }).empty());

  std::size_t seen = 99;
  std::thread::id runner;
  parallel_for(1, [&](std::size_t i) {
    ++calls;
    seen = i;
    runner = std::this_thread::get_id();
  });
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(seen, 0u);
  // A caller outside the pool hands the work over and only waits.
  EXPECT_NE(runner, std::this_thread::get_id());
  EXPECT_GE(pool_size(), 1u);
}

TEST(Pool, EveryIndexOnceAndInPlace) {
  // A million trivial tasks: each index visited exactly once, each result in
  // its own slot, and none run on the calling thread.
  const std::size_t n = 1'000'000;
  std::vector<unsigned char> visits(n, 0);
  std::atomic<bool> on_caller{false};
  const auto caller = std::this_thread::get_id();
  parallel_for(n, [&](std::size_t i) {
    ++visits[i];
    if (std::this_thread::get_id() == caller) on_caller = true;
  });
  std::size_t wrong = 0;
  for (const unsigned char v : visits) wrong += (v != 1);
  EXPECT_EQ(wrong, 0u);
  EXPECT_FALSE(on_caller.load());

  const auto squares = parallel_map<std::uint64_t>(n, [](std::size_t i) { return std::uint64_t{i} * i; });
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(squares[i], std::uint64_t{i} * i);
}

TEST(Pool, NestedLoops) { check_nested_loops(); }

TEST(Pool, SeededComputationMatchesSequential) { check_seeded_map_matches_sequential(); }

TEST(Pool, ExceptionsPropagateAndPoolSurvives) { check_exceptions_propagate(); }

TEST(Pool, FailureStopsTheLoopButAwaitsRunningTasks) {
  // Task 0 throws; every other task first waits for that, then does about a
  // microsecond of work. Stopping must leave most of the million unstarted.
  const std::size_t n = 1'000'000;
  std::atomic<bool> thrown{false};
  std::atomic<std::size_t> started{0};
  EXPECT_THROW(parallel_for(n,
                            [&](std::size_t i) {
                              ++started;
                              if (i == 0) {
                                thrown = true;
                                quintara::panic("first");
                              }
                              while (!thrown) std::this_thread::yield();
                              volatile double x = 0.0;
                              for (int k = 0; k < 300; ++k) x = x + 1.0;
                            }),
               Panic);
  EXPECT_LT(started.load(), n / 2);

  if (pool_size() < 2) GTEST_SKIP() << "needs two workers";
  // With n = 2 each worker claims one index. Task 0 throws only once task 1
  // is running; the call must not return before task 1 has finished.
  std::atomic<bool> one_started{false};
  std::atomic<bool> one_finished{false};
  try {
    parallel_for(2, [&](std::size_t i) {
      if (i == 1) {
        one_started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        one_finished = true;
        return;
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!one_started && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      quintara::panic("zero");
    });
    ADD_FAILURE() << "no exception";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "zero");
    EXPECT_TRUE(one_started.load());
    EXPECT_TRUE(one_finished.load());
  }
}

TEST(Pool, ConcurrentCallersFromSeveralThreads) {
  std::vector<std::thread> callers;
  std::atomic<int> mismatches{0};
  for (std::uint64_t t = 0; t < 4; ++t) {
    callers.emplace_back([t, &mismatches] {
      for (int round = 0; round < 10; ++round) {
        const auto rows = parallel_map<double>(20, [t](std::size_t a) {
          const auto cells = parallel_map<double>(
              30, [t, a](std::size_t b) { return seeded_value(t, a * 30 + b); });
          double sum = 0.0;
          for (const double v : cells) sum += v;
          return sum;
        });
        for (std::size_t a = 0; a < 20; ++a) {
          double sum = 0.0;
          for (std::size_t b = 0; b < 30; ++b) sum += seeded_value(t, a * 30 + b);
          if (rows[a] != sum) ++mismatches;
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// ---- child processes -------------------------------------------------------

struct ChildRun {
  int exit_code = -1;
  std::string output;
};

// Runs this test binary with `filter`, with the pool variables and gtest's own
// variables removed from the environment and `vars` added.
std::optional<ChildRun> run_child(const std::string& filter,
                                  const std::vector<std::pair<std::string, std::string>>& vars) {
  const char* self = "/proc/self/exe";
  if (access(self, X_OK) != 0) return std::nullopt;

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("RAYON_NUM_THREADS=") || entry.starts_with("RAYON_RS_NUM_CPUS=") ||
        entry.starts_with("GTEST_") || entry.starts_with("QUINTARA_TEST_POOL_WORKERS=")) {
      continue;
    }
    env.emplace_back(entry);
  }
  for (const auto& [name, value] : vars) env.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string filter_arg = "--gtest_filter=" + filter;
  std::string argv0 = "pool_child";
  char* argv[] = {argv0.data(), filter_arg.data(), nullptr};

  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, self, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  ChildRun run;
  if (rc == 0) {
    char buf[4096];
    ssize_t got = 0;
    while ((got = read(fds[0], buf, sizeof buf)) > 0) run.output.append(buf, static_cast<std::size_t>(got));
  }
  close(fds[0]);
  if (rc != 0) return std::nullopt;
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// Guards against a filter that silently matches nothing, or a skipped child.
constexpr const char* kOneTestPassed = "[  PASSED  ] 1 test.";

std::optional<std::size_t> expected_workers() {
  const char* text = std::getenv("QUINTARA_TEST_POOL_WORKERS");
  if (text == nullptr) return std::nullopt;
  return static_cast<std::size_t>(std::strtoull(text, nullptr, 10));
}

TEST(PoolChild, WorkerCount) {
  const auto expected = expected_workers();
  if (!expected) GTEST_SKIP() << "runs only as a child of Pool.WorkerCountFromEnvironment";
  EXPECT_EQ(pool_size(), *expected);
}

TEST(PoolChild, Behaviour) {
  const auto expected = expected_workers();
  if (!expected) GTEST_SKIP() << "runs only as a child of Pool.LoopsWithOneAndThreeWorkers";
  ASSERT_EQ(pool_size(), *expected);
  check_nested_loops();
  check_seeded_map_matches_sequential();
  check_exceptions_propagate();
  if (*expected != 1) return;

  // One worker: every task, nested ones included, runs on that one thread.
  std::vector<std::thread::id> runners(200);
  parallel_for(10, [&](std::size_t a) {
    parallel_for(20, [&](std::size_t b) { runners[a * 20 + b] = std::this_thread::get_id(); });
  });
  for (const auto& id : runners) {
    EXPECT_EQ(id, runners[0]);
    EXPECT_NE(id, std::this_thread::get_id());
  }
  // ... and claims indices in ascending order, so a failure at index 10 means
  // exactly indices 0 to 10 were started.
  std::atomic<int> started{0};
  EXPECT_THROW(parallel_for(1000,
                            [&](std::size_t i) {
                              ++started;
                              if (i == 10) quintara::panic("ten");
                            }),
               Panic);
  EXPECT_EQ(started.load(), 11);
}

TEST(Pool, LoopsWithOneAndThreeWorkers) {
  for (const char* workers : {"1", "3"}) {
    const auto run = run_child("PoolChild.Behaviour",
                               {{"RAYON_NUM_THREADS", workers}, {"QUINTARA_TEST_POOL_WORKERS", workers}});
    if (!run) GTEST_SKIP() << "cannot start a child process";
    EXPECT_EQ(run->exit_code, 0) << "RAYON_NUM_THREADS=" << workers << "\n" << run->output;
    EXPECT_NE(run->output.find(kOneTestPassed), std::string::npos) << run->output;
  }
}

TEST(Pool, WorkerCountFromEnvironment) {
  const std::string hw = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
  struct Case {
    std::optional<std::string> threads;
    std::optional<std::string> cpus;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"5", "3", "5"},
      {"+2", std::nullopt, "2"},
      {"0", "3", hw},  // a number, not positive: the second is not consulted
      {"abc", "3", "3"},
      {"", "4", "4"},
      {"-1", "3", "3"},  // not an unsigned number
      {std::nullopt, "6", "6"},
      {std::nullopt, "0", hw},
      {" 2", std::nullopt, hw},
      {std::nullopt, std::nullopt, hw},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<std::string, std::string>> vars = {{"QUINTARA_TEST_POOL_WORKERS", c.expected}};
    if (c.threads) vars.emplace_back("RAYON_NUM_THREADS", *c.threads);
    if (c.cpus) vars.emplace_back("RAYON_RS_NUM_CPUS", *c.cpus);
    const auto run = run_child("PoolChild.WorkerCount", vars);
    if (!run) GTEST_SKIP() << "cannot start a child process";
    EXPECT_EQ(run->exit_code, 0) << "RAYON_NUM_THREADS=" << c.threads.value_or("<unset>")
                                 << " RAYON_RS_NUM_CPUS=" << c.cpus.value_or("<unset>") << "\n"
                                 << run->output;
    EXPECT_NE(run->output.find(kOneTestPassed), std::string::npos) << run->output;
  }
}

}  // namespace
}  // namespace quintara::inference
