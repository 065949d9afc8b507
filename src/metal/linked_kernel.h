#pragma once
// A kernel declaration of a compiled library, bound to its implementation.

#include <cstdint>
#include <string>
#include <vector>

#include "metal/kernel_abi.h"

namespace varkel::metal {

struct LinkedKernel {
  std::string name;
  std::vector<KernelParam> params;  // declared order; names point into the implementation's table
  ValidateFn validate = nullptr;
  RunFn run = nullptr;
  RowSplit split{};
};

}  // namespace varkel::metal
