// Times the power curve's two paths on one panel: one solve per window
// (geo::power_curve, what geo_power runs) and the refit of every window for
// every non-zero lift (geo::power_curve_refit, the reference), and checks the
// two agree bit for bit. bench/bench_geo.py writes the panel and reads the
// output; built only with -DQUINTARA_BUILD_BENCH=ON.
//
//   quintara_bench_geo PANEL N T TEST_LEN TREATED LIFTS REPS
//
// PANEL holds N*T little-endian float64 in row-major order (units x
// periods); TREATED and LIFTS are comma-separated lists. Prints one line per
// method: name, windows, then median seconds per call of each path.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/geo/power.hpp"

namespace {

using quintara::linalg::Mat;
using quintara::runs::Method;

template <class T>
std::vector<T> parse_list(const std::string& text) {
  std::vector<T> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    std::stringstream cell(item);
    T v{};
    cell >> v;
    out.push_back(v);
  }
  return out;
}

template <class F>
double median_seconds(int reps, F&& f) {
  std::vector<double> times;
  for (int r = 0; r < reps; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

bool same(const quintara::geo::PowerResult& a, const quintara::geo::PowerResult& b) {
  const auto eq = [](double x, double y) {
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
  };
  if (!eq(a.crit, b.crit) || !eq(a.se_null, b.se_null) || a.points.size() != b.points.size()) {
    return false;
  }
  if (a.mde_pct.has_value() != b.mde_pct.has_value() ||
      (a.mde_pct && !eq(*a.mde_pct, *b.mde_pct))) {
    return false;
  }
  for (std::size_t k = 0; k < a.points.size(); ++k) {
    const auto &p = a.points[k], &q = b.points[k];
    if (!eq(p.power, q.power) || !eq(p.est_mean, q.est_mean) || !eq(p.est_lo, q.est_lo) ||
        !eq(p.est_hi, q.est_hi)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    std::fprintf(stderr, "usage: %s PANEL N T TEST_LEN TREATED LIFTS REPS\n", argv[0]);
    return 2;
  }
  const std::size_t n = std::strtoull(argv[2], nullptr, 10);
  const std::size_t t = std::strtoull(argv[3], nullptr, 10);
  const std::size_t test_len = std::strtoull(argv[4], nullptr, 10);
  const std::vector<std::size_t> treated = parse_list<std::size_t>(argv[5]);
  const std::vector<double> lifts = parse_list<double>(argv[6]);
  const int reps = std::atoi(argv[7]);

  std::vector<double> row_major(n * t);
  std::ifstream file(argv[1], std::ios::binary);
  file.read(reinterpret_cast<char*>(row_major.data()),
            static_cast<std::streamsize>(row_major.size() * sizeof(double)));
  if (!file) {
    std::fprintf(stderr, "cannot read %zu values from %s\n", row_major.size(), argv[1]);
    return 2;
  }
  Mat y(n, t);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < t; ++j) y(i, j) = row_major[i * t + j];
  }
  const std::size_t min_pre = std::max<std::size_t>(test_len, 2);

  const std::pair<const char*, Method> methods[] = {{"sc", Method::Sc},
                                                    {"asc", Method::Asc},
                                                    {"sdid", Method::Sdid},
                                                    {"fp", Method::Fp},
                                                    {"rsc", Method::Rsc}};
  for (const auto& [name, method] : methods) {
    const auto fast = [&] {
      return quintara::geo::power_curve(y, treated, test_len, min_pre, lifts, method, 0.1, 0.8,
                                        std::nullopt, 0.0, 1.0);
    };
    const auto refit = [&] {
      return quintara::geo::power_curve_refit(y, treated, test_len, min_pre, lifts, method, 0.1,
                                              0.8, std::nullopt, 0.0, 1.0);
    };
    const quintara::geo::PowerResult a = fast(), b = refit();
    if (!same(a, b)) {
      std::fprintf(stderr, "%s: the two paths differ\n", name);
      return 1;
    }
    const double fast_s = median_seconds(reps, fast);
    const double refit_s = median_seconds(reps, refit);
    std::printf("%s %zu %.9f %.9f\n", name, a.n_windows, fast_s, refit_s);
  }
  return 0;
}
