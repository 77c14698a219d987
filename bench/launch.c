/* Usage: launch PROGRAM [ARGS...]
 * Stamps FC_T0_NS with CLOCK_MONOTONIC and execs PROGRAM in this same process, so the frame
 * counter measures start-up from the exec on, finer than the kernel's 10 ms start tick. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: launch PROGRAM [ARGS...]\n");
        return 2;
    }
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%lld", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
    setenv("FC_T0_NS", stamp, 1);
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
