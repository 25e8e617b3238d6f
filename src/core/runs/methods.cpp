#include "core/runs/methods.hpp"

#include "core/format.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

using estimators::sc::Method;

namespace {

[[noreturn]] void unknown_method(std::string_view name) {
  throw UserError(format("unknown method '{}' (expected sc/asc/sdid/fp/rsc)", name));
}

}  // namespace

Method parse_method(std::string_view name) {
  if (const auto m = estimators::sc::method_from_name(name)) return *m;
  unknown_method(name);
}

Method parse_exact_method(std::string_view name) {
  if (const auto m = estimators::sc::method_from_exact_name(name)) return *m;
  unknown_method(name);
}

}  // namespace quintara::runs
