/* An application that knows nothing of tracing: three requests on COM PORT,
   each answer read only in part, so that the next write (and at the end a
   flush) discards the rest; then a byte asked for where none waits, a call
   on the closed port and an open of COM MISSING that fails. It prints every
   call it makes and its result, one a line, as the trace writes the call:
       exchange PORT MISSING
   The instrument on the far end answers "Q<n>?\r" with "A<n>:xyz\r\n". The
   program waits 30, 60 and 90 ms before it looks for each answer (and
   looks again until the answer is whole). */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 199309L /* nanosleep */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarvo.h"

#if defined(_WIN32)
#include <windows.h>
static void pause_ms(int ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
static void pause_ms(int ms) {
    struct timespec wait;
    wait.tv_sec = ms / 1000;
    wait.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&wait, NULL);
}
#endif

static void show(const char *call, int result) { printf("%s = %d\n", call, result); }

int main(int argc, char **argv) {
    static const int waits[3] = {30, 60, 90};
    char call[96], buffer[16];
    int port, missing, i, result, waited = 0;
    if (argc != 3) {
        fprintf(stderr, "usage: exchange PORT MISSING\n");
        return 2;
    }
    port = atoi(argv[1]);
    missing = atoi(argv[2]);
    setvbuf(stdout, NULL, _IONBF, 0);

    sprintf(call, "sio_open(%d)", port);
    result = sio_open(port);
    show(call, result);
    if (result != 0) return 1;
    sprintf(call, "sio_ioctl(%d, 12, 0x03)", port);
    show(call, sio_ioctl(port, 12, 0x03));
    for (i = 0; i < 3; ++i) {
        char request[8];
        sprintf(request, "Q%d?\r", i + 1);
        sprintf(call, "sio_write(%d, buffer, 4)", port);
        show(call, sio_write(port, request, 4));
        pause_ms(waits[i]);
        /* A loaded machine may deliver the answer later: look again, each
           look printed, until it is whole or 3 s have passed. */
        sprintf(call, "sio_iqueue(%d)", port);
        for (result = 0; result < 8 && waited < 3000; waited += 5) {
            result = sio_iqueue(port);
            show(call, result);
            if (result < 8) pause_ms(5);
        }
        waited = 0;
        sprintf(call, "sio_read(%d, buffer, 5)", port);
        result = sio_read(port, buffer, 5);
        show(call, result);
        if (result > 0) printf("  %.*s\n", result, buffer);
    }
    sprintf(call, "sio_flush(%d, 0)", port);
    show(call, sio_flush(port, 0));
    sprintf(call, "sio_getch(%d)", port);
    show(call, sio_getch(port));
    sprintf(call, "sio_close(%d)", port);
    show(call, sio_close(port));
    sprintf(call, "sio_iqueue(%d)", port);
    show(call, sio_iqueue(port));
    sprintf(call, "sio_open(%d)", missing);
    show(call, sio_open(missing));
    return 0;
}
