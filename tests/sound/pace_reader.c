/* Stands in for a sound card behind ALSA's file plugin: copies raw audio from
 * standard input to a file, no faster than a given byte rate, so that the
 * writer is paced as by real hardware.
 *   pace_reader BYTES_PER_SECOND OUTPUT_FILE */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: pace_reader BYTES_PER_SECOND OUTPUT_FILE\n");
        return 2;
    }
    const double rate = atof(argv[1]);
    FILE* out = fopen(argv[2], "wb");
    if (rate <= 0 || !out) return 1;
    /* A one-page pipe and 10 ms per read keep the writer's lead small. */
    fcntl(0, F_SETPIPE_SZ, 4096);
    static char buffer[1 << 16];
    size_t chunk = (size_t)(rate / 100);
    if (chunk < 1) chunk = 1;
    if (chunk > sizeof buffer) chunk = sizeof buffer;
    const double start = Now();
    double total = 0;
    for (;;) {
        const ssize_t n = read(0, buffer, chunk);
        if (n <= 0) break;
        fwrite(buffer, 1, (size_t)n, out);
        total += (double)n;
        const double wait = start + total / rate - Now();
        if (wait > 0) {
            struct timespec t = {(time_t)wait, (long)((wait - (double)(time_t)wait) * 1e9)};
            nanosleep(&t, NULL);
        }
    }
    fclose(out);
    return 0;
}
