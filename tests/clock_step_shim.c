/* Preloaded into a program under test: the wall clock steps back by an hour
 * at every reading, as an NTP correction or a manual `date` might step it
 * during a run. A clock that never steps (CLOCK_MONOTONIC) is left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <sys/time.h>
#include <time.h>

static long steps = 0;

static long offset_seconds(void) { return -3600 * ++steps; }

int gettimeofday(struct timeval *tv, void *tz) {
    static int (*real)(struct timeval *, void *) = NULL;
    if (real == NULL) real = (int (*)(struct timeval *, void *))dlsym(RTLD_NEXT, "gettimeofday");
    const int result = real(tv, tz);
    if (result == 0) tv->tv_sec += offset_seconds();
    return result;
}

int clock_gettime(clockid_t clock, struct timespec *ts) {
    static int (*real)(clockid_t, struct timespec *) = NULL;
    if (real == NULL) real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    const int result = real(clock, ts);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        ts->tv_sec += offset_seconds();
    return result;
}
