// The avx2 kernel set (vectors of 4 doubles).
#define SOM_KERNEL_WIDTH 4
#define SOM_KERNEL_NAMESPACE avx2
#define SOM_KERNEL_LABEL "avx2"
#include "kernel_set.inc"

namespace som_engine {
const Kernels &avx2_kernels() { return avx2::kernels(); }
}  // namespace som_engine
