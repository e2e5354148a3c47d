// Nothing here allocates: ports live in a fixed array, one per pool entry.
#include "device/posix/terminal_port.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "device/posix/handle_pool.h"
#include "device/posix/last_error.h"
#include "device/posix/terminal_probe.h"
#include "device/posix/termios_map.h"
#include "device/posix/transfer_support.h"

namespace tarvo::posix {

using namespace tarvo::dev;

namespace {

int ioctl_retry(int fd, unsigned long request, void* argument) {
    int rc = 0;
    do {
        rc = ::ioctl(fd, request, argument);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

void sleep_us(std::uint64_t micros) {
    timespec pause{static_cast<time_t>(micros / 1000000u), static_cast<long>(micros % 1000000u) * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Milliseconds left until `deadline` for poll(): -1 for none, 0 once passed.
int poll_wait(std::uint64_t deadline) { return deadline == 0 ? -1 : left_ms(deadline); }

ModemLines modem_lines(int fd) {
    int bits = 0;
    if (ioctl_retry(fd, TIOCMGET, &bits) != 0) return ModemLines{false, false, false};
    return ModemLines{true, (bits & TIOCM_RTS) != 0, (bits & TIOCM_DTR) != 0};
}

// Drives a line the block sets steadily; handshake and toggle are the
// driver's business. A device without modem lines (a pty) refuses the
// ioctl, which is no fault of the settings.
void set_line(int fd, DWORD control, int bit) {
    if (control != RTS_CONTROL_DISABLE && control != RTS_CONTROL_ENABLE) return;
    int bits = bit;
    ioctl_retry(fd, control == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &bits);
}

class TerminalPort final : public Port {
public:
    bool open(const char* path);
    ~TerminalPort();

    BOOL close() override;
    BOOL clear_comm_error(DWORD* errors, COMSTAT* stat) override;
    BOOL purge(DWORD flags) override;
    BOOL read(void* buffer, DWORD toRead, DWORD& got) override;
    BOOL write(const void* buffer, DWORD toWrite, DWORD& sent) override;
    BOOL wait_input(DWORD count, DWORD timeoutMs, DWORD& waiting) override;
    BOOL get_state(DCB& dcb) override;
    BOOL set_state(const DCB& dcb) override;
    BOOL modem_status(DWORD& lines) override;
    BOOL set_break(bool on) override;

private:
    bool queued_input(DWORD& waiting);
    void pause_for_rest(DWORD missing, int leftMs);
    Transfer hand_over(const unsigned char* bytes, DWORD toWrite, std::uint64_t deadline, DWORD& sent, int& error);
    int wait_for_drain(std::uint64_t deadline, DWORD written);
    void drop_unsent(DWORD& sent);
    bool drop_queued_output();

    bool take_hold(int fd, bool ptySlave);
    void give_up_hold(int fd);

    int fd_ = -1;
    // The process that took the hold (0: none), and whether TIOCEXCL is part of it.
    pid_t holder_ = 0;
    unsigned forksAtHold_ = 0;  // `forks` when the hold was taken
    bool exclusive_ = false;
    bool ptySlave_ = false;
    // The last block applied: fields the terminal cannot hold, and the RTS and
    // DTR settings last made, for devices without modem lines.
    DCB shadow_{};
    // The terminal settings as last read or written. Every change of settings
    // reads them fresh with get_state first, so set_state applies the block
    // onto this copy instead of reading the terminal a second time.
    termios2 settings_{};
};

// getpid is a system call (glibc keeps no copy); the id changes only in a
// forked child, which the fork handlers tell. `forks` counts the forks seen
// on either side: a descriptor opened since the last one is this process's
// alone.
std::atomic<pid_t> processId{0};
std::atomic<unsigned> forks{0};

bool fork_handlers() {
    static const bool watched =
        pthread_atfork(nullptr, [] { forks.fetch_add(1); }, [] {
            processId.store(0);
            forks.fetch_add(1);
        }) == 0;
    return watched;
}

bool this_process_watched() { return fork_handlers(); }

pid_t this_process() {
    const bool watched = fork_handlers();  // before the id is taken: no fork may go unseen after it
    pid_t id = processId.load(std::memory_order_relaxed);
    if (id == 0 || !watched) {
        id = ::getpid();
        processId.store(id, std::memory_order_relaxed);
    }
    return id;
}

TerminalPort terminals[POOL_SIZE];

// Exclusive, raw, nonblocking. Nothing about the device changes before it is
// known to be a serial device and ours: a refused open leaves it as it was.
// The console is refused before it is opened: an open alone raises a serial
// port's modem lines.
bool TerminalPort::open(const char* path) {
    if (is_console_path(path)) return fail(ERROR_DEVICE_IN_USE);
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        set_last_error(open_error(errno));
        return false;
    }
    termios2 tio{};
    const DeviceNature nature = examine_device(fd, &tio);
    DWORD error = ERROR_SUCCESS;
    if (!nature.serialCandidate) {
        error = ERROR_NOT_SUPPORTED;
    } else if (is_console_number(nature.number)) {
        error = ERROR_DEVICE_IN_USE;  // the path was changed under us between the look and the open
    } else if (!take_hold(fd, nature.ptySlave)) {
        error = ERROR_SHARING_VIOLATION;
    } else {
        // A device raw already (as every reopen finds it) is not set again.
        const termios2 found = tio;
        make_raw(tio);
        if (std::memcmp(&found, &tio, sizeof tio) != 0 && ioctl_retry(fd, TCSETS2, &tio) != 0)
            error = error_from_errno(errno);
    }
    if (error != ERROR_SUCCESS) {
        if (holder_ != 0) give_up_hold(fd);  // taken just now, by this process
        ::close(fd);
        return fail(error);
    }
    fd_ = fd;
    ptySlave_ = nature.ptySlave;
    shadow_ = initial_control_block(tio);
    settings_ = tio;
    reset_shared();
    return true;
}

// The hold every opener meets is flock on the device file: root cannot pass
// it, and it belongs to this open of the device, so it ends with the last
// descriptor of it however the holder ends. TIOCEXCL adds a hold on the
// terminal itself, whatever device file reached it, for openers that know
// nothing of flock; a terminal that is exclusive already is someone else's,
// even to root. On a pty slave TIOCEXCL outlives every descriptor for as
// long as the master is open, so it is neither set nor trusted there.
bool TerminalPort::take_hold(int fd, bool ptySlave) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    if (!ptySlave) {
        if (marked_exclusive(fd)) {
            ::flock(fd, LOCK_UN);
            return false;
        }
        exclusive_ = ioctl_retry(fd, TIOCEXCL, nullptr) == 0;
    }
    holder_ = this_process();
    forksAtHold_ = forks.load();
    return true;
}

// flock and TIOCEXCL both hold for every process that shares the descriptor,
// a forked child included: only the process that took them lets them go.
void TerminalPort::give_up_hold(int fd) {
    // A hung-up terminal refuses the ioctl; its close releases it anyway.
    if (exclusive_) ioctl_retry(fd, TIOCNXCL, nullptr);
    ::flock(fd, LOCK_UN);
    exclusive_ = false;
    holder_ = 0;
}

// A process that ends with the port open loses its flock with its last
// descriptor, but TIOCEXCL belongs to the terminal and lasts until the
// terminal's last descriptor closes: while another program holds one, every
// later open would find the port someone else's. So it goes at exit. The
// descriptor stays open for any thread still using it; the exit closes it.
TerminalPort::~TerminalPort() {
    if (fd_ >= 0 && exclusive_ && holder_ == this_process()) ioctl_retry(fd_, TIOCNXCL, nullptr);
}

BOOL TerminalPort::close() {
    // The flock goes with the last descriptor of this open of the device: it
    // needs letting go only where a fork shares the descriptor.
    if (holder_ == this_process()) {
        if (forks.load() != forksAtHold_ || !this_process_watched()) {
            give_up_hold(fd_);
        } else if (exclusive_) {
            ioctl_retry(fd_, TIOCNXCL, nullptr);
        }
    }
    // close() gives the descriptor back even when it reports an error.
    ::close(fd_);
    fd_ = -1;
    holder_ = 0;
    exclusive_ = false;
    return TRUE;
}

BOOL TerminalPort::clear_comm_error(DWORD* errors, COMSTAT* stat) {
    int waiting = 0;
    if (ioctl_retry(fd_, FIONREAD, &waiting) != 0) return fail(error_from_errno(errno));
    // Line errors reach a raw terminal as data; there is no condition to clear.
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = waiting > 0 ? static_cast<DWORD>(waiting) : 0;
    }
    return TRUE;
}

BOOL TerminalPort::purge(DWORD flags) {
    // Nothing runs in the background here, so the abort bits have nothing to abort.
    if ((flags & PURGE_RXCLEAR) != 0 && ::ioctl(fd_, TCFLSH, TCIFLUSH) != 0) return fail(error_from_errno(errno));
    if ((flags & PURGE_TXCLEAR) != 0 && !drop_queued_output()) return fail(error_from_errno(errno));
    return TRUE;
}

// Discards only what the driver still queues. A write returns once its bytes
// have left that queue, and what has left it is sent: on a pty TCOFLUSH would
// empty the peer's unread input instead, destroying bytes counted as sent.
// The driver's queue of a pty is always empty, so a pty is never flushed,
// nor asked.
bool TerminalPort::drop_queued_output() {
    if (ptySlave_) return true;
    int queued = 0;
    if (ioctl_retry(fd_, TIOCOUTQ, &queued) != 0) return false;
    return queued <= 0 || ::ioctl(fd_, TCFLSH, TCOFLUSH) == 0;
}

BOOL TerminalPort::read(void* buffer, DWORD toRead, DWORD& got) {
    ssize_t count = 0;
    do {
        count = ::read(fd_, buffer, toRead);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return TRUE;
        return fail(error_from_errno(errno));
    }

    got = delivered(static_cast<unsigned char*>(buffer), static_cast<DWORD>(count));
    return TRUE;
}

BOOL TerminalPort::write(const void* buffer, DWORD toWrite, DWORD& sent) {
    const std::uint64_t deadline = write_deadline_for(toWrite);
    int error = 0;
    Transfer ended = hand_over(static_cast<const unsigned char*>(buffer), toWrite, deadline, sent, error);
    // A pty slave queues nothing once a write returns: there is no drain to wait for.
    if (ended == Transfer::Done && !ptySlave_ && wait_for_drain(deadline, sent) > 0) ended = Transfer::TimedOut;
    if (ended == Transfer::TimedOut) drop_unsent(sent);
    if (ended == Transfer::Broken) return fail(error_from_errno(error));
    return TRUE;
}

// poll() tells only that some input waits: it sleeps in the kernel until the
// first byte comes, and costs little when bytes are there already, so it
// comes before the count is asked. Once part of the count is there poll()
// would return at once, so the rest is waited for by its time on the line.
BOOL TerminalPort::wait_input(DWORD count, DWORD timeoutMs, DWORD& waiting) {
    const std::uint64_t deadline = now_ms() + timeoutMs;
    waiting = 0;
    for (;;) {
        const int left = left_ms(deadline);
        pollfd watch{fd_, POLLIN, 0};
        const int ready = ::poll(&watch, 1, waiting > 0 ? 0 : left);
        if (ready < 0 && errno != EINTR) return fail(error_from_errno(errno));
        if (!queued_input(waiting)) return FALSE;
        if (waiting >= count) return TRUE;
        // What came before the hang-up is not enough.
        if (ready > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return fail(ERROR_GEN_FAILURE);
        if (left == 0) return TRUE;
        if (waiting > 0) pause_for_rest(count - waiting, left);
    }
}

bool TerminalPort::queued_input(DWORD& waiting) {
    int queued = 0;
    if (ioctl_retry(fd_, FIONREAD, &queued) != 0) return fail(error_from_errno(errno));
    waiting = queued > 0 ? static_cast<DWORD>(queued) : 0;
    return true;
}

// The line time of `missing` bytes, at least 0.2 ms, at most `leftMs`.
void TerminalPort::pause_for_rest(DWORD missing, int leftMs) {
    std::uint64_t pause = line_time_us(missing, settings_);
    if (pause < 200) pause = 200;
    const std::uint64_t most = static_cast<std::uint64_t>(leftMs) * 1000u;
    sleep_us(pause < most ? pause : most);
}

// Gives the bytes to the driver, waiting whenever its queue is full.
TerminalPort::Transfer TerminalPort::hand_over(const unsigned char* bytes, DWORD toWrite, std::uint64_t deadline,
                                               DWORD& sent, int& error) {
    while (sent < toWrite) {
        const ssize_t put = ::write(fd_, bytes + sent, toWrite - sent);
        if (put > 0) {
            sent += static_cast<DWORD>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
            return Transfer::Broken;
        }
        const int wait = poll_wait(deadline);
        if (wait == 0) return Transfer::TimedOut;
        pollfd watch{fd_, POLLOUT, 0};
        const int ready = ::poll(&watch, 1, wait);
        if (ready < 0 && errno != EINTR) {
            error = errno;
            return Transfer::Broken;
        }
        if (ready > 0 && !(watch.revents & POLLOUT) && (watch.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            error = EIO;
            return Transfer::Broken;
        }
    }
    return Transfer::Done;
}

// Waits until the output queue has drained or the deadline (0: none) has
// passed. Only a timed wait can see the queue drain, so sleep about as long
// as the queued bytes take on the line, counting no more than the `written`
// bytes of this write: a USB driver counts its queue in whole transfers
// (cdc_acm: 10240 bytes a block in flight), which would keep a 5-byte write
// at 9600 bit/s waiting 10 s for a block that left at once. Returns the
// bytes still queued.
int TerminalPort::wait_for_drain(std::uint64_t deadline, DWORD written) {
    for (;;) {
        int queued = 0;
        if (ioctl_retry(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return 0;
        termios2 tio{};
        if (ioctl_retry(fd_, TCGETS2, &tio) != 0) return 0;
        const std::uint64_t owed = std::min<std::uint64_t>(static_cast<std::uint64_t>(queued), written);
        std::uint64_t pause = line_time_us(owed, tio);
        if (pause < 1000) pause = 1000;
        if (deadline != 0) {
            const std::uint64_t now = now_ms();
            if (now >= deadline) return queued;
            const std::uint64_t left_us = (deadline - now) * 1000u;
            if (pause > left_us) pause = left_us;
        }
        sleep_us(pause);
    }
}

// Like a timed-out Windows write: what has not gone out is dropped and not
// counted.
void TerminalPort::drop_unsent(DWORD& sent) {
    int queued = 0;
    if (ioctl_retry(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
        ::ioctl(fd_, TCFLSH, TCOFLUSH);
        sent = static_cast<DWORD>(queued) < sent ? sent - static_cast<DWORD>(queued) : 0;
    }
}

BOOL TerminalPort::get_state(DCB& dcb) {
    termios2 tio{};
    if (ioctl_retry(fd_, TCGETS2, &tio) != 0) return fail(error_from_errno(errno));
    settings_ = tio;
    dcb = read_control_block(tio, shadow_, modem_lines(fd_));
    dcb.fNull = null_setting();
    return TRUE;
}

BOOL TerminalPort::set_state(const DCB& dcb) {
    termios2 tio = settings_;
    if (!apply_control_block(dcb, tio)) return fail(ERROR_INVALID_PARAMETER);
    if (ioctl_retry(fd_, TCSETS2, &tio) != 0) return fail(error_from_errno(errno));
    // The kernel reports success if the driver took any part of the settings.
    termios2 made{};
    if (ioctl_retry(fd_, TCGETS2, &made) != 0) return fail(error_from_errno(errno));
    if (!line_taken(tio, made, ptySlave_)) {
        // Nothing of a refused block stays in force.
        ioctl_retry(fd_, TCSETS2, &settings_);
        return fail(ERROR_INVALID_PARAMETER);
    }
    settings_ = made;

    set_line(fd_, dcb.fRtsControl, TIOCM_RTS);
    set_line(fd_, dcb.fDtrControl, TIOCM_DTR);
    shadow_ = dcb;
    keep_null_setting(dcb);
    return TRUE;
}

// A pty has no status lines and refuses TIOCMGET: ERROR_NOT_SUPPORTED there.
BOOL TerminalPort::modem_status(DWORD& lines) {
    int bits = 0;
    if (ioctl_retry(fd_, TIOCMGET, &bits) != 0) return fail(errno == ENOTTY || errno == EINVAL ? ERROR_NOT_SUPPORTED
                                                                                                  : error_from_errno(errno));
    lines = ((bits & TIOCM_CTS) ? MS_CTS_ON : 0) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0) |
            ((bits & TIOCM_RNG) ? MS_RING_ON : 0) | ((bits & TIOCM_CAR) ? MS_RLSD_ON : 0);
    return TRUE;
}

BOOL TerminalPort::set_break(bool on) {
    if (ioctl_retry(fd_, on ? TIOCSBRK : TIOCCBRK, nullptr) != 0) return fail(error_from_errno(errno));
    return TRUE;
}

}  // namespace

Port* open_terminal(std::size_t index, const char* path) {
    TerminalPort& port = terminals[index];
    return port.open(path) ? &port : nullptr;
}

}  // namespace tarvo::posix
