// The worker pool is created once per process, so behaviour that depends on
// the worker count (one worker, the environment variables) is checked in
// child processes of this binary: PoolChild.Run does its work only when the
// parent sets QUINTARA_TEST_POOL_WORKERS, and is skipped otherwise.
#include "core/parallel/pool.hpp"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/panic.hpp"
#include "../support.hpp"

extern char** environ;

namespace quintara::parallel {
namespace {

static_assert(!std::is_base_of_v<Panic, Cancelled>, "a cancellation is not a bug");

// Exit status of a child that ran PoolChild.Run to the end without failure;
// a filter matching nothing, or a skip, exits with 0 instead.
constexpr int kChildPassed = 42;

// Maps nested `levels` deep, `width` indices each; a leaf returns its path
// read as base-`width` digits and every level concatenates its children in
// index order, so leaf k must hold k.
std::vector<std::size_t> leaves(int levels, std::size_t width, std::size_t prefix = 0) {
  if (levels == 0) return {prefix};
  const auto parts = parallel_map<std::vector<std::size_t>>(
      width, [&](std::size_t i) { return leaves(levels - 1, width, prefix * width + i); });
  std::vector<std::size_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::size_t misplaced(int levels, std::size_t width) {
  const auto got = leaves(levels, width);
  std::size_t wrong = 0;
  for (std::size_t k = 0; k < got.size(); ++k) wrong += got[k] != k;
  return wrong + (got.size() == static_cast<std::size_t>(std::pow(width, levels)) ? 0 : 1);
}

void check_exceptions_propagate() {
  // From an inner loop, through the outer task, out of the outer loop; a
  // Control changes nothing about it.
  Control control;
  EXPECT_EQ(test::panic_text([&] {
              ControlScope scope(control);
              parallel_for(10, [](std::size_t a) {
                parallel_for(100, [a](std::size_t b) {
                  if (a == 3 && b == 42) quintara::panic("inner 3/42");
                });
              });
            }),
            "inner 3/42");
  EXPECT_THROW(parallel_for(5, [](std::size_t i) { if (i == 4) throw 7; }), int);
  EXPECT_EQ(misplaced(2, 40), 0u);  // the pool is intact afterwards
}

// Every inner task blocks until another thread has raised the flag, which it
// does once every worker is inside one; no inner index may start after that.
void check_cancellation() {
  Control control;
  std::atomic<std::size_t> started{0};
  std::atomic<bool> raised{false};
  std::thread canceller([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (started.load() < pool_size() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    control.request_cancel();
    raised.store(true);
    raised.notify_all();
  });
  {
    ControlScope scope(control);
    const auto blocking = [&](std::size_t) { ++started; raised.wait(false); };
    EXPECT_THROW(parallel_for(16, [&](std::size_t) { parallel_for(1000, blocking); }), Cancelled);
    canceller.join();
    // Entering a loop under the raised flag runs nothing.
    EXPECT_THROW(parallel_for(5, [&](std::size_t) { ++started; }), Cancelled);
    EXPECT_EQ(started.load(), pool_size());
  }
  EXPECT_EQ(misplaced(2, 40), 0u);  // usable again, outside the Control
}

TEST(Pool, EveryIndexOnceInItsOwnSlotNestedOrNot) {
  parallel_for(0, [](std::size_t) { ADD_FAILURE() << "called for n == 0"; });
  const std::size_t n = 200'000;
  std::vector<unsigned char> visits(n, 0);
  parallel_for(n, [&](std::size_t i) { ++visits[i]; });
  EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), static_cast<std::ptrdiff_t>(n));
  EXPECT_EQ(misplaced(2, 60), 0u);
  EXPECT_EQ(misplaced(3, 12), 0u);
}

// Meanwhile another thread's loops, opened with no Control, share the pool
// with the cancelled ones and must neither fail nor lose an index.
TEST(Pool, ExceptionsAndCancellationEndOnlyTheirOwnLoops) {
  check_exceptions_propagate();
  std::atomic<std::size_t> plain_faults{0};
  std::thread plain([&] {  // a Cancelled escaping here would terminate the test
    for (int round = 0; round < 20; ++round) plain_faults += misplaced(2, 30);
  });
  check_cancellation();
  plain.join();
  EXPECT_EQ(plain_faults.load(), 0u);
}

TEST(Pool, ProgressCountsTheOutermostLoopWhileAnotherThreadReads) {
  const std::size_t n = 400;
  Control control;
  std::atomic<bool> finished{false};
  std::atomic<int> bad_reads{0};
  std::thread reader([&] {
    std::size_t last = 0;
    while (!finished.load()) {
      const Control::Progress p = control.progress();
      bad_reads += p.done < last || p.done > p.total || (p.total != 0 && p.total != n);
      last = p.done;
    }
  });
  {
    ControlScope scope(control);
    parallel_for(n, [](std::size_t) { EXPECT_EQ(misplaced(1, 50), 0u); });
  }
  finished = true;
  reader.join();
  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_EQ(control.progress().done, n);  // the inner loops did not count
  ControlScope scope(control);  // the next outermost loop counts from zero
  parallel_for(7, [&](std::size_t) { EXPECT_LT(control.progress().done, 7u); });
  EXPECT_EQ(control.progress().done, 7u);
}

TEST(PoolChild, Run) {
  const char* expected = std::getenv("QUINTARA_TEST_POOL_WORKERS");
  if (expected == nullptr) GTEST_SKIP() << "runs only as a child of Pool.WorkerCountsInChildren";
  EXPECT_EQ(pool_size(), std::stoul(expected));
  check_exceptions_propagate();
  check_cancellation();
  if (pool_size() == 1) {
    // Every task, nested ones included, runs on the one worker ...
    std::vector<std::thread::id> runners(200);
    parallel_for(10, [&](std::size_t a) {
      parallel_for(20, [&](std::size_t b) { runners[a * 20 + b] = std::this_thread::get_id(); });
    });
    EXPECT_EQ(std::count(runners.begin(), runners.end(), runners[0]), 200);
    EXPECT_NE(runners[0], std::this_thread::get_id());  // the caller only waits
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
}  // namespace quintara::parallel
