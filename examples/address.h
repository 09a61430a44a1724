/* The examples' reading of a controller's address from the command line. */
#ifndef QUIL_EXAMPLES_ADDRESS_H
#define QUIL_EXAMPLES_ADDRESS_H

#include <stdint.h>
#include <stdio.h>

/* "a.b.c.d" with each part 0 to 255 and nothing after it into ip; 0 when
 * text is no such address. */
static inline int parseAddress(const char* text, uint8_t ip[4]) {
    unsigned a, b, c, d;
    char tail;
    if (sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 || d > 255) return 0;
    ip[0] = (uint8_t)a, ip[1] = (uint8_t)b, ip[2] = (uint8_t)c, ip[3] = (uint8_t)d;
    return 1;
}

#endif
