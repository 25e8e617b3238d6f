// Internal invariant violations.
//
// Library functions below the Python entry points assert their own
// preconditions. A violated assertion throws `Panic`, which the bindings turn
// into the module's `PanicException` (a BaseException, so ordinary
// `except Exception` handlers do not swallow what is a bug, not bad input).
// The entry points validate their inputs so that no well-typed call reaches
// one of these.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quintara {

class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void panic(std::string message);

// "assertion `left == right` failed: {message}\n  left: {left}\n right: {right}"
[[noreturn]] void panic_assert_eq(std::string_view message, std::string_view left,
                                  std::string_view right);

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void panic_index(std::size_t index, std::size_t len);

inline void check_index(std::size_t index, std::size_t len) {
  if (index >= len) panic_index(index, len);
}

}  // namespace quintara

// Equality assertion whose message expression is only evaluated on failure,
// so it costs nothing in hot paths.
#define QUINTARA_ASSERT_EQ(left, right, message)                          \
  do {                                                                    \
    const auto& quintara_l_ = (left);                                     \
    const auto& quintara_r_ = (right);                                    \
    if (!(quintara_l_ == quintara_r_)) {                                  \
      ::quintara::panic_assert_eq((message), std::to_string(quintara_l_), \
                                  std::to_string(quintara_r_));           \
    }                                                                     \
  } while (0)

// Plain assertion with a fixed failure text.
#define QUINTARA_ASSERT(condition, message)       \
  do {                                            \
    if (!(condition)) ::quintara::panic(message); \
  } while (0)
