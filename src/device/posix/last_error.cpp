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
        case ENOENT:
        case ENXIO:
        case ENODEV: return dev::ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM: return dev::ERROR_ACCESS_DENIED;
        case EBUSY: return dev::ERROR_SHARING_VIOLATION;
        case ENOTTY: return dev::ERROR_NOT_SUPPORTED;  // not a serial device
        case ECONNREFUSED: return dev::ERROR_CONNECTION_REFUSED;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case EHOSTDOWN: return dev::ERROR_NETWORK_UNREACHABLE;
        case ECONNRESET:
        case EPIPE: return dev::WSAECONNRESET;
        case ETIMEDOUT: return dev::ERROR_SEM_TIMEOUT;
        default: return dev::ERROR_GEN_FAILURE;
    }
}

}  // namespace tarvo::posix
