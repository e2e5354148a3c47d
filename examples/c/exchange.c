/*
 * The typical exchange with an instrument on port 1: open, 9600 bit/s 8N1,
 * send one request line, poll until the answer line has arrived, read it,
 * close. On Linux, COM1 is the device named by TARVO_COM1 (else /dev/ttyS0).
 *
 *   exchange [REQUEST]     REQUEST defaults to *IDN?
 *
 * Prints the answer; exit status 0 when a whole answer line arrived in time.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdio.h>
#include <string.h>

#include <tarvo.h>

#ifdef _WIN32
#include <windows.h>
static void pause_ms(int ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
static void pause_ms(int ms) {
    struct timespec pause;
    pause.tv_sec = ms / 1000;
    pause.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&pause, NULL);
}
#endif

enum { PORT = 1, RATE_9600 = 12, MODE_8N1 = 0x03, ANSWER_TIMEOUT_MS = 2000, POLL_MS = 10 };

static int failed(const char *call, int rc) {
    fprintf(stderr, "exchange: %s returned %d\n", call, rc);
    return 1;
}

int main(int argc, char **argv) {
    const char *request = argc > 1 ? argv[1] : "*IDN?";
    char line[256];
    char answer[256];
    int length, rc, have = 0, waited = 0, complete = 0;

    length = snprintf(line, sizeof line, "%s\r\n", request);
    if (length < 0 || length >= (int)sizeof line) {
        fprintf(stderr, "exchange: request too long\n");
        return 2;
    }

    rc = sio_open(PORT);
    if (rc < 0) return failed("sio_open", rc);
    rc = sio_ioctl(PORT, RATE_9600, MODE_8N1);
    if (rc < 0) {
        sio_close(PORT);
        return failed("sio_ioctl", rc);
    }

    /* Every write first empties both queues: the answer starts from nothing. */
    rc = sio_write(PORT, line, length);
    if (rc != length) {
        sio_close(PORT);
        return failed("sio_write", rc);
    }

    /* Receiving never waits, so poll until the line ending has arrived. */
    while (!complete && waited < ANSWER_TIMEOUT_MS) {
        int waiting = sio_iqueue(PORT);
        if (waiting < 0) {
            sio_close(PORT);
            return failed("sio_iqueue", waiting);
        }
        if (waiting == 0) {
            pause_ms(POLL_MS);
            waited += POLL_MS;
            continue;
        }
        rc = sio_read(PORT, answer + have, (int)sizeof answer - 1 - have);
        if (rc < 0) {
            sio_close(PORT);
            return failed("sio_read", rc);
        }
        have += rc;
        complete = (have > 0 && answer[have - 1] == '\n') || have == (int)sizeof answer - 1;
    }
    answer[have] = '\0';

    rc = sio_close(PORT);
    if (rc < 0) return failed("sio_close", rc);
    if (!complete) {
        fprintf(stderr, "exchange: no answer within %d ms (%d bytes)\n", ANSWER_TIMEOUT_MS, have);
        return 1;
    }
    printf("request: %s\nanswer:  %s", request, answer);
    return 0;
}
