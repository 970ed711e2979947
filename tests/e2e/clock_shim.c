/* Test-only LD_PRELOAD library: moves the monotonic clocks of the program it
 * is loaded into forward by the number of seconds written (as text) in the
 * file named by WS_TEST_CLOCK_FILE, so that tests can pass session time-outs
 * without waiting for them. Never built into or loaded by the product. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

typedef int (*clock_fn)(clockid_t, struct timespec*);

static long shift_seconds(void) {
    const char* path = getenv("WS_TEST_CLOCK_FILE");
    if (!path) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {0};
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 ? strtol(text, NULL, 10) : 0;
}

int clock_gettime(clockid_t id, struct timespec* ts) {
    static clock_fn real;
    if (!real) real = (clock_fn)dlsym(RTLD_NEXT, "clock_gettime");
    int rc = real(id, ts);
    if (rc == 0 && (id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_BOOTTIME))
        ts->tv_sec += shift_seconds();
    return rc;
}
