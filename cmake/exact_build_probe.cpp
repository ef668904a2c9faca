// Compiled and run when the build is configured, with the flags the library
// is compiled and linked with (and again with each kernel set's), so that a
// build that would lose exactness stops there instead of giving other maps.
// som/base/exact_build.h refuses what the compiler says it does (-ffast-math and
// its parts, wider evaluation); this program finds what it does without
// saying so: a multiply fused with an add, and a program that starts with
// subnormals flushed to zero or read as zero (what -ffast-math on the link
// line sets up for the whole process). It prints each finding and exits
// with status 1; otherwise it prints the kernel sets the CPU can run
// ("cpu: avx2 avx512"), so that only those probes are run.
#include <cstdio>

#include "som/base/exact_build.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

// Operands the compiler cannot see. a * b is 1 - 2^-60, which rounds to
// 1.0, so each form below gives 0.0 when the product is rounded on its own,
// and +-2^-60 when it is fused with the addition.
volatile double a = 1.0 + 0x1p-30, b = 1.0 - 0x1p-30, minus_one = -1.0, one = 1.0;

__attribute__((noinline)) double product_plus(double x, double y, double z) { return x * y + z; }
__attribute__((noinline)) double minus_product(double w, double x, double y) { return w - x * y; }
__attribute__((noinline)) double product_minus(double x, double y, double w) { return x * y - w; }

// The same in a loop the compiler may vectorise.
__attribute__((noinline)) void products_plus(const double *x, const double *y, const double *z, double *out, int count) {
    for (int i = 0; i < count; ++i) out[i] = x[i] * y[i] + z[i];
}

}  // namespace

int main() {
    int found = 0;
    const double x = a, y = b, z = minus_one, w = one;
    if (product_plus(x, y, z) != 0.0 || minus_product(w, x, y) != 0.0 || product_minus(x, y, w) != 0.0) {
        std::puts("the compiler fuses a multiply with an add (floating-point contraction)");
        ++found;
    }
    double xs[16], ys[16], zs[16], out[16];
    for (int i = 0; i < 16; ++i) xs[i] = x, ys[i] = y, zs[i] = z;
    products_plus(xs, ys, zs, out, 16);
    for (int i = 0; i < 16; ++i)
        if (out[i] != 0.0) {
            std::puts("the compiler fuses a multiply with an add in vectorised loops (floating-point contraction)");
            ++found;
            break;
        }
#if defined(__x86_64__)
    const unsigned control = _mm_getcsr();
    if (control & 0x8040) {
        std::printf("programs start with subnormals flushed to zero or read as zero (MXCSR %#x): "
                    "-ffast-math or -Ofast on the link line\n",
                    control);
        ++found;
    }
    if (found == 0) {
        __builtin_cpu_init();
        std::printf("cpu:%s%s\n", __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? " avx2" : "",
                    __builtin_cpu_supports("avx512f") ? " avx512" : "");
    }
#endif
    return found == 0 ? 0 : 1;
}
