/* Read the measured values of several controllers at once, one thread per
 * controller, each with a device number of its own.
 *
 *   example_read_several [--reads N] ADDRESS [ADDRESS...]
 *
 * Calls on different device numbers run in parallel inside the library;
 * calls on one device number are serialised by its lock. Here every thread
 * opens, reads and closes only its own device number, which is the simple
 * rule that keeps a program safe: never close a device while another thread
 * may still be using it.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "address.h"
#include "quil.h"

#define MAX_CONTROLLERS 64 /* device numbers 0 to 63 */

struct Job {
    int32_t device;      /* the device number this thread owns */
    const char* address; /* "a.b.c.d" */
    int reads;
    int done;   /* successful reads */
    int failed; /* failed reads */
    int32_t openResult;
};

static void* readController(void* arg) {
    struct Job* job = arg;
    uint8_t ip[4];
    parseAddress(job->address, ip); /* checked in main */
    /* Connecting waits at most 2000 ms. */
    job->openResult = QUIL_OpenDeviceETHER(job->device, ip, 2000);
    if (job->openResult != QUIL_OK) return NULL;
    for (int n = 1; n <= job->reads; ++n) {
        QuilCalcData v[4];
        /* One "MA" exchange: OUT1 to OUT4, each value in its OUT's display
         * unit, or a status saying why there is no number. */
        int32_t r = QUIL_GetCalcDataALL(job->device, v);
        if (r != QUIL_OK) {
            ++job->failed;
            printf("device %d %s: read %d failed: %s (%d)\n", (int)job->device, job->address, n, quil_result_name(r),
                   (int)r);
            continue;
        }
        ++job->done;
        char line[256];
        int used = snprintf(line, sizeof line, "device %d %s: read %d:", (int)job->device, job->address, n);
        for (int i = 0; i < 4 && used < (int)sizeof line; ++i) {
            if (v[i].status == QUIL_VALUE_NORMAL)
                used += snprintf(line + used, sizeof line - used, " OUT%d=%.3f", (int)v[i].OutNo, v[i].value);
            else
                used +=
                    snprintf(line + used, sizeof line - used, " OUT%d=(status %d)", (int)v[i].OutNo, (int)v[i].status);
        }
        /* One printf per line, so that the threads' lines do not mix. */
        printf("%s\n", line);
    }
    /* The thread that opened the device closes it: no other thread uses it. */
    QUIL_CloseDevice(job->device);
    return NULL;
}

int main(int argc, char** argv) {
    struct Job jobs[MAX_CONTROLLERS];
    pthread_t threads[MAX_CONTROLLERS];
    int reads = 5, count = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--reads") == 0 && i + 1 < argc) {
            reads = atoi(argv[++i]);
            continue;
        }
        uint8_t ip[4];
        if (!parseAddress(argv[i], ip) || count == MAX_CONTROLLERS) {
            fprintf(stderr, "usage: example_read_several [--reads N] ADDRESS [ADDRESS...] (at most 64)\n");
            return 2;
        }
        jobs[count] = (struct Job){.device = count, .address = argv[i], .reads = reads};
        ++count;
    }
    if (count == 0 || reads < 1) {
        fprintf(stderr, "usage: example_read_several [--reads N] ADDRESS [ADDRESS...]\n");
        return 2;
    }
    /* Before the first open: keep the trace log switched by EnableLogout.ini
     * (beside the program, or in $QUIL_LOG_DIR), but print nothing on the
     * console. */
    quil_log_configure(NULL, QUIL_LOG_FROM_INI | QUIL_LOG_QUIET, 0);

    for (int i = 0; i < count; ++i) pthread_create(&threads[i], NULL, readController, &jobs[i]);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        pthread_join(threads[i], NULL);
        const struct Job* j = &jobs[i];
        if (j->openResult != QUIL_OK) {
            printf("device %d %s: open failed: %s (%d)\n", (int)j->device, j->address, quil_result_name(j->openResult),
                   (int)j->openResult);
            ++failures;
        } else {
            printf("device %d %s: %d reads, %d failed\n", (int)j->device, j->address, j->done, j->failed);
            failures += j->failed != 0;
        }
    }
    return failures == 0 ? 0 : 1;
}
