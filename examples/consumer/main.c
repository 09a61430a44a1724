/* The smallest program built against an installed quil: it reports the
 * version it was compiled with and the one it runs with, and reads the model
 * code of a controller when given its address.
 *
 *   consumer [a.b.c.d]
 */
#include <stdio.h>

#include "quil.h"

int main(int argc, char** argv) {
    printf("compiled with quil %d.%d.%d, running with quil %s\n", QUIL_VERSION_MAJOR, QUIL_VERSION_MINOR,
           QUIL_VERSION_PATCH, quil_version());
    if (argc < 2) return 0;
    unsigned a, b, c, d;
    if (sscanf(argv[1], "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 2;
    const uint8_t ip[4] = {(uint8_t)a, (uint8_t)b, (uint8_t)c, (uint8_t)d};
    quil_log_configure(NULL, 0, 0);
    int32_t type = -1;
    int32_t r = QUIL_OpenDeviceETHER(0, ip, 2000);
    if (r == QUIL_OK) r = QUIL_GetDeviceType(0, &type);
    if (r != QUIL_OK) {
        printf("%s\n", quil_result_name(r));
        return 1;
    }
    printf("model code %d\n", (int)type);
    QUIL_CloseDevice(0);
    return 0;
}
