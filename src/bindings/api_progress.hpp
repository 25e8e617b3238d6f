// Progress and cancellation of the compiled calls running right now.
//
// Every entry that releases the interpreter lock runs its work inside a
// RunningCall (opened by `without_gil`): a parallel::Control installed for
// the loops of that call and listed in a process-wide registry while the call
// runs. Two private module functions read the registry from any Python
// thread, so a progress bar can poll while the call runs without the lock and
// a Ctrl-C handler can stop it:
//
// - `_progress()` -> (done, total): the outermost-loop indices finished and
//   started so far, summed over the running calls ((0, 0) when none runs);
// - `_cancel()` -> int: asks every running call to stop and returns how many
//   there were. A cancelled call raises KeyboardInterrupt("cancelled") once
//   the tasks already running have finished.
//
// Neither is in `__all__`; neither changes any entry's arguments or results
// (the Control only counts indices and is read before each index starts).
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

#include "bindings/py.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::bindings {

// The Controls of the calls running now. Header-inline so that every user of
// `without_gil` shares one registry without linking this file's source.
struct RunningCalls {
  std::mutex mutex;
  std::vector<parallel::Control*> controls;

  static RunningCalls& instance() {
    static RunningCalls calls;
    return calls;
  }
};

// Lists a fresh Control for the life of one compiled call and installs it
// for the loops the calling thread opens meanwhile.
class RunningCall {
 public:
  RunningCall() : scope_(control_) {
    RunningCalls& calls = RunningCalls::instance();
    const std::lock_guard<std::mutex> lock(calls.mutex);
    calls.controls.push_back(&control_);
  }
  ~RunningCall() {
    RunningCalls& calls = RunningCalls::instance();
    const std::lock_guard<std::mutex> lock(calls.mutex);
    auto& v = calls.controls;
    v.erase(std::remove(v.begin(), v.end(), &control_), v.end());
  }
  RunningCall(const RunningCall&) = delete;
  RunningCall& operator=(const RunningCall&) = delete;

 private:
  parallel::Control control_;
  parallel::ControlScope scope_;
};

// Adds `_progress` and `_cancel` to the module, outside `__all__`.
void add_progress_functions(PyObject* module);

}  // namespace quintara::bindings
