// Open, set the line, send a request, read the answer, close: over and over
// on one port. Every call must succeed every time, and the process must end
// holding as many descriptors (Linux) or handles (Windows) as after the first
// cycle: as many as before it on Linux, two more on Windows (the events of
// the port's read and write records).
//
//   tarvo_endurance [CYCLES [COM]]     CYCLES default 10000
//
// On Linux the program plays the instrument itself, on a pty mapped through
// TARVO_COM<COM>. On Windows COM<COM> (default 7) must already reach a peer
// that answers (wine_endurance_host runs the program under Wine that way).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stress/endurance_exchange.h"
#include "tarvo.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <atomic>
#include <thread>

#include "stress/request_answerer.h"
#endif

namespace {

using namespace tarvo::stress;

constexpr int PORT = 3;
constexpr long ANSWER_TIMEOUT_MS = 10000;

#if defined(_WIN32)
constexpr int DEFAULT_COM = 7;
const char* const COUNTED = "handles";

long process_handle_count() {
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
    return static_cast<long>(count);
}

// This process's entries in the system's handle list.
long listed_handles() {
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        void* object;
        ULONG access;
    };
    struct List {
        ULONG count;
        Entry entries[1];
    };
    static std::vector<unsigned char> buffer(1u << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status =
            query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == static_cast<LONG>(0xC0000004) /* STATUS_INFO_LENGTH_MISMATCH */ && buffer.size() < (64u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0) return -1;
        break;
    }
    const auto* list = reinterpret_cast<const List*>(buffer.data());
    long mine = 0;
    for (ULONG i = 0; i < list->count; ++i)
        if (list->entries[i].ownerPid == GetCurrentProcessId()) ++mine;
    return mine;
}

// Whether GetProcessHandleCount sees a handle come and go. Wine 8 has it
// report 0 whatever is open; there the process's entries in the system
// handle list are counted instead.
bool handle_count_works() {
    const long before = process_handle_count();
    const HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const long with = process_handle_count();
    CloseHandle(probe);
    return before >= 0 && with == before + 1 && process_handle_count() == before;
}

bool counts_directly() {
    static const bool direct = handle_count_works();
    return direct;
}

long held() { return counts_directly() ? process_handle_count() : listed_handles(); }
const char* counter() {
    return counts_directly() ? "GetProcessHandleCount"
                             : "the system handle list (GetProcessHandleCount counts nothing here)";
}

void pause_briefly() { Sleep(0); }
#else
constexpr int DEFAULT_COM = 44;
const char* const COUNTED = "descriptors";
long held() { return tarvo::pty::open_descriptors(); }
const char* counter() { return "/proc/self/fd"; }
void pause_briefly() { usleep(20); }

// Answers every request that arrives on the master until told to stop.
void answer_requests(const tarvo::pty::Pty& pty, const std::atomic<bool>& stop) {
    RequestAnswerer answerer(pty);
    while (!stop) answerer.serve(20);
}
#endif

unsigned long long now_ms() {
    return static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count());
}

// One cycle; 0, or the text of what went wrong.
const char* cycle(std::uint32_t number, int& rc) {
    if ((rc = sio_open(PORT)) != 0) return "sio_open";
    if ((rc = sio_ioctl(PORT, 16, 0x03)) != 0) return "sio_ioctl";
    unsigned char request[REQUEST_SIZE];
    make_request(number, request);
    if ((rc = sio_write(PORT, reinterpret_cast<const char*>(request), REQUEST_SIZE)) != static_cast<int>(REQUEST_SIZE))
        return "sio_write";
    const unsigned long long start = now_ms();
    while ((rc = sio_iqueue(PORT)) < static_cast<int>(ANSWER_SIZE)) {
        if (rc < 0) return "sio_iqueue";
        if (now_ms() - start > ANSWER_TIMEOUT_MS) return "waiting for the answer";
        pause_briefly();
    }
    if (rc != static_cast<int>(ANSWER_SIZE)) return "sio_iqueue (more than the answer)";
    char answer[ANSWER_SIZE + 8];
    if ((rc = sio_read(PORT, answer, sizeof answer)) != static_cast<int>(ANSWER_SIZE)) return "sio_read";
    unsigned char expected[ANSWER_SIZE];
    make_answer(request, expected);
    if (std::memcmp(answer, expected, ANSWER_SIZE) != 0) return "the answer's bytes";
    if ((rc = sio_close(PORT)) != 0) return "sio_close";
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const long cycles = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
    const int com = argc > 2 ? std::atoi(argv[2]) : DEFAULT_COM;
    if (cycles < 1 || com < 1) {
        std::fprintf(stderr, "usage: tarvo_endurance [CYCLES [COM]]\n");
        return 2;
    }
#if !defined(_WIN32)
    tarvo::pty::Pty pty;
    pty.map_as(com);
    std::atomic<bool> stop{false};
    std::thread peer(answer_requests, std::cref(pty), std::cref(stop));
#endif
    sio_setComPortNo(PORT, com);

    const long before = held();
    long afterFirst = -1;
    const unsigned long long start = now_ms();
    int failures = 0;
    long done = 0;
    for (long i = 0; i < cycles && failures == 0; ++i, ++done) {
        int rc = 0;
        if (const char* what = cycle(static_cast<std::uint32_t>(i), rc)) {
            std::printf("endurance: cycle %ld: %s gave %d\n", i + 1, what, rc);
            sio_close(PORT);
            ++failures;
            break;
        }
        if (i == 0) afterFirst = held();
    }
    const long after = held();
#if !defined(_WIN32)
    stop = true;
    peer.join();
#endif
    std::printf("endurance: %ld of %ld cycles in %llu ms; %s: %ld before, %ld after the first cycle, %ld at the end,"
                " counted by %s\n",
                done, cycles, now_ms() - start, COUNTED, before, afterFirst, after, counter());
    if (before < 0 || after < 0) {
        std::printf("endurance: cannot count %s\n", COUNTED);
        return 1;
    }
#if defined(_WIN32)
    // The port's first open makes the two events of its read and write
    // records, which it keeps for the life of the process.
    const long made = 2;
#else
    const long made = 0;
#endif
    if (afterFirst != before + made || after != afterFirst) {
        std::printf("endurance: %s leaked\n", COUNTED);
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
