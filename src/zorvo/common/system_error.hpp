#pragma once

#include <string>

namespace zorvo {

// The kind of an operating-system or transport failure; decides which Python exception a
// system error becomes when it is raised directly.
enum class ErrorKind {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    InvalidInput,
    TimedOut,
    Interrupted,
    UnexpectedEof,
    WriteZero,
    Other,
};

// A failure reported by the operating system (with its errno) or by one of the library's own
// transport checks (with a fixed message and no errno).
class SystemError {
public:
    static SystemError from_errno(int code);
    static SystemError custom(ErrorKind kind, std::string message);

    ErrorKind kind() const noexcept { return kind_; }
    int os_code() const noexcept { return os_code_; }

    // The platform's message and " (os error N)", or the check's own message.
    std::string display() const;

private:
    SystemError(ErrorKind kind, int os_code, std::string message)
        : kind_(kind), os_code_(os_code), message_(std::move(message)) {}

    ErrorKind kind_;
    int os_code_;
    std::string message_;
};

ErrorKind error_kind_from_errno(int code) noexcept;

// strerror for `code`, thread-safe.
std::string platform_message(int code);

}  // namespace zorvo
