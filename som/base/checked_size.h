// Overflow-checked size arithmetic: every byte count the library derives
// from untrusted sizes (option values, map file headers) goes through here.
#ifndef SOM_CHECKED_SIZE_H
#define SOM_CHECKED_SIZE_H

#include <stddef.h>

static inline bool som_checked_mul(size_t a, size_t b, size_t *result) {
    return !__builtin_mul_overflow(a, b, result);
}

static inline bool som_checked_add(size_t a, size_t b, size_t *result) {
    return !__builtin_add_overflow(a, b, result);
}

#endif
