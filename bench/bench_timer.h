// What every benchmark driver prints: one line on standard error,
// "result seconds=S count=N", the seconds of the measured work alone (process
// start, library loading and interpreter start-up excluded). Peak memory is
// measured around the whole process by bench/run_all.sh (/usr/bin/time -v).
#pragma once

#include <stdio.h>
#include <time.h>

static inline double bench_now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static inline void bench_report(double seconds, long long count) {
    fprintf(stderr, "result seconds=%.6f count=%lld\n", seconds, count);
}
