#include <malloc.h>

#include "server/startup.h"

int main(int argc, char** argv) {
    // One heap for all threads, and blocks of 64 KiB or more (a large
    // listing's buffers) straight from mmap, so that memory freed after a
    // request goes back to the system instead of staying in a thread's arena.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    return webserver_main(argc, argv);
}
