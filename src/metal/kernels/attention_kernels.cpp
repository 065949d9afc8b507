#include "metal/kernel_abi.h"

namespace varkel::metal {

void append_attention_kernels(std::vector<KernelImpl>& out) { (void)out; }

}  // namespace varkel::metal
