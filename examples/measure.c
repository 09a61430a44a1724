/* Open a controller, read the measured values of OUT1 to OUT4, close it.
 *
 *   example_measure 127.0.0.2
 */
#include <stdio.h>

#include "quil.h"

int main(int argc, char** argv) {
    uint8_t ip[4] = {127, 0, 0, 2};
    unsigned a, b, c, d;
    if (argc > 1 && sscanf(argv[1], "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
        ip[0] = (uint8_t)a, ip[1] = (uint8_t)b, ip[2] = (uint8_t)c, ip[3] = (uint8_t)d;
    }
    int32_t r = QUIL_OpenDeviceETHER(0, ip, 2000);
    if (r != QUIL_OK) {
        printf("open: %s (%d)\n", quil_result_name(r), (int)r);
        return 1;
    }
    QuilCalcData values[4];
    r = QUIL_GetCalcDataALL(0, values);
    if (r == QUIL_OK) {
        for (int i = 0; i < 4; ++i) {
            if (values[i].status == QUIL_VALUE_NORMAL)
                printf("OUT%d = %f\n", (int)values[i].OutNo, values[i].value);
            else
                printf("OUT%d: no valid value (status %d)\n", (int)values[i].OutNo, (int)values[i].status);
        }
    } else {
        printf("read: %s (%d)\n", quil_result_name(r), (int)r);
    }
    QUIL_CloseDevice(0);
    return r == QUIL_OK ? 0 : 1;
}
