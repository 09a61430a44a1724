/* Record into the controller's data storage, wait until the recording has
 * finished, and write every stored value to a CSV file, one column per OUT.
 *
 *   example_storage_csv ADDRESS FILE.csv [MILLISECONDS]
 *
 * The controller records by itself once started; here the recording is
 * stopped after MILLISECONDS (default 300). A controller also stops by itself
 * when its storage is full; either way the storage watcher reports it.
 */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "quil.h"

#define DEVICE 0
#define OUTS 8              /* OUT1 to OUT8 */
#define MAX_POINTS 1200000  /* the most a controller stores per OUT */
#define WATCH_LIMIT_MS 5000 /* how long to wait for the watcher */

static atomic_int g_finished = 0;

/* The storage watcher: called on the library's poll thread (about once a
 * millisecond) while recording has stopped and data is stored. No library
 * lock is held here, so it could call the device's functions too; it only
 * raises a flag for the main thread. */
static void onStored(int32_t device) {
    (void)device;
    atomic_store(&g_finished, 1);
}

static void sleepMs(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static int fail(const char* what, int32_t r) {
    fprintf(stderr, "%s: %s (%d)\n", what, quil_result_name(r), (int)r);
    QUIL_CloseDevice(DEVICE);
    return 1;
}

int main(int argc, char** argv) {
    unsigned a, b, c, d;
    if (argc < 3 || sscanf(argv[1], "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        fprintf(stderr, "usage: example_storage_csv ADDRESS FILE.csv [MILLISECONDS]\n");
        return 2;
    }
    const uint8_t ip[4] = {(uint8_t)a, (uint8_t)b, (uint8_t)c, (uint8_t)d};
    const long recordMs = argc > 3 ? atol(argv[3]) : 300;

    quil_log_configure(NULL, QUIL_LOG_FROM_INI | QUIL_LOG_QUIET, 0);
    int32_t r = QUIL_OpenDeviceETHER(DEVICE, ip, 2000);
    if (r != QUIL_OK) {
        fprintf(stderr, "open: %s (%d)\n", quil_result_name(r), (int)r);
        return 1;
    }
    /* Clear what an earlier recording left, so that the watcher only reports
     * this one; then start the watcher and the recording. */
    if ((r = QUIL_DataStorageInit(DEVICE)) != QUIL_OK) return fail("clear", r);
    if ((r = QUIL_SetOneDataStorage(DEVICE, onStored)) != QUIL_OK) return fail("watcher", r);
    if ((r = QUIL_DataStorageStart(DEVICE)) != QUIL_OK) return fail("start", r);
    printf("recording for %ld ms\n", recordMs);
    sleepMs(recordMs);
    if ((r = QUIL_DataStorageStop(DEVICE)) != QUIL_OK) return fail("stop", r);

    for (long waited = 0; !atomic_load(&g_finished) && waited < WATCH_LIMIT_MS; waited += 10) sleepMs(10);
    if (!atomic_load(&g_finished)) {
        fprintf(stderr, "the watcher did not report a finished recording\n");
        QUIL_CloseDevice(DEVICE);
        return 1;
    }

    /* Which OUTs hold data: one number per OUT (non-zero: stored data). */
    int32_t recording = 0, outs[OUTS] = {0};
    if ((r = QUIL_DataStorageGetStatus(DEVICE, &recording, outs)) != QUIL_OK) return fail("status", r);

    /* One long "AO" reply per OUT. A special value (out of range, no valid
     * value) reads as -999. */
    float* values[OUTS] = {0};
    int32_t counts[OUTS] = {0};
    int32_t rows = 0;
    for (int out = 1; out <= OUTS; ++out) {
        if (outs[out - 1] == 0) continue;
        float* v = malloc(sizeof(float) * MAX_POINTS);
        if (!v) return fail("memory", QUIL_ERROR_UNKNOWN);
        r = QUIL_DataStorageGetData(DEVICE, out, MAX_POINTS, v, &counts[out - 1]);
        if (r != QUIL_OK) {
            free(v);
            return fail("read", r);
        }
        /* Keep only what was received. */
        float* kept = realloc(v, sizeof(float) * (counts[out - 1] > 0 ? counts[out - 1] : 1));
        values[out - 1] = kept ? kept : v;
        if (counts[out - 1] > rows) rows = counts[out - 1];
        printf("OUT%d: %d values\n", out, (int)counts[out - 1]);
    }
    /* Clearing the storage also ends the watcher's callbacks; closing the
     * device stops its thread. */
    QUIL_DataStorageInit(DEVICE);
    QUIL_CloseDevice(DEVICE);

    FILE* f = fopen(argv[2], "w");
    if (!f) {
        fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    fprintf(f, "index");
    for (int k = 0; k < OUTS; ++k)
        if (values[k]) fprintf(f, ",OUT%d", k + 1);
    fprintf(f, "\n");
    for (int32_t i = 0; i < rows; ++i) {
        fprintf(f, "%d", (int)i);
        for (int k = 0; k < OUTS; ++k) {
            if (!values[k]) continue;
            /* An OUT with fewer values leaves its cell empty. */
            if (i < counts[k])
                fprintf(f, ",%.7g", (double)values[k][i]);
            else
                fprintf(f, ",");
        }
        fprintf(f, "\n");
    }
    fclose(f);
    for (int k = 0; k < OUTS; ++k) free(values[k]);
    printf("wrote %d rows to %s\n", (int)rows, argv[2]);
    return 0;
}
