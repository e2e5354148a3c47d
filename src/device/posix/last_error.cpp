#include "device/posix/last_error.h"

#include <cerrno>

namespace tarvo::posix {
namespace {

// Initial-exec: a fixed slot in the static TLS block, so the first use on a
// new thread never allocates.
[[gnu::tls_model("initial-exec")]] thread_local dev::DWORD lastError = dev::ERROR_SUCCESS;

}  // namespace

void set_last_error(dev::DWORD error) { lastError = error; }

dev::DWORD last_error() { return lastError; }

dev::DWORD error_from_errno(int error) {
    switch (error) {
        case EBADF: return dev::ERROR_INVALID_HANDLE;
        case EINVAL: return dev::ERROR_INVALID_PARAMETER;
        default: return dev::ERROR_GEN_FAILURE;
    }
}

}  // namespace tarvo::posix
