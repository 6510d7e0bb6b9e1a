/* stamp.c - writes the monotonic clock, in nanoseconds, into the file named
 * by its argument: the start of a command, for the handoff benchmarks. It
 * loads nothing but the C library, so that its own start costs little. */
#include <stdio.h>
#include <time.h>

int main(int argc, char **argv) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    if (argc != 2) return 2;
    FILE *f = fopen(argv[1], "w");
    if (f == NULL) return 1;
    fprintf(f, "%lld\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
    return fclose(f) == 0 ? 0 : 1;
}
