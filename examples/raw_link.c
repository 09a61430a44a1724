/* Minimal use of the library from C: connect the raw command link of device
 * number 0, ask the controller for its model code, disconnect.
 *
 *   example_raw_link 127.0.0.2
 */
#include <stdio.h>
#include <string.h>

#include "quil.h"

int main(int argc, char** argv) {
    const char* ip = argc > 1 ? argv[1] : "127.0.0.2";
    char reply[256];
    int32_t len = 0;
    printf("library version 0x%08x\n", (unsigned)VersionDll());
    if (LinkConnect(0, ip) != 0) {
        fprintf(stderr, "no controller at %s\n", ip);
        return 1;
    }
    /* quil_swap never writes more than the buffer holds: a longer answer
     * gives -2 and its length. */
    int32_t r = quil_swap(0, "MD\r\n", 4, reply, (int32_t)sizeof reply, &len, 2000);
    if (r == 0)
        printf("MD -> %.*s\n", (int)len, reply);
    else if (r == -2 && len > (int32_t)sizeof reply)
        printf("MD answer of %d bytes does not fit the buffer\n", (int)len);
    else
        printf("MD failed: %s\n", quil_code_name(QUIL_FAMILY_LINK, r));
    LinkDisconnect(0);
    return r == 0 ? 0 : 1;
}
