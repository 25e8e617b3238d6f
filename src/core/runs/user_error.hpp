// Bad input found by a validator or an entry check, before any numerical
// work. The bindings raise it as ValueError with exactly this text; a
// violated internal invariant is a Panic instead, never a UserError.
#pragma once

#include <stdexcept>

namespace quintara::runs {

class UserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quintara::runs
