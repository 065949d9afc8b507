#include "metal/kernel_abi.h"

namespace varkel::metal {

void append_linear_attention_kernels(std::vector<KernelImpl>& out) { (void)out; }

}  // namespace varkel::metal
