// Bad input found by a validator or an entry check. Becomes ValueError with
// exactly this text. Kept free of Python headers so the validators can be
// unit-tested natively.
#pragma once

#include <stdexcept>

namespace quintara::bindings {

class UserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quintara::bindings
