#include "zorvo/common/system_error.hpp"

#include <cerrno>
#include <cstring>

namespace zorvo {

ErrorKind error_kind_from_errno(int code) noexcept {
    switch (code) {
        case ENOENT: return ErrorKind::NotFound;
        case EACCES:
        case EPERM: return ErrorKind::PermissionDenied;
        case ECONNREFUSED: return ErrorKind::ConnectionRefused;
        case ECONNRESET: return ErrorKind::ConnectionReset;
        case ECONNABORTED: return ErrorKind::ConnectionAborted;
        case EPIPE: return ErrorKind::BrokenPipe;
        case EEXIST: return ErrorKind::AlreadyExists;
        case EAGAIN: return ErrorKind::WouldBlock;
        case EINVAL: return ErrorKind::InvalidInput;
        case ETIMEDOUT: return ErrorKind::TimedOut;
        case EINTR: return ErrorKind::Interrupted;
        default: return ErrorKind::Other;
    }
}

std::string platform_message(int code) {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not be `buffer`.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text;
}

SystemError SystemError::from_errno(int code) {
    return SystemError(error_kind_from_errno(code), code, std::string());
}

SystemError SystemError::custom(ErrorKind kind, std::string message) {
    return SystemError(kind, 0, std::move(message));
}

std::string SystemError::display() const {
    if (os_code_ == 0) return message_;
    return platform_message(os_code_) + " (os error " + std::to_string(os_code_) + ")";
}

}  // namespace zorvo
