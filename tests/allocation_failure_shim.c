/* Preloaded into a program under test: the Nth allocation of at least
 * SOMAP_FAIL_BYTES bytes fails, as it would when memory runs out, where N is
 * SOMAP_FAIL_AT (counted from 1 over the whole process, every thread, every
 * allocation function: malloc, calloc, realloc, posix_memalign,
 * aligned_alloc, memalign; C++'s operator new reaches malloc). When it has
 * failed one, the shim creates the file SOMAP_FAIL_MARK, so a test knows
 * that the run met its failure; a run that never gets that far leaves no
 * mark. Smaller allocations, and every one when SOMAP_FAIL_AT is unset, go
 * through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void *(*real_malloc)(size_t);
static void *(*real_calloc)(size_t, size_t);
static void *(*real_realloc)(void *, size_t);
static void (*real_free)(void *);
static int (*real_posix_memalign)(void **, size_t, size_t);
static void *(*real_aligned_alloc)(size_t, size_t);
static void *(*real_memalign)(size_t, size_t);

/* dlsym may allocate while the real functions are being looked up; those
 * few bytes come from here and are never freed. */
static _Alignas(64) char bootstrap[16384];
static size_t bootstrap_used;
static int resolving;

static long fail_at = -1;
static size_t fail_bytes = (size_t)-1;
static const char *mark;
static long seen;

static int in_bootstrap(const void *p) {
    return (const char *)p >= bootstrap && (const char *)p < bootstrap + sizeof bootstrap;
}

static void *from_bootstrap(size_t size) {
    size_t at = (bootstrap_used + 63) & ~(size_t)63;
    if (at + size > sizeof bootstrap) return NULL;
    bootstrap_used = at + size;
    return bootstrap + at;
}

static void resolve(void) {
    if (real_malloc != NULL || resolving) return;
    resolving = 1;
    real_calloc = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
    real_realloc = (void *(*)(void *, size_t))dlsym(RTLD_NEXT, "realloc");
    real_free = (void (*)(void *))dlsym(RTLD_NEXT, "free");
    real_posix_memalign = (int (*)(void **, size_t, size_t))dlsym(RTLD_NEXT, "posix_memalign");
    real_aligned_alloc = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "aligned_alloc");
    real_memalign = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "memalign");
    real_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    resolving = 0;
}

/* The settings are read once the C library has the environment: a runtime
 * loaded before it (AddressSanitizer's) allocates earlier. What is
 * allocated before this runs is not counted. */
__attribute__((constructor)) static void configure(void) {
    const char *at = getenv("SOMAP_FAIL_AT");
    const char *bytes = getenv("SOMAP_FAIL_BYTES");
    mark = getenv("SOMAP_FAIL_MARK");
    if (at != NULL && bytes != NULL) {
        fail_bytes = (size_t)strtoull(bytes, NULL, 10);
        __atomic_store_n(&fail_at, strtol(at, NULL, 10), __ATOMIC_SEQ_CST);
    }
}

/* Whether this allocation is the one to fail. */
static int fails(size_t size) {
    if (fail_at < 0 || size < fail_bytes) return 0;
    if (__atomic_add_fetch(&seen, 1, __ATOMIC_SEQ_CST) != fail_at) return 0;
    if (mark != NULL) {
        const int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
    }
    errno = ENOMEM;
    return 1;
}

void *malloc(size_t size) {
    resolve();
    if (real_malloc == NULL) return from_bootstrap(size);
    return fails(size) ? NULL : real_malloc(size);
}

void *calloc(size_t count, size_t size) {
    resolve();
    if (real_calloc == NULL) {
        if (size != 0 && count > (size_t)-1 / size) return NULL;
        return from_bootstrap(count * size);  /* static, so already zero */
    }
    size_t total = size != 0 && count > (size_t)-1 / size ? (size_t)-1 : count * size;
    return fails(total) ? NULL : real_calloc(count, size);
}

void *realloc(void *old, size_t size) {
    resolve();
    if (in_bootstrap(old)) {
        void *moved = malloc(size);
        if (moved != NULL) memcpy(moved, old, size < (size_t)(bootstrap + sizeof bootstrap - (char *)old)
                                                  ? size
                                                  : (size_t)(bootstrap + sizeof bootstrap - (char *)old));
        return moved;
    }
    if (real_realloc == NULL) return NULL;
    return fails(size) ? NULL : real_realloc(old, size);
}

void free(void *p) {
    if (p == NULL || in_bootstrap(p)) return;
    resolve();
    if (real_free != NULL) real_free(p);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
    resolve();
    if (real_posix_memalign == NULL) return ENOMEM;
    return fails(size) ? ENOMEM : real_posix_memalign(out, alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
    resolve();
    if (real_aligned_alloc == NULL) return NULL;
    return fails(size) ? NULL : real_aligned_alloc(alignment, size);
}

void *memalign(size_t alignment, size_t size) {
    resolve();
    if (real_memalign == NULL) return NULL;
    return fails(size) ? NULL : real_memalign(alignment, size);
}
