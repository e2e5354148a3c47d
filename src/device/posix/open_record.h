// What each name given to CreateFileA reached or tried when it was last
// opened: the device path, or the URL of a network port. Written where the
// open happens, so asking afterwards neither re-reads the environment nor
// scans sysfs again, and a usb: mapping names the terminal it found then.
#ifndef TARVO_DEVICE_POSIX_OPEN_RECORD_H
#define TARVO_DEVICE_POSIX_OPEN_RECORD_H

#include <cstddef>

namespace tarvo::posix {

// Remembers `device` for `name` (both NUL-terminated), in place of what the
// name reached before. The names opened least recently give way once the
// fixed table is full; nothing allocates.
void record_open(const char* name, const char* device);

// The device `name` reached or tried at its last open into `device` (NUL
// terminated): its length, or -1 when the name has not been opened (or was
// given way) or the text does not fit `size`.
long recall_open(const char* name, char* device, std::size_t size);

}  // namespace tarvo::posix

#endif
