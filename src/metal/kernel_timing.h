#pragma once
// Wall time per kernel across command buffers, for benchmarks. Off by
// default; while on, every dispatch run in turn adds its time under its
// kernel's name, and a step of dispatches run side by side adds its time
// under "(side by side)". Only the committing thread writes it.

#include <cstdint>
#include <string>
#include <vector>

namespace varkel::metal {

struct KernelTime {
  std::string kernel;
  uint64_t dispatches = 0;
  double ms = 0;
};

void set_kernel_timing(bool on);
bool kernel_timing();
// Totals since timing was last turned on, largest first.
std::vector<KernelTime> kernel_times();
void add_kernel_time(const std::string& kernel, double ms);

}  // namespace varkel::metal
