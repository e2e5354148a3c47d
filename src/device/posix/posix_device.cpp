// The device operations over a Linux terminal, with the semantics the core
// expects from the Win32 calls of the same name. Nothing here allocates:
// handles come from a fixed pool, paths are built in stack buffers.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "device/device.h"
#include "device/posix/termios_map.h"

namespace tarvo::dev {
namespace {

using posix::ModemLines;

// Entry life cycle. Only the thread that moves an entry out of FREE or OPEN
// touches its plain fields until it publishes the next state.
enum : int { FREE, OPENING, OPEN, CLOSING };

struct Entry {
    std::atomic<int> state{FREE};
    int fd = -1;
    // Read by ReadFile/WriteFile while another thread may configure the port.
    std::atomic<bool> stripNull{false};
    std::atomic<DWORD> writeMultiplier{0};
    std::atomic<DWORD> writeConstant{0};
    // The last block applied: fields the terminal cannot hold, and the RTS and
    // DTR settings last made, for devices without modem lines.
    DCB shadow{};
    // The terminal settings as last read or written. Every change of settings
    // reads them fresh with GetCommState first, so SetCommState applies the
    // block onto this copy instead of reading the terminal a second time.
    termios2 settings{};
};

// 16 ports, with room for handles an application leaves behind.
constexpr std::size_t POOL_SIZE = 64;
Entry pool[POOL_SIZE];

// Initial-exec: a fixed slot in the static TLS block, so the first use on a
// new thread never allocates.
[[gnu::tls_model("initial-exec")]] thread_local DWORD lastError = ERROR_SUCCESS;

BOOL fail(DWORD error) {
    lastError = error;
    return FALSE;
}

// The entry behind a handle that is open now, or nullptr.
Entry* open_entry(HANDLE handle) {
    const auto address = reinterpret_cast<std::uintptr_t>(handle);
    const auto first = reinterpret_cast<std::uintptr_t>(&pool[0]);
    if (address < first || address >= first + sizeof pool) return nullptr;
    if ((address - first) % sizeof(Entry) != 0) return nullptr;
    Entry* entry = &pool[(address - first) / sizeof(Entry)];
    return entry->state.load(std::memory_order_acquire) == OPEN ? entry : nullptr;
}

Entry* claim_entry() {
    for (Entry& entry : pool) {
        int expected = FREE;
        if (entry.state.compare_exchange_strong(expected, OPENING, std::memory_order_acquire)) return &entry;
    }
    return nullptr;
}

DWORD error_from_errno(int error) {
    switch (error) {
        case EBADF: return ERROR_INVALID_HANDLE;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        default: return ERROR_GEN_FAILURE;
    }
}

int ioctl_retry(int fd, unsigned long request, void* argument) {
    int rc = 0;
    do {
        rc = ::ioctl(fd, request, argument);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

std::uint64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// "\\.\COM<n>" with n decimal, no sign, no more than fits an int.
bool com_number(const char* path, const char*& digits) {
    static constexpr char PREFIX[] = "\\\\.\\COM";
    if (path == nullptr || std::strncmp(path, PREFIX, sizeof PREFIX - 1) != 0) return false;
    digits = path + sizeof PREFIX - 1;
    long value = 0;
    const char* cursor = digits;
    for (; *cursor != '\0'; ++cursor) {
        if (*cursor < '0' || *cursor > '9') return false;
        value = value * 10 + (*cursor - '0');
        if (value > 0x7fffffffL) return false;
    }
    return cursor != digits;
}

// TARVO_COM<n> names the device if set; otherwise COM n is /dev/ttyS<n-1>.
bool device_file(const char* digits, char* file, std::size_t size) {
    char name[32];
    std::snprintf(name, sizeof name, "TARVO_COM%s", digits);
    const char* mapped = std::getenv(name);
    if (mapped != nullptr && *mapped != '\0') {
        return std::snprintf(file, size, "%s", mapped) < static_cast<int>(size);
    }
    const long number = std::strtol(digits, nullptr, 10);
    if (number < 1) return false;
    std::snprintf(file, size, "/dev/ttyS%ld", number - 1);
    return true;
}

// Exclusive, raw, nonblocking; -1 with lastError set on failure, with
// everything taken so far given back.
int open_device(const char* file, termios2& tio) {
    const int fd = ::open(file, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastError = ERROR_GEN_FAILURE;
        return -1;
    }
    bool locked = false;
    bool exclusive = false;
    // Any terminal answers TCGETS2; anything else is no serial device.
    bool ok = ioctl_retry(fd, TCGETS2, &tio) == 0;
    // flock holds against every other opener, root included (root passes
    // TIOCEXCL); TIOCEXCL also holds off openers that know nothing of flock.
    if (ok) ok = locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (ok) ok = exclusive = ioctl_retry(fd, TIOCEXCL, nullptr) == 0;
    if (ok) {
        posix::make_raw(tio);
        ok = ioctl_retry(fd, TCSETS2, &tio) == 0;
    }
    if (ok) return fd;

    lastError = ERROR_GEN_FAILURE;
    if (exclusive) ioctl_retry(fd, TIOCNXCL, nullptr);
    if (locked) ::flock(fd, LOCK_UN);
    ::close(fd);
    return -1;
}

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

// Waits until the output queue has drained or the deadline (0: none) has
// passed. Only a timed wait can see the queue drain, so sleep about as long
// as the queued bytes take on the line. Returns the bytes still queued.
int wait_for_drain(int fd, std::uint64_t deadline) {
    for (;;) {
        int queued = 0;
        if (ioctl_retry(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return 0;
        termios2 tio{};
        if (ioctl_retry(fd, TCGETS2, &tio) != 0) return 0;
        std::uint64_t sleep_us = posix::line_time_us(static_cast<std::uint64_t>(queued), tio);
        if (sleep_us < 1000) sleep_us = 1000;
        if (deadline != 0) {
            const std::uint64_t now = now_ms();
            if (now >= deadline) return queued;
            const std::uint64_t left_us = (deadline - now) * 1000u;
            if (sleep_us > left_us) sleep_us = left_us;
        }
        timespec pause{static_cast<time_t>(sleep_us / 1000000u), static_cast<long>(sleep_us % 1000000u) * 1000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}

// Any event object: nothing on this layer pends, so no event is ever
// signalled or waited for; the core only needs a handle that is not null.
char eventSentinel;

}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    const char* digits = nullptr;
    char file[256];
    if (!com_number(fileName, digits) || !device_file(digits, file, sizeof file)) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    Entry* entry = claim_entry();
    if (entry == nullptr) {
        lastError = ERROR_GEN_FAILURE;
        return INVALID_HANDLE_VALUE;
    }
    termios2 tio{};
    const int fd = open_device(file, tio);
    if (fd < 0) {
        entry->state.store(FREE, std::memory_order_release);
        return INVALID_HANDLE_VALUE;
    }
    entry->fd = fd;
    entry->shadow = posix::initial_control_block(tio);
    entry->settings = tio;
    entry->stripNull.store(false);
    entry->writeMultiplier.store(0);
    entry->writeConstant.store(0);
    entry->state.store(OPEN, std::memory_order_release);
    return entry;
}

BOOL SetupComm(HANDLE file, DWORD, DWORD) {
    // Linux terminal queues have a fixed size; there is nothing to ask for.
    return open_entry(file) != nullptr ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL CloseHandle(HANDLE object) {
    if (object == &eventSentinel) return TRUE;
    Entry* entry = open_entry(object);
    int expected = OPEN;
    if (entry == nullptr || !entry->state.compare_exchange_strong(expected, CLOSING, std::memory_order_acquire)) {
        return fail(ERROR_INVALID_HANDLE);
    }
    // A hung-up terminal refuses the ioctl; the close releases it anyway.
    ioctl_retry(entry->fd, TIOCNXCL, nullptr);
    ::flock(entry->fd, LOCK_UN);
    // close() gives the descriptor back even when it reports an error.
    ::close(entry->fd);
    entry->fd = -1;
    entry->state.store(FREE, std::memory_order_release);
    return TRUE;
}

HANDLE CreateEventA(void*, BOOL, BOOL, const char*) { return &eventSentinel; }

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
    Entry* entry = open_entry(file);
    if (entry == nullptr) return fail(ERROR_INVALID_HANDLE);
    int waiting = 0;
    if (ioctl_retry(entry->fd, FIONREAD, &waiting) != 0) return fail(error_from_errno(errno));
    // Line errors reach a raw terminal as data; there is no condition to clear.
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = waiting > 0 ? static_cast<DWORD>(waiting) : 0;
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    Entry* entry = open_entry(file);
    if (entry == nullptr) return fail(ERROR_INVALID_HANDLE);
    // Nothing runs in the background here, so the abort bits have nothing to abort.
    const bool input = (flags & PURGE_RXCLEAR) != 0;
    const bool output = (flags & PURGE_TXCLEAR) != 0;
    if (!input && !output) return TRUE;
    const int queues = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    if (::ioctl(entry->fd, TCFLSH, queues) != 0) return fail(error_from_errno(errno));
    return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    if (read != nullptr) *read = 0;
    if (overlapped != nullptr) overlapped->Internal = overlapped->InternalHigh = 0;
    Entry* entry = open_entry(file);
    if (entry == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (toRead == 0) return TRUE;
    if (buffer == nullptr) return fail(ERROR_INVALID_PARAMETER);

    ssize_t got = 0;
    do {
        got = ::read(entry->fd, buffer, toRead);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return TRUE;
        return fail(error_from_errno(errno));
    }

    DWORD count = static_cast<DWORD>(got);
    if (entry->stripNull.load(std::memory_order_relaxed)) {
        auto* bytes = static_cast<unsigned char*>(buffer);
        DWORD kept = 0;
        for (DWORD i = 0; i < count; ++i) {
            if (bytes[i] != 0) bytes[kept++] = bytes[i];
        }
        count = kept;
    }
    if (read != nullptr) *read = count;
    if (overlapped != nullptr) overlapped->InternalHigh = count;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
    if (written != nullptr) *written = 0;
    if (overlapped != nullptr) overlapped->Internal = overlapped->InternalHigh = 0;
    Entry* entry = open_entry(file);
    if (entry == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (toWrite != 0 && buffer == nullptr) return fail(ERROR_INVALID_PARAMETER);

    // The total write timeout: multiplier per byte plus constant; none if both are 0.
    const std::uint64_t multiplier = entry->writeMultiplier.load(std::memory_order_relaxed);
    const std::uint64_t constant = entry->writeConstant.load(std::memory_order_relaxed);
    const std::uint64_t limit = multiplier * toWrite + constant;
    const std::uint64_t start = now_ms();
    const std::uint64_t deadline = limit == 0 ? 0 : (limit > UINT64_MAX - start ? UINT64_MAX : start + limit);

    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD sent = 0;
    bool timedOut = false;
    bool broken = false;
    int error = 0;
    while (sent < toWrite) {
        const ssize_t put = ::write(entry->fd, bytes + sent, toWrite - sent);
        if (put > 0) {
            sent += static_cast<DWORD>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
            broken = true;
            break;
        }
        // The driver's queue is full: wait until it takes more.
        int wait = -1;
        if (deadline != 0) {
            const std::uint64_t now = now_ms();
            if (now >= deadline) {
                timedOut = true;
                break;
            }
            const std::uint64_t left = deadline - now;
            wait = left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
        }
        pollfd watch{entry->fd, POLLOUT, 0};
        const int ready = ::poll(&watch, 1, wait);
        if (ready < 0 && errno != EINTR) {
            error = errno;
            broken = true;
            break;
        }
        if (ready > 0 && !(watch.revents & POLLOUT) && (watch.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            error = EIO;
            broken = true;
            break;
        }
    }

    if (!broken && !timedOut) {
        const int queued = wait_for_drain(entry->fd, deadline);
        timedOut = queued > 0;
    }
    if (timedOut) {
        // Like a timed-out Windows write: what has not gone out is dropped and
        // not counted.
        int queued = 0;
        if (ioctl_retry(entry->fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
            ::ioctl(entry->fd, TCFLSH, TCOFLUSH);
            sent = static_cast<DWORD>(queued) < sent ? sent - static_cast<DWORD>(queued) : 0;
        }
    }

    if (written != nullptr) *written = sent;
    if (overlapped != nullptr) overlapped->InternalHigh = sent;
    if (broken) return fail(error_from_errno(error));
    return TRUE;
}

DWORD GetLastError() { return lastError; }

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL) {
    // Every transfer has ended before ReadFile/WriteFile returned.
    if (open_entry(file) == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (overlapped == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
    Entry* entry = open_entry(file);
    if (entry == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
    termios2 tio{};
    if (ioctl_retry(entry->fd, TCGETS2, &tio) != 0) return fail(error_from_errno(errno));
    entry->settings = tio;
    *dcb = posix::read_control_block(tio, entry->shadow, modem_lines(entry->fd));
    dcb->fNull = entry->stripNull.load(std::memory_order_relaxed) ? 1 : 0;
    return TRUE;
}

BOOL SetCommState(HANDLE file, DCB* dcb) {
    Entry* entry = open_entry(file);
    if (entry == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (dcb == nullptr || !posix::valid_control_block(*dcb)) return fail(ERROR_INVALID_PARAMETER);
    termios2 tio = entry->settings;
    posix::apply_control_block(*dcb, tio);
    if (ioctl_retry(entry->fd, TCSETS2, &tio) != 0) return fail(error_from_errno(errno));
    entry->settings = tio;

    set_line(entry->fd, dcb->fRtsControl, TIOCM_RTS);
    set_line(entry->fd, dcb->fDtrControl, TIOCM_DTR);
    entry->shadow = *dcb;
    entry->stripNull.store(dcb->fNull != 0, std::memory_order_relaxed);
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    Entry* entry = open_entry(file);
    if (entry == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
    // Reads take only what is already there, so only the write limits act.
    entry->writeMultiplier.store(timeouts->WriteTotalTimeoutMultiplier, std::memory_order_relaxed);
    entry->writeConstant.store(timeouts->WriteTotalTimeoutConstant, std::memory_order_relaxed);
    return TRUE;
}

}  // namespace tarvo::dev
