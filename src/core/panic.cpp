#include "core/panic.hpp"

#include <utility>

namespace quintara {

void panic(std::string message) { throw Panic(std::move(message)); }

void panic_assert_eq(std::string_view message, std::string_view left, std::string_view right) {
  std::string text = "assertion `left == right` failed: ";
  text.append(message);
  text.append("\n  left: ");
  text.append(left);
  text.append("\n right: ");
  text.append(right);
  throw Panic(std::move(text));
}

void panic_index(std::size_t index, std::size_t len) {
  throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index));
}

}  // namespace quintara
