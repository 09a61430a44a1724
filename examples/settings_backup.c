/* Back up a controller's settings into a file, and restore them from it.
 *
 *   example_settings_backup backup ADDRESS FILE.xml
 *   example_settings_backup restore ADDRESS FILE.xml
 *
 * The file (XML) holds the whole configuration: the controller-wide settings
 * and, for each of the programs 0 to 7, the settings of the 4 heads, the 8
 * OUTs and those common to the program. A backup reads them all, one
 * exchange after another, and replaces FILE only once the new document is
 * complete. A restore writes every value the file holds with its setter; a
 * value the controller refuses leaves that setting as it was. Both select
 * the program that was active before them again. A backup can also be
 * restored into another controller of the same model, to set up a
 * replacement the same way; the network address in the file is never
 * written.
 */
#include <stdio.h>
#include <string.h>

#include "address.h"
#include "quil.h"

#define DEVICE 0

static long fileSize(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return -1;
    long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    fclose(f);
    return size;
}

int main(int argc, char** argv) {
    uint8_t ip[4];
    const int backup = argc == 4 && strcmp(argv[1], "backup") == 0;
    const int restore = argc == 4 && strcmp(argv[1], "restore") == 0;
    if ((!backup && !restore) || !parseAddress(argv[2], ip)) {
        fprintf(stderr, "usage: example_settings_backup backup|restore ADDRESS FILE.xml\n");
        return 2;
    }
    const char* path = argv[3];

    /* The restore prints the file's XML declaration on the console unless
     * the library is quiet. */
    quil_log_configure(NULL, QUIL_LOG_FROM_INI | QUIL_LOG_QUIET, 0);
    int32_t r = QUIL_OpenDeviceETHER(DEVICE, ip, 2000);
    if (r != QUIL_OK) {
        fprintf(stderr, "open %s: %s (%d)\n", argv[2], quil_result_name(r), (int)r);
        return 1;
    }
    /* One exchange per setting of every program, each with the 2 s reply
     * wait: a controller that stops answering ends the call with
     * QUIL_ERROR_TIMEOUT (a backup then leaves FILE as it was). */
    r = backup ? QUIL_DeriveFormula(DEVICE, path) : QUIL_SetFormula(DEVICE, path);
    int32_t program = -1;
    if (r == QUIL_OK) QUIL_GetProgramNo(DEVICE, &program);
    QUIL_CloseDevice(DEVICE);

    if (r != QUIL_OK) {
        /* QUIL_ERROR_PARAMETER: the backup could not write FILE, or the
         * restore could not read it as an XML document (nothing was sent). */
        fprintf(stderr, "%s %s: %s (%d): %s\n", argv[1], path, quil_result_name(r), (int)r, quil_result_message(r));
        return 1;
    }
    if (backup)
        printf("backed up the settings of %s into %s (%ld bytes)\n", argv[2], path, fileSize(path));
    else
        printf("restored the settings of %s from %s\n", argv[2], path);
    printf("active program: %d\n", (int)program);
    return 0;
}
