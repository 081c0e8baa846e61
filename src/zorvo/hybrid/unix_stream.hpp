#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/hybrid/runtime.hpp"
#include "zorvo/hybrid/task.hpp"
#include "zorvo/common/unique_fd.hpp"

namespace zorvo::hybrid {

// A Unix socket address: a file-system path, or (first byte NUL) a name in the Linux abstract
// namespace made of the remaining bytes.
struct UnixAddress {
    sockaddr_un address{};
    socklen_t length = 0;

    static Result<UnixAddress, SystemError> from_path(std::string_view path);
};

// One connected, non-blocking Unix stream socket. Every wait goes to the runtime; before handing a
// read or write wait over, a call made outside the runtime's workers first waits briefly itself,
// because the peer usually answers within that time.
class UnixStream {
public:
    static Task<Result<UnixStream, SystemError>> connect(Runtime& runtime, std::string path);

    UnixStream(UnixStream&&) noexcept = default;
    UnixStream& operator=(UnixStream&&) noexcept = default;

    // Writes every byte; a write that accepts nothing fails with "write zero".
    Task<Result<Unit, SystemError>> write_all(Runtime& runtime, std::span<const std::uint8_t> bytes);
    // Fills `bytes` completely; the end of the stream before that fails with "early eof".
    Task<Result<Unit, SystemError>> read_exact(Runtime& runtime, std::span<std::uint8_t> bytes);
    // Reads whatever has arrived into `bytes` until at least `minimum` bytes are there; returns how
    // many were read. The caller's thread sleeps in its first receive (bounded by the socket's
    // receive time limit) before the runtime takes over the wait.
    Task<Result<std::size_t, SystemError>> read_at_least(Runtime& runtime, std::span<std::uint8_t> bytes,
                                                         std::size_t minimum);

private:
    explicit UnixStream(UniqueFd fd) noexcept : fd_(std::move(fd)) {}

    UniqueFd fd_;
};

}  // namespace zorvo::hybrid
