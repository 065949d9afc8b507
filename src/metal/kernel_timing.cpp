#include "metal/kernel_timing.h"

#include <algorithm>
#include <map>

namespace varkel::metal {
namespace {

bool timing_on = false;

std::map<std::string, KernelTime>& totals() {
  static std::map<std::string, KernelTime> map;
  return map;
}

}  // namespace

void set_kernel_timing(bool on) {
  if (on && !timing_on) totals().clear();
  timing_on = on;
}

bool kernel_timing() { return timing_on; }

std::vector<KernelTime> kernel_times() {
  std::vector<KernelTime> out;
  for (const auto& [name, t] : totals()) out.push_back(t);
  std::sort(out.begin(), out.end(), [](const KernelTime& a, const KernelTime& b) { return a.ms > b.ms; });
  return out;
}

void add_kernel_time(const std::string& kernel, double ms) {
  KernelTime& t = totals()[kernel];
  t.kernel = kernel;
  ++t.dispatches;
  t.ms += ms;
}

}  // namespace varkel::metal
