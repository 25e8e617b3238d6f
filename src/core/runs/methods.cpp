#include "core/runs/methods.hpp"

#include <array>
#include <string>

#include "core/format.hpp"
#include "core/panic.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

namespace est = quintara::estimators;

namespace {

struct Entry {
  Method method;
  std::string_view display;
  std::string_view name;
  std::string_view alias;  // empty when none
};

constexpr std::array<Entry, 6> kRegistry{{
    {Method::Sc, "SC", "sc", ""},
    {Method::Asc, "ASC", "asc", ""},
    {Method::Sdid, "SDID", "sdid", ""},
    {Method::Fp, "FP", "fp", "dsc"},
    {Method::Rsc, "RSC", "rsc", ""},
    // No name: an ensemble is assembled from its members, never parsed.
    {Method::Ensemble, "ENSEMBLE", "", ""},
}};

const Entry& entry_of(Method method) {
  const auto i = static_cast<std::size_t>(method);
  if (i >= kRegistry.size()) panic("method out of range");
  return kRegistry[i];
}

[[noreturn]] void ensemble_is_not_a_fit() {
  panic(
      "internal error: entered unreachable code: Ensemble is combined across methods, not a "
      "single fit");
}

}  // namespace

std::string_view display_name(Method method) { return entry_of(method).display; }

std::optional<Method> method_from_name(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const Entry& e : kRegistry) {
    if (e.name.empty()) continue;
    if (lower == e.name || (!e.alias.empty() && lower == e.alias)) return e.method;
  }
  return std::nullopt;
}

std::optional<Method> method_from_exact_name(std::string_view name) {
  for (const Entry& e : kRegistry) {
    if (!e.name.empty() && name == e.name) return e.method;
  }
  return std::nullopt;
}

namespace {

[[noreturn]] void unknown_method(std::string_view name) {
  throw UserError(format("unknown method '{}' (expected sc/asc/sdid/fp/rsc)", name));
}

}  // namespace

Method parse_method(std::string_view name) {
  if (const auto m = method_from_name(name)) return *m;
  unknown_method(name);
}

Method parse_exact_method(std::string_view name) {
  if (const auto m = method_from_exact_name(name)) return *m;
  unknown_method(name);
}

Method method_of(const inference::ScMethod& method) {
  // The variant's alternatives are declared in Method's order.
  return static_cast<Method>(method.options.index());
}

inference::ScMethod geo_method(Method method, double min_weight, double max_weight) {
  switch (method) {
    case Method::Sc: return {est::sc::ScOptions{min_weight, max_weight, 0.0, 0.0}};
    case Method::Asc: {
      est::sc::AscOptions o;
      o.min_weight = min_weight;
      o.max_weight = max_weight;
      return {o};
    }
    case Method::Sdid: return {est::sc::SdidOptions{min_weight, max_weight, 1.0}};
    case Method::Fp: {
      est::sc::FpOptions o;
      o.min_weight = min_weight;
      o.max_weight = max_weight;
      return {o};
    }
    case Method::Rsc: return {est::sc::RscOptions{}};
    case Method::Ensemble: break;
  }
  ensemble_is_not_a_fit();
}

inference::ScMethod batch_method(Method method, double ridge, double zeta_scale, double min_weight,
                                 double max_weight) {
  switch (method) {
    case Method::Sc: return {est::sc::ScOptions{min_weight, max_weight, ridge, 0.0}};
    case Method::Asc: {
      est::sc::AscOptions o;
      o.sc_ridge = ridge;
      o.min_weight = min_weight;
      o.max_weight = max_weight;
      return {o};
    }
    case Method::Sdid: return {est::sc::SdidOptions{min_weight, max_weight, zeta_scale}};
    case Method::Fp: {
      est::sc::FpOptions o;
      o.min_weight = min_weight;
      o.max_weight = max_weight;
      o.ridge = ridge;
      return {o};
    }
    case Method::Rsc: return {est::sc::RscOptions{}};
    case Method::Ensemble: break;
  }
  ensemble_is_not_a_fit();
}

est::ScFit fit_method(const est::Panel& panel, std::size_t t0, Method method, double min_weight,
                      double max_weight) {
  return geo_method(method, min_weight, max_weight).fit_at(panel, t0);
}

}  // namespace quintara::runs
