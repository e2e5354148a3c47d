/* Uses Tarvo.dll as an application that knows only its export names does:
   LoadLibrary, GetProcAddress by plain name, calls through cdecl pointers.
   Exit status 0 when every check holds. */
#include <windows.h>

#include <stdio.h>

typedef int(__cdecl *port_fn)(int);
typedef int(__cdecl *port_value_fn)(int, int);
typedef int(__cdecl *port_buffer_fn)(int, char *, int);
typedef int(__cdecl *port_send_fn)(int, const char *, int);

static const char *const names[16] = {
    "sio_setComPortNo", "sio_open", "sio_close", "sio_term_irq", "sio_iqueue", "sio_getch",
    "sio_read", "sio_write", "sio_flush", "sio_baud", "sio_ioctl", "sio_flowctrl",
    "sio_RTS", "sio_DTR", "sio_enableat", "sio_disableat"};

/* Names a compiler would have produced for other calling conventions or for
   C++ linkage; none of them may resolve. */
static const char *const wrong_names[] = {"_sio_open", "sio_open@4", "_sio_open@4", "@sio_open@4",
                                          "?sio_open@@YAHH@Z", "_Z8sio_openi", "SIO_OPEN"};

static int failures = 0;

static void expect(const char *what, int got, int want) {
    if (got != want) {
        printf("FAIL %s: %d, expected %d\n", what, got, want);
        ++failures;
    }
}

typedef void (*any_fn)(void);
static any_fn find(HMODULE dll, const char *name) { return (any_fn)GetProcAddress(dll, name); }

#if defined(__i386__)
/* Calls fn(0, 0, 0) by hand and reports how many argument bytes are still on
   the stack afterwards: 12 when the callee leaves them to the caller (cdecl),
   fewer when it pops its own (stdcall). Port 0 makes every function return
   -20001 before it looks at any other argument. */
static int argument_bytes_left(any_fn fn, int *result) {
    int left;
    int rc;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "pushl $0\n\t"
        "pushl $0\n\t"
        "pushl $0\n\t"
        "call *%2\n\t"
        "movl %%esi, %%ecx\n\t"
        "subl %%esp, %%ecx\n\t"
        "movl %%esi, %%esp"
        : "=c"(left), "=a"(rc)
        : "r"(fn)
        : "edx", "esi", "memory", "cc");
    *result = rc;
    return left;
}
#endif

int main(void) {
    HMODULE dll = LoadLibraryA("Tarvo.dll");
    any_fn fns[16];
    char buffer[8];
    size_t i;

    if (dll == NULL) {
        printf("FAIL LoadLibrary(Tarvo.dll): error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    for (i = 0; i < 16; ++i) {
        fns[i] = find(dll, names[i]);
        if (fns[i] == NULL) {
            printf("FAIL GetProcAddress(%s)\n", names[i]);
            ++failures;
        }
    }
    for (i = 0; i < sizeof wrong_names / sizeof wrong_names[0]; ++i) {
        if (find(dll, wrong_names[i]) != NULL) {
            printf("FAIL %s resolves\n", wrong_names[i]);
            ++failures;
        }
    }
    if (failures) return 1;

#if defined(__i386__)
    for (i = 0; i < 16; ++i) {
        int result = 0;
        const int left = argument_bytes_left(fns[i], &result);
        if (left != 12) {
            printf("FAIL %s is not cdecl: %d argument bytes left on the stack, expected 12\n", names[i], left);
            ++failures;
        }
        expect(names[i], result, -20001);
    }
#endif

    {
        port_value_fn setComPortNo = (port_value_fn)fns[0];
        port_fn open = (port_fn)fns[1], close = (port_fn)fns[2], term_irq = (port_fn)fns[3];
        port_fn iqueue = (port_fn)fns[4], getch = (port_fn)fns[5];
        port_buffer_fn read = (port_buffer_fn)fns[6];
        port_send_fn write = (port_send_fn)fns[7];
        port_value_fn flush = (port_value_fn)fns[8], baud = (port_value_fn)fns[9];
        port_value_fn flowctrl = (port_value_fn)fns[11], rts = (port_value_fn)fns[12], dtr = (port_value_fn)fns[13];
        port_fn enableat = (port_fn)fns[14], disableat = (port_fn)fns[15];
        int (__cdecl *ioctl)(int, int, int) = (int(__cdecl *)(int, int, int))fns[10];
        int port;

        /* Freshly loaded: every port closed. */
        for (port = 1; port <= 16; ++port) expect("sio_term_irq(1..16)", term_irq(port), -20004);
        expect("sio_close(1)", close(1), -20004);
        expect("sio_iqueue(16)", iqueue(16), -20004);
        expect("sio_getch(2)", getch(2), -20004);
        expect("sio_read(3)", read(3, buffer, (int)sizeof buffer), -20004);
        expect("sio_write(4)", write(4, "x", 1), -20004);
        expect("sio_flush(5, 2)", flush(5, 2), -20004);
        expect("sio_baud(6, 9600)", baud(6, 9600), -20004);
        expect("sio_ioctl(7, 12, 3)", ioctl(7, 12, 3), -20004);
        expect("sio_flowctrl(8, 0)", flowctrl(8, 0), -20004);
        expect("sio_RTS(9, 1)", rts(9, 1), -20004);
        expect("sio_DTR(10, 1)", dtr(10, 1), -20004);
        expect("sio_enableat(11)", enableat(11), -20004);
        expect("sio_disableat(12)", disableat(12), -20004);

        /* Port numbers outside 1..16. */
        expect("sio_open(0)", open(0), -20001);
        expect("sio_open(17)", open(17), -20001);
        expect("sio_close(-1)", close(-1), -20001);
        expect("sio_setComPortNo(17, 1)", setComPortNo(17, 1), -20001);
        expect("sio_getch(0)", getch(0), -20001);
        expect("sio_flush(17, 0)", flush(17, 0), -20001);
        expect("sio_ioctl(0, 12, 3)", ioctl(0, 12, 3), -20001);
        expect("sio_write(17)", write(17, "x", 1), -20001);

        /* A COM device that does not exist: the real CreateFileA fails. */
        expect("sio_setComPortNo(1, 250)", setComPortNo(1, 250), 0);
        expect("sio_open(1) on COM250", open(1), -20002);
        expect("sio_term_irq(1) after the failed open", term_irq(1), -20004);
    }

    FreeLibrary(dll);
    if (failures == 0) printf("Tarvo.dll: 16 exports resolved, result codes as expected\n");
    return failures == 0 ? 0 : 1;
}
