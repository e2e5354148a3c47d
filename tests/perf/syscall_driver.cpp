// Calls each sio_ function once between two markers, for syscalls_test to run
// under strace. A marker is a write to descriptor -1: it fails at once and
// shows in the trace with its text, e.g. write(-1, "<sio_read waiting>", 18).
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pty/pty_support.h"
#include "tarvo.h"

namespace {

void marker(const char* text) {
    // The result is the point: EBADF.
    const ssize_t rc = write(-1, text, std::strlen(text));
    (void)rc;
}

template <typename Call>
void traced(const char* name, Call call) {
    char text[96];
    std::snprintf(text, sizeof text, "<%s>", name);
    marker(text);
    const int rc = call();
    marker("</>");
    std::printf("%s = %d\n", name, rc);
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "syscall driver: %s failed\n", what);
    std::exit(2);
}

// Puts `count` bytes in the port's input queue and waits until they are there.
void feed(int master, int port, int count) {
    static const char bytes[64] = "abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz0";
    if (write(master, bytes, static_cast<std::size_t>(count)) != count) die("write master");
    while (sio_iqueue(port) < count) usleep(100);
}

// Takes whatever the library sent, so the master never fills up.
void drain_master(int master) {
    char sink[256];
    while (read(master, sink, sizeof sink) > 0) {
    }
}

}  // namespace

int main() {
    tarvo::pty::Pty pty;
    pty.map_as(7);
    const int master = pty.master();

    const int port = 1;
    char buffer[64];
    const char request[32] = "0123456789abcdefghijklmnopqrstu";

    traced("sio_setComPortNo", [&] { return sio_setComPortNo(port, 7); });
    traced("sio_open", [&] { return sio_open(port); });
    if (sio_term_irq(port) != 0) die("sio_open");
    traced("sio_ioctl", [&] { return sio_ioctl(port, 12, 0x03); });
    traced("sio_baud", [&] { return sio_baud(port, 115200); });
    traced("sio_flowctrl", [&] { return sio_flowctrl(port, 0); });
    traced("sio_RTS", [&] { return sio_RTS(port, 1); });
    traced("sio_DTR", [&] { return sio_DTR(port, 1); });
    traced("sio_enableat", [&] { return sio_enableat(port); });
    traced("sio_disableat", [&] { return sio_disableat(port); });
    traced("sio_term_irq", [&] { return sio_term_irq(port); });

    feed(master, port, 40);
    traced("sio_iqueue", [&] { return sio_iqueue(port); });
    traced("sio_getch waiting", [&] { return sio_getch(port); });
    traced("sio_read waiting", [&] { return sio_read(port, buffer, 10); });
    traced("sio_read length 0", [&] { return sio_read(port, buffer, 0); });
    traced("sio_flush 0", [&] { return sio_flush(port, 0); });
    traced("sio_getch empty", [&] { return sio_getch(port); });
    traced("sio_read empty", [&] { return sio_read(port, buffer, 10); });
    traced("sio_write", [&] { return sio_write(port, request, 32); });
    drain_master(master);
    traced("sio_write 0 bytes", [&] { return sio_write(port, request, 0); });
    traced("sio_flush 1", [&] { return sio_flush(port, 1); });
    traced("sio_flush 2", [&] { return sio_flush(port, 2); });
    traced("sio_flush 3", [&] { return sio_flush(port, 3); });
    traced("sio_close", [&] { return sio_close(port); });
    traced("sio_open again", [&] { return sio_open(port); });
    traced("sio_close again", [&] { return sio_close(port); });

    // A closed port: the open test answers before any device call.
    traced("closed sio_term_irq", [&] { return sio_term_irq(port); });
    traced("closed sio_iqueue", [&] { return sio_iqueue(port); });
    traced("closed sio_getch", [&] { return sio_getch(port); });
    traced("closed sio_read", [&] { return sio_read(port, buffer, 10); });
    traced("closed sio_write", [&] { return sio_write(port, request, 32); });
    traced("closed sio_flush", [&] { return sio_flush(port, 2); });
    traced("closed sio_close", [&] { return sio_close(port); });
    traced("closed sio_baud", [&] { return sio_baud(port, 9600); });
    traced("closed sio_ioctl", [&] { return sio_ioctl(port, 12, 0x03); });
    traced("closed sio_flowctrl", [&] { return sio_flowctrl(port, 1); });
    traced("closed sio_RTS", [&] { return sio_RTS(port, 1); });
    traced("closed sio_DTR", [&] { return sio_DTR(port, 1); });
    traced("closed sio_enableat", [&] { return sio_enableat(port); });
    traced("closed sio_disableat", [&] { return sio_disableat(port); });
    return 0;
}
