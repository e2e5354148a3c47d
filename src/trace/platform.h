// What the trace needs from the system: where its log goes, the clock, the
// thread, the caller's error state. One implementation a platform
// (platform_posix.cpp, platform_win32.cpp); everything else is shared.
#ifndef TARVO_TRACE_PLATFORM_H
#define TARVO_TRACE_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace tarvo::trace::platform {

// Opens the log the environment asks for at load (TARVO_TRACE); false when
// none is asked for or it cannot be opened (then says why, once, where the
// platform shows such notes). `name` gets what was opened.
bool open_log(char* name, std::size_t size);
// Appends one line with a single write, never interleaved with another
// thread's; false when it could not be written.
bool write_log(const char* text, std::size_t length);
// A note about the trace itself, not part of the log.
void note(const char* text);

std::uint64_t microseconds();  // a monotonic clock
unsigned long thread_id();
unsigned long process_id();

// The caller's last error (errno, GetLastError), kept across the trace's own work.
unsigned long saved_error();
void restore_error(unsigned long error);

// The device a CreateFileA path reaches, in words, for the open's line.
void describe_target(const char* path, char* text, std::size_t size);

}  // namespace tarvo::trace::platform

#endif
