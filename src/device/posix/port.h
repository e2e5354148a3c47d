// One open device, whatever carries it: a terminal, or (later) a network
// connection. The Win32 operations in posix_device.cpp find the Port behind a
// handle and call it; each kind gives the operations Win32 semantics of its
// own, so the core never learns which kind it talks to.
//
// Every operation returns TRUE, or FALSE with the last error set (fail()).
// Nothing here pends: a call has finished when it returns.
#ifndef TARVO_DEVICE_POSIX_PORT_H
#define TARVO_DEVICE_POSIX_PORT_H

#include <atomic>
#include <cstdint>

#include "device/device.h"
#include "device/posix/transfer_support.h"

namespace tarvo::posix {

class Port {
public:
    // Ends the device's use: gives back the descriptor and the hold. The
    // Port may be reused for the next open afterwards.
    virtual dev::BOOL close() = 0;

    virtual dev::BOOL clear_comm_error(dev::DWORD* errors, dev::COMSTAT* stat) = 0;
    virtual dev::BOOL purge(dev::DWORD flags) = 0;
    // Takes what is there now, at most `toRead` bytes; never waits.
    virtual dev::BOOL read(void* buffer, dev::DWORD toRead, dev::DWORD& got) = 0;
    // Returns once the device has taken the bytes or the write timeout has run
    // out; `sent` is exactly what reaches the far end from this call: what
    // the device took either way, and, when the write fails part-way (FALSE),
    // what the far end had taken by then.
    virtual dev::BOOL write(const void* buffer, dev::DWORD toWrite, dev::DWORD& sent) = 0;
    // Sleeps until at least `count` bytes wait in the input queue, the line
    // hangs up or `timeoutMs` passes; `waiting` gets the bytes waiting then.
    // FALSE, with the last error set, when the line hung up or failed.
    virtual dev::BOOL wait_input(dev::DWORD count, dev::DWORD timeoutMs, dev::DWORD& waiting) = 0;
    virtual dev::BOOL get_state(dev::DCB& dcb) = 0;
    virtual dev::BOOL set_state(const dev::DCB& dcb) = 0;

    // Reads take only what is already there, so only the write limits act.
    void set_timeouts(const dev::COMMTIMEOUTS& timeouts) {
        writeMultiplier_.store(timeouts.WriteTotalTimeoutMultiplier, std::memory_order_relaxed);
        writeConstant_.store(timeouts.WriteTotalTimeoutConstant, std::memory_order_relaxed);
    }
    // The MS_*_ON bits of the status lines now.
    virtual dev::BOOL modem_status(dev::DWORD& lines) = 0;
    // Puts the line into the break state (true) or lets it go.
    virtual dev::BOOL set_break(bool on) = 0;

protected:
    // How a write's transfer ended.
    enum class Transfer { Done, TimedOut, Broken };

    ~Port() = default;  // ports live in their kind's storage, never deleted through here

    // A fresh open: no write limits, 0x00 bytes kept.
    void reset_shared() {
        stripNull_.store(false);
        writeMultiplier_.store(0);
        writeConstant_.store(0);
    }
    // The end of a write of `bytes` by the write limits, 0 for none.
    std::uint64_t write_deadline_for(dev::DWORD bytes) const {
        return write_deadline(writeMultiplier_.load(std::memory_order_relaxed),
                              writeConstant_.load(std::memory_order_relaxed), bytes);
    }
    // The `count` bytes read into `bytes`, less the 0x00 bytes if the block said so.
    dev::DWORD delivered(unsigned char* bytes, dev::DWORD count) const {
        return stripNull_.load(std::memory_order_relaxed) ? strip_nulls(bytes, count) : count;
    }
    void keep_null_setting(const dev::DCB& dcb) { stripNull_.store(dcb.fNull != 0, std::memory_order_relaxed); }
    dev::DWORD null_setting() const { return stripNull_.load(std::memory_order_relaxed) ? 1 : 0; }

private:
    // Read by read/write while another thread may configure the port.
    std::atomic<bool> stripNull_{false};
    std::atomic<dev::DWORD> writeMultiplier_{0};
    std::atomic<dev::DWORD> writeConstant_{0};
};

}  // namespace tarvo::posix

#endif
