/* tarvo.h from C, linked against the import library: the declarations
   compile as C and the names resolve to the DLL's exports. */
#include <stdio.h>

#include "tarvo.h"

static int failures = 0;

static void expect(const char *what, int got, int want) {
    if (got != want) {
        printf("FAIL %s: %d, expected %d\n", what, got, want);
        ++failures;
    }
}

int main(void) {
    char buffer[4];

    expect("sio_term_irq(1)", sio_term_irq(1), ERR_NOT_OPEN);
    expect("sio_read(1)", sio_read(1, buffer, (int)sizeof buffer), ERR_NOT_OPEN);
    expect("sio_write(16)", sio_write(16, "ab", 2), ERR_NOT_OPEN);
    expect("sio_open(0)", sio_open(0), ERR_BAD_PORT);
    expect("sio_ioctl(17, 12, 3)", sio_ioctl(17, 12, 3), ERR_BAD_PORT);
    expect("sio_setComPortNo(16, 250)", sio_setComPortNo(16, 250), 0);
    expect("sio_open(16) on COM250", sio_open(16), ERR_OPEN_FAILED);
    return failures == 0 ? 0 : 1;
}
