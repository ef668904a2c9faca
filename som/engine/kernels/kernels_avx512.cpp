// The avx512 kernel set (vectors of 8 doubles).
#define SOM_KERNEL_WIDTH 8
#define SOM_KERNEL_NAMESPACE avx512
#define SOM_KERNEL_LABEL "avx512"
#include "kernel_set.inc"

namespace som_engine {
const Kernels &avx512_kernels() { return avx512::kernels(); }
}  // namespace som_engine
