// Bad input found by a validator or an entry check, before any numerical
// work. The bindings raise it as ValueError with exactly this text; a
// violated internal invariant is a Panic instead, never a UserError.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quintara::runs {

class UserError : public std::runtime_error {
 public:
  explicit UserError(const std::string& message)
      : std::runtime_error(message), message_(std::make_shared<const std::string>(message)) {}
  explicit UserError(const char* message) : UserError(std::string(message)) {}
  // The whole text: a message quoting an argument may hold a NUL, where
  // what() ends. Shared, so that copying the exception cannot throw.
  std::string_view message() const noexcept { return *message_; }

 private:
  std::shared_ptr<const std::string> message_;
};

}  // namespace quintara::runs
