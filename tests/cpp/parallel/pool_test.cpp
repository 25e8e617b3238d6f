// The worker pool is created once per process, so behaviour that depends on
// the worker count (one worker, the environment variables) is checked in
// child processes of this binary: PoolChild.Run does its work only when the
// parent sets QUINTARA_TEST_POOL_WORKERS, and is skipped otherwise.
#include "core/parallel/pool.hpp"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

#include "../support.hpp"
#include "core/panic.hpp"

extern char** environ;

namespace quintara::parallel {
namespace {

static_assert(!std::is_base_of_v<Panic, Cancelled>, "a cancellation is not a bug");

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Exit status of a child that passed (an empty filter or a skip exits with 0).
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
  std::size_t wrong = got.size() != static_cast<std::size_t>(std::pow(width, levels));
  for (std::size_t k = 0; k < got.size(); ++k) wrong += got[k] != k;
  return wrong;
}

// Under a Control, a panic in an inner loop travels through the outer task
// and out of the outer loop. Then every inner task blocks until another thread
// raises the cancel flag, which it does once every worker is inside one; no
// inner index may start after that.
void check_faults() {
  Control control;
  ControlScope scope(control);
  const auto inner_fails = [](std::size_t a) {
    parallel_for(100, [a](std::size_t b) {
      if (a == 3 && b == 42) quintara::panic("inner 3/42");
    });
  };
  EXPECT_EQ(test::panic_text([&] { parallel_for(10, inner_fails); }), "inner 3/42");
  const auto throws_at_four = [](std::size_t i) { i == 4 ? throw 7 : void(); };
  EXPECT_THROW(parallel_for(5, throws_at_four), int);
  std::atomic<std::size_t> started{0};
  std::atomic<bool> raised{false};
  std::thread canceller([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (started.load() < pool_size() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    control.request_cancel();
    raised.store(true);
    raised.notify_all();
  });
  const auto blocking = [&](std::size_t) {
    ++started;
    raised.wait(false);
  };
  EXPECT_THROW(parallel_for(16, [&](std::size_t) { parallel_for(1000, blocking); }), Cancelled);
  canceller.join();
  // Entering a loop under the raised flag runs nothing.
  EXPECT_THROW(parallel_for(5, [&](std::size_t) { ++started; }), Cancelled);
  EXPECT_EQ(started.load(), pool_size());
}

// Meanwhile another thread's loops, opened with no Control, share the pool
// with the failing ones and must neither fail nor lose an index; afterwards
// the pool is intact.
TEST(Pool, ExceptionsAndCancellationEndOnlyTheirOwnLoops) {
  std::atomic<std::size_t> plain_faults{0};
  std::thread plain([&] {  // a Cancelled escaping here would terminate the test
    for (int round = 0; round < 20; ++round) plain_faults += misplaced(2, 30);
  });
  check_faults();
  plain.join();
  EXPECT_EQ(plain_faults.load() + misplaced(2, 40), 0u);
}

// Every index runs once, in its own slot, nested or not; meanwhile another
// thread reads the progress, which counts the outermost loop only.
TEST(Pool, EveryIndexOnceAndProgressOfTheOutermostLoop) {
  parallel_for(0, [](std::size_t) { ADD_FAILURE() << "called for n == 0"; });
  EXPECT_EQ(misplaced(3, 12), 0u);
  const std::size_t n = 200'000;
  std::vector<unsigned char> visits(n, 0);
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
    parallel_for(n, [&](std::size_t i) { ++visits[i]; });
  }
  finished = true;
  reader.join();
  EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), static_cast<std::ptrdiff_t>(n));
  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_EQ(control.progress().done, n);
  ControlScope scope(control);  // the next outermost loop counts from zero, inner ones never
  parallel_for(7, [&](std::size_t) {
    EXPECT_EQ(misplaced(1, 50), 0u);
    EXPECT_LT(control.progress().done, 7u);
  });
  EXPECT_EQ(control.progress().done, 7u);
}

// Leaves the address space only a few MiB beyond what is mapped now, too
// little for any thread's stack.
void forbid_new_threads() {
  long pages = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  ASSERT_GT(pages, 0);
  const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (4u << 20);
  const rlimit rl{limit, limit};
  ASSERT_EQ(setrlimit(RLIMIT_AS, &rl), 0);
}

TEST(PoolChild, Run) {
  const char* expected = std::getenv("QUINTARA_TEST_POOL_WORKERS");
  if (expected == nullptr) GTEST_SKIP() << "runs only as a child of Pool.WorkerCountsInChildren";
  const bool no_threads = std::getenv("QUINTARA_TEST_POOL_NO_THREADS") != nullptr;
  if (no_threads) forbid_new_threads();
  EXPECT_EQ(pool_size(), std::stoul(expected));
  if (!no_threads) check_faults();  // its canceller is a thread of its own
  if (pool_size() <= 1) {
    // Every task, nested ones included, runs on the one worker, or on the
    // caller when there is none ...
    std::vector<std::thread::id> runners(200);
    parallel_for(10, [&](std::size_t a) {
      parallel_for(20, [&](std::size_t b) { runners[a * 20 + b] = std::this_thread::get_id(); });
    });
    EXPECT_EQ(std::count(runners.begin(), runners.end(), runners[0]), 200);
    EXPECT_EQ(runners[0] == std::this_thread::get_id(), no_threads);  // else the caller waits
    // ... which claims indices in ascending order, so a failure at index 10
    // means exactly indices 0 to 10 were started.
    std::atomic<int> started{0};
    const auto fail_at_ten = [&](std::size_t i) {
      ++started;
      if (i == 10) quintara::panic("ten");
    };
    EXPECT_THROW(parallel_for(1000, fail_at_ten), Panic);
    EXPECT_EQ(started.load(), 11);
  }
  std::fflush(nullptr);
  std::_Exit(::testing::Test::HasFailure() ? 1 : kChildPassed);
}

// Runs PoolChild.Run in a fresh process of this binary, its pool and gtest
// variables replaced by those of case `c` (see below; a fourth element
// forbids new threads); returns its exit
// status, -1 when no process could be started.
int run_child(const std::vector<std::string>& c) {
  std::vector<std::string> vars = {"QUINTARA_TEST_POOL_WORKERS=" + c[2]};
  if (c.size() > 3) vars.push_back("QUINTARA_TEST_POOL_NO_THREADS=1");
  if (c[0] != "-") vars.push_back("RAYON_NUM_THREADS=" + c[0]);
  if (c[1] != "-") vars.push_back("RAYON_RS_NUM_CPUS=" + c[1]);
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view v(*e);
    if (!v.starts_with("RAYON_") && !v.starts_with("GTEST_") && !v.starts_with("QUINTARA_"))
      vars.emplace_back(v);
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
  // {RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, expected workers}, "-" for unset. "0" is a number,
  // though not positive: the second variable is then not consulted.
  std::vector<std::vector<std::string>> cases = {
      {"1", "-", "1"},  {"5", "3", "5"}, {"+2", "-", "2"}, {"0", "3", hw}, {"abc", "3", "3"},
      {"-1", "3", "3"}, {" 2", "-", hw}, {"-", "6", "6"},  {"-", "-", hw}};
  // No thread can start (address-space limit): loops run on the caller.
  // AddressSanitizer's shadow memory needs address space of its own.
  if (!kAddressSanitizer) cases.push_back({"4", "-", "0", "no threads"});
  for (const auto& c : cases) {
    const int status = run_child(c);
    if (status == -1) GTEST_SKIP() << "cannot start a child process";
    EXPECT_EQ(status, kChildPassed)
        << "RAYON_NUM_THREADS=" << c[0] << " RAYON_RS_NUM_CPUS=" << c[1];
  }
}

}  // namespace
}  // namespace quintara::parallel
