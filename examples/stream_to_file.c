/* Stream measured values into a CSV file, print the rate once a second, and
 * print what the run received and skipped at the end.
 *
 *   example_stream_to_file ADDRESS FILE.csv [SECONDS] [BATCH]
 *
 * The stream opens connections of its own (the command link and the roll
 * link), so this program does not call QUIL_OpenDeviceETHER: a stream on a
 * device number that QUIL_OpenDeviceETHER opened would close that device's
 * connection.
 */
#include <inttypes.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "quil.h"

#define DEVICE 0

static FILE* g_file;
static atomic_llong g_rows = 0;  /* rows written: values per channel */
static atomic_int g_ended = 0;   /* the run ended by itself */
static atomic_int g_status = -1; /* status of the last callback */
static int g_header = 0;

/* One CSV line: the header (names of the channels in mask) or the values
 * of index i of those channels. */
static void writeLine(int32_t mask, int32_t* const ch[4], int32_t i) {
    const char* separator = "";
    for (int k = 0; k < 4; ++k) {
        if (!(mask & (1 << k))) continue;
        if (ch)
            fprintf(g_file, "%s%" PRId32, separator, ch[k][i]);
        else
            fprintf(g_file, "%schannel%d", separator, k + 1);
        separator = ",";
    }
    fputc('\n', g_file);
}

/* Called on the library's receive thread, one call at a time. The four
 * buffers hold count values per channel (only the channels in mask) and are
 * overwritten once this returns, so they are written out here. A batch
 * carries at least BATCH values: the library calls back per packet once that
 * many have arrived. Status 1 (connection lost) and 16 (stopped) may carry the
 * values of an unfinished batch; mask 0 and count 0 is the end of the stream. */
static void onBatch(int32_t* ch1, int32_t* ch2, int32_t* ch3, int32_t* ch4, int32_t mask, int32_t count, int32_t status,
                    int32_t device) {
    (void)device;
    int32_t* const ch[4] = {ch1, ch2, ch3, ch4};
    atomic_store(&g_status, status);
    if (mask != 0) {
        if (!g_header) writeLine(mask, NULL, 0);
        g_header = 1;
        for (int32_t i = 0; i < count; ++i) writeLine(mask, ch, i);
        atomic_fetch_add(&g_rows, count);
    }
    /* The controller ended the stream, or the roll connection failed: no
     * more batches come, but the run still has to be stopped. */
    if ((status == 0 && mask == 0 && count == 0) || status == 1) atomic_store(&g_ended, 1);
}

static void sleepMs(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static double nowSeconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: example_stream_to_file ADDRESS FILE.csv [SECONDS] [BATCH]\n");
        return 2;
    }
    const int seconds = argc > 3 ? atoi(argv[3]) : 3;
    const long batch = argc > 4 ? atol(argv[4]) : 1000;
    if (seconds < 1 || batch < 1 || batch > 1200000) {
        fprintf(stderr, "SECONDS must be 1 or more, BATCH 1 to 1200000\n");
        return 2;
    }
    if (!(g_file = fopen(argv[2], "w"))) {
        fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    quil_log_configure(NULL, QUIL_LOG_FROM_INI | QUIL_LOG_QUIET, 0);

    /* The stream's codes are a family of their own (-997 bad argument, -987
     * a run not yet stopped, ...): quil_code_name names them. */
    int32_t r = QUIL_StartRollPoint(DEVICE, argv[1], onBatch, (uint32_t)batch);
    if (r != 0) {
        fprintf(stderr, "start: %s (%d)\n", quil_code_name(QUIL_FAMILY_STREAM, r), (int)r);
        fclose(g_file);
        return 1;
    }
    long long before = 0;
    double last = nowSeconds();
    for (int s = 0; s < seconds && !atomic_load(&g_ended); ++s) {
        sleepMs(1000);
        const double now = nowSeconds();
        const long long rows = atomic_load(&g_rows);
        QuilRollStats st;
        QUIL_GetRollStats(DEVICE, &st); /* counters of the run so far, from any thread */
        printf("%2d s: %lld values per channel, %.0f values/s, %" PRIu64 " packets, %" PRIu64 " bytes skipped\n", s + 1,
               rows, (double)(rows - before) / (now - last), st.packets, st.bytesDiscarded);
        fflush(stdout);
        before = rows;
        last = now;
    }
    /* Stops the run (a last callback with status 16) and closes both links;
     * also needed after a run that ended by itself. */
    QUIL_StopRollPoint(DEVICE);
    fclose(g_file);

    QuilRollStats st;
    if (QUIL_GetRollStats(DEVICE, &st) == 0) {
        printf("statistics: packets %" PRIu64 ", values %" PRIu64 "/%" PRIu64 "/%" PRIu64 "/%" PRIu64
               ", bytes discarded %" PRIu64 ", bad headers %" PRIu64 ", oversize %" PRIu64 ", misframed %" PRIu64
               ", overfill dropped %" PRIu64 ", callbacks %" PRIu64 "\n",
               st.packets, st.values[0], st.values[1], st.values[2], st.values[3], st.bytesDiscarded, st.badHeaders,
               st.oversizePackets, st.misframedPackets, st.overfillDropped, st.callbacks);
    }
    printf("last status %d; wrote %lld rows to %s\n", atomic_load(&g_status), (long long)atomic_load(&g_rows), argv[2]);
    return atomic_load(&g_rows) > 0 ? 0 : 1;
}
