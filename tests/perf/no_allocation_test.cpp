// No sio_ call may allocate. This binary replaces the global operator new and
// delete and the C allocation functions (forwarding to the C library's own),
// and counts every allocation the calling thread makes while a call runs:
// from the core, the device layer, or the C library on their behalf.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "net/servers.h"
#include "pty/pty_support.h"
#include "tarvo.h"
#include "tarvo_ext.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

// Thread-local: only the thread under test is counted. The executable's own
// TLS block is static, so reading these never allocates.
thread_local bool counting = false;
thread_local long allocations = 0;

inline void note() {
    if (counting) ++allocations;
}

void* new_block(std::size_t size) {
    note();
    void* block = __libc_malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* new_aligned(std::size_t size, std::align_val_t alignment) {
    note();
    void* block = __libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) noexcept {
    note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    note();
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
    note();
    return __libc_realloc(block, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
    note();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    note();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    note();
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}
void free(void* block) noexcept { __libc_free(block); }
}

void* operator new(std::size_t size) { return new_block(size); }
void* operator new[](std::size_t size) { return new_block(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    note();
    return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    note();
    return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t alignment) { return new_aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return new_aligned(size, alignment); }
void operator delete(void* block) noexcept { __libc_free(block); }
void operator delete[](void* block) noexcept { __libc_free(block); }
void operator delete(void* block, std::size_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::size_t) noexcept { __libc_free(block); }
void operator delete(void* block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { __libc_free(block); }

namespace {

// Allocations made by `call` on this thread.
template <typename Call>
long allocations_in(Call call, int& result) {
    allocations = 0;
    counting = true;
    result = call();
    counting = false;
    return allocations;
}

#define EXPECT_NO_ALLOCATION(call, expectedResult)                                   \
    do {                                                                             \
        int result_ = 0;                                                             \
        const long made_ = allocations_in([&] { return (call); }, result_);          \
        EXPECT_EQ(made_, 0) << #call << " allocated";                                \
        EXPECT_EQ(result_, (expectedResult)) << #call << " did not take its full path"; \
    } while (0)

// A pty whose slave the library opens as COM 9.
class PtyPort : public testing::Test {
protected:
    void SetUp() override { pty_.map_as(9); }
    void TearDown() override {
        for (int port = 1; port <= 16; ++port) sio_close(port);
    }

    // Puts bytes in the port's input queue, outside any counted call.
    void feed(int port, const char* bytes, int count) {
        ASSERT_EQ(write(pty_.master(), bytes, static_cast<std::size_t>(count)), count);
        for (int i = 0; i < 5000 && sio_iqueue(port) < count; ++i) usleep(200);
        ASSERT_EQ(sio_iqueue(port), count);
    }
    void drain_master() {
        char sink[256];
        while (read(pty_.master(), sink, sizeof sink) > 0) {
        }
    }

    tarvo::pty::Pty pty_;
};

// The counter must see what it is meant to see, or a pass means nothing:
// operator new, malloc, and malloc called inside the C library.
TEST(AllocationCounter, SeesNewMallocAndTheCLibrarysOwnAllocations) {
    int unused = 0;
    EXPECT_EQ(allocations_in([] { delete new int(1); return 0; }, unused), 1);
    EXPECT_EQ(allocations_in([] { std::free(std::malloc(16)); return 0; }, unused), 1);
    EXPECT_EQ(allocations_in([] { std::free(strdup("x")); return 0; }, unused), 1);
    EXPECT_EQ(allocations_in([] { return static_cast<int>(std::string(100, 'x').size()); }, unused), 1);
}

TEST_F(PtyPort, NoCallAllocatesOnAnOpenPort) {
    const int port = 3;
    EXPECT_NO_ALLOCATION(sio_setComPortNo(port, 9), 0);
    EXPECT_NO_ALLOCATION(sio_open(port), 0);
    EXPECT_NO_ALLOCATION(sio_ioctl(port, 12, 0x03), 0);
    EXPECT_NO_ALLOCATION(sio_baud(port, 115200), 0);
    EXPECT_NO_ALLOCATION(sio_flowctrl(port, 0x03), 0);
    EXPECT_NO_ALLOCATION(sio_RTS(port, 0), 0);
    EXPECT_NO_ALLOCATION(sio_DTR(port, 1), 0);
    EXPECT_NO_ALLOCATION(sio_enableat(port), 0);
    EXPECT_NO_ALLOCATION(sio_disableat(port), 0);
    EXPECT_NO_ALLOCATION(sio_term_irq(port), 0);

    feed(port, "hello, world", 12);
    EXPECT_NO_ALLOCATION(sio_iqueue(port), 12);
    EXPECT_NO_ALLOCATION(sio_getch(port), 'h');
    char buffer[64];
    EXPECT_NO_ALLOCATION(sio_read(port, buffer, 4), 4);
    EXPECT_NO_ALLOCATION(sio_read(port, buffer, sizeof buffer), 7);
    EXPECT_NO_ALLOCATION(sio_getch(port), ERR_NO_DATA);
    EXPECT_NO_ALLOCATION(sio_read(port, buffer, sizeof buffer), 0);

    // With null stripping on, the read goes through the stripping path too.
    ASSERT_EQ(sio_enableat(port), 0);
    feed(port, "a\0b", 3);
    int stripped = -1;
    EXPECT_EQ(allocations_in([&] { return sio_read(port, buffer, sizeof buffer); }, stripped), 0);
    EXPECT_GE(stripped, 2);
    ASSERT_EQ(sio_disableat(port), 0);

    const char request[32] = "0123456789abcdefghijklmnopqrstu";
    EXPECT_NO_ALLOCATION(sio_write(port, request, 32), 32);
    drain_master();
    EXPECT_NO_ALLOCATION(sio_write(port, request, 0), 0);
    // The extensions' data calls too.
    EXPECT_NO_ALLOCATION(tarvo_send(port, request, 32), 32);
    drain_master();
    EXPECT_NO_ALLOCATION(tarvo_modem_status(port), ERR_STATUS_FAILED);
    char why[TARVO_DEVICE_TEXT_SIZE + 64];
    EXPECT_NO_ALLOCATION(tarvo_open_cause(port, why, sizeof why), TARVO_CAUSE_NONE);
    EXPECT_NO_ALLOCATION(sio_flush(port, 0), 0);
    EXPECT_NO_ALLOCATION(sio_flush(port, 1), 0);
    EXPECT_NO_ALLOCATION(sio_flush(port, 2), 0);
    EXPECT_NO_ALLOCATION(sio_flush(port, 3), ERR_PURGE_FAILED);
    EXPECT_NO_ALLOCATION(sio_baud(port, -1), ERR_BAD_PARAMETER);
    EXPECT_NO_ALLOCATION(sio_ioctl(port, 20, 0x03), ERR_BAD_PARAMETER);
    // Opening an open port closes and reopens it.
    EXPECT_NO_ALLOCATION(sio_open(port), 0);
    EXPECT_NO_ALLOCATION(sio_close(port), 0);
}

// Over the network too, once open (the name lookup of sio_open allocates),
// through a real ser2net: settings, purges, reads and writes.
TEST_F(PtyPort, NoCallAllocatesOnAnOpenNetworkPort) {
    tarvo::net::Ser2net server(pty_, tarvo::net::Ser2net::Accepter::Rfc2217);
    ASSERT_TRUE(server.running());
    tarvo::net::map_url(10, server.url());
    const int port = 4;
    ASSERT_EQ(sio_setComPortNo(port, 10), 0);
    ASSERT_EQ(sio_open(port), 0);
    EXPECT_NO_ALLOCATION(sio_ioctl(port, 16, 0x07), 0);
    EXPECT_NO_ALLOCATION(sio_flowctrl(port, 0x01), 0);
    EXPECT_NO_ALLOCATION(sio_flowctrl(port, 0x00), 0);
    EXPECT_NO_ALLOCATION(sio_RTS(port, 0), 0);
    EXPECT_NO_ALLOCATION(sio_enableat(port), 0);
    EXPECT_NO_ALLOCATION(sio_disableat(port), 0);
    feed(port, "hello", 5);
    char buffer[64];
    EXPECT_NO_ALLOCATION(sio_getch(port), 'h');
    EXPECT_NO_ALLOCATION(sio_read(port, buffer, sizeof buffer), 4);
    const char request[32] = "0123456789abcdefghijklmnopqrstu";
    EXPECT_NO_ALLOCATION(sio_write(port, request, 32), 32);
    EXPECT_NO_ALLOCATION(sio_flush(port, 2), 0);
    EXPECT_NO_ALLOCATION(sio_close(port), 0);
}

TEST_F(PtyPort, NoCallAllocatesOnClosedPortsOrBadPortNumbers) {
    char buffer[8] = {};
    for (const int port : {2, 0, 17}) {
        const int closed = port == 2 ? ERR_NOT_OPEN : ERR_BAD_PORT;
        SCOPED_TRACE("port " + std::to_string(port));
        EXPECT_NO_ALLOCATION(sio_close(port), closed);
        EXPECT_NO_ALLOCATION(sio_term_irq(port), closed);
        EXPECT_NO_ALLOCATION(sio_iqueue(port), closed);
        EXPECT_NO_ALLOCATION(sio_getch(port), closed);
        EXPECT_NO_ALLOCATION(sio_read(port, buffer, sizeof buffer), closed);
        EXPECT_NO_ALLOCATION(sio_write(port, buffer, sizeof buffer), closed);
        EXPECT_NO_ALLOCATION(sio_flush(port, 2), closed);
        EXPECT_NO_ALLOCATION(sio_baud(port, 9600), closed);
        EXPECT_NO_ALLOCATION(sio_ioctl(port, 12, 0x03), closed);
        EXPECT_NO_ALLOCATION(sio_flowctrl(port, 1), closed);
        EXPECT_NO_ALLOCATION(sio_RTS(port, 1), closed);
        EXPECT_NO_ALLOCATION(sio_DTR(port, 1), closed);
        EXPECT_NO_ALLOCATION(sio_enableat(port), closed);
        EXPECT_NO_ALLOCATION(sio_disableat(port), closed);
    }
    EXPECT_NO_ALLOCATION(sio_setComPortNo(0, 1), ERR_BAD_PORT);
    EXPECT_NO_ALLOCATION(sio_open(17), ERR_BAD_PORT);
    // A device that cannot be opened: the failure path must not allocate either.
    EXPECT_NO_ALLOCATION(sio_setComPortNo(2, 4242), 0);
    EXPECT_NO_ALLOCATION(sio_open(2), ERR_OPEN_FAILED);
    EXPECT_NO_ALLOCATION(sio_setComPortNo(2, -1), 0);
    // A usb: mapping walks sysfs for its device; no id 0000:0000 exists.
    setenv("TARVO_COM4243", "usb:0000:0000:none", 1);
    EXPECT_NO_ALLOCATION(sio_setComPortNo(2, 4243), 0);
    EXPECT_NO_ALLOCATION(sio_open(2), ERR_OPEN_FAILED);
    EXPECT_NO_ALLOCATION(sio_setComPortNo(2, -1), 0);
    unsetenv("TARVO_COM4243");
}

}  // namespace
