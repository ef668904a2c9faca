// The generic kernel set (vectors of 2 doubles).
#define SOM_KERNEL_WIDTH 2
#define SOM_KERNEL_NAMESPACE generic
#define SOM_KERNEL_LABEL "generic"
#include "kernel_set.inc"

namespace som_engine {
const Kernels &generic_kernels() { return generic::kernels(); }
}  // namespace som_engine
