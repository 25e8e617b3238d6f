#include "core/inference/batch.hpp"

#include <string>
#include <utility>

#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::inference {

std::vector<double> att_many(std::vector<estimators::Panel> panels, std::size_t t0,
                             const estimators::sc::ScMethod& method) {
  const std::size_t n = panels.size();
  std::vector<double> atts = parallel::parallel_map<double>(n, [&](std::size_t r) {
    // Each worker owns slot r alone; moving the panel out frees it here.
    const estimators::Panel panel = std::move(panels[r]);
    return method.fit_at(panel, t0).att;
  });
  if (atts.size() != n) {
    panic_assert_eq("one att per panel", std::to_string(atts.size()), std::to_string(n));
  }
  return atts;
}

std::vector<double> att_many(std::vector<estimators::Panel> panels, std::size_t t0,
                             std::span<const estimators::sc::ScMethod> methods) {
  const std::size_t n = panels.size();
  QUINTARA_ASSERT_EQ(methods.size(), n, "att_many: one method per panel");
  std::vector<double> atts = parallel::parallel_map<double>(n, [&](std::size_t r) {
    const estimators::Panel panel = std::move(panels[r]);
    return methods[r].fit_at(panel, t0).att;
  });
  if (atts.size() != n) {
    panic_assert_eq("one att per panel", std::to_string(atts.size()), std::to_string(n));
  }
  return atts;
}

}  // namespace quintara::inference
