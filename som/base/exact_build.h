// Refuses, at compile time, the builds that would compute other bits than
// the literal algorithm. Every result rests on each operation rounding on
// its own, in the order written, on IEEE 754 doubles: flags that let the
// compiler reorder, fuse, drop NaN and infinity or signed zeros, or keep
// intermediates in a wider format give other maps without a word. Included
// by every translation unit that computes; what cannot be seen here
// (contraction, -ffp-contract=fast) the build checks when it is configured
// (cmake/exact_build_probe.cpp).
#ifndef SOM_EXACT_BUILD_H
#define SOM_EXACT_BUILD_H

#include <cfloat>

#if defined(__FAST_MATH__)
#error "somap must be built without -ffast-math: it lets the compiler reorder, fuse and drop floating-point operations, so every map would differ from the literal algorithm's"
#endif
#if defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "somap must be built without -ffinite-math-only: NaN and infinite values must be computed and compared as IEEE 754 says"
#endif
#if defined(__ASSOCIATIVE_MATH__)
#error "somap must be built without -fassociative-math (or -funsafe-math-optimizations): sums must keep their order"
#endif
#if defined(__RECIPROCAL_MATH__)
#error "somap must be built without -freciprocal-math (or -funsafe-math-optimizations): a division must stay a division"
#endif
#if defined(__NO_SIGNED_ZEROS__)
#error "somap must be built without -fno-signed-zeros: -0.0 and 0.0 are different weights"
#endif
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "somap must be built where doubles are computed as doubles (FLT_EVAL_METHOD 0): on x86, SSE2 arithmetic (-mfpmath=sse), not the x87 unit's wider registers"
#endif

#endif
