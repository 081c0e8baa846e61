#include "zorvo/hybrid/unix_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace zorvo::hybrid {

namespace {

// Long enough for a local engine to answer a control message, short enough that a slow answer is
// soon watched by the runtime instead.
constexpr long INLINE_WAIT_NANOSECONDS = 1'000'000;

bool ready_within(int fd, short events, long nanoseconds) {
    pollfd watched{fd, events, 0};
    const timespec limit{0, nanoseconds};
    return ppoll(&watched, 1, &limit, nullptr) > 0;
}

// The caller's own thread may wait a moment before the runtime takes over; workers never block.
bool brief_inline_wait(int fd, short events, bool& already_waited) {
    if (already_waited || Runtime::on_worker_thread()) return false;
    already_waited = true;
    return ready_within(fd, events, INLINE_WAIT_NANOSECONDS);
}

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// After the connect, the descriptor itself blocks, with a receive time limit of the inline wait:
// the caller's thread then sleeps in the receive itself while the engine answers (one system call
// instead of a readiness poll and a receive). Every other operation passes MSG_DONTWAIT, so the
// runtime's workers never block.
Result<Unit, SystemError> prepare_for_inline_answers(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(SystemError::from_errno(errno));
    const timeval limit{0, INLINE_WAIT_NANOSECONDS / 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        return fail(SystemError::from_errno(errno));
    }
    return Unit{};
}

SystemError early_eof() { return SystemError::custom(ErrorKind::UnexpectedEof, "early eof"); }

}  // namespace

Result<UnixAddress, SystemError> UnixAddress::from_path(std::string_view path) {
    UnixAddress result;
    result.address.sun_family = AF_UNIX;
    constexpr std::size_t capacity = sizeof result.address.sun_path;
    const auto base = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path));

    if (!path.empty() && path.front() == '\0') {
        const std::string_view name = path.substr(1);
        if (name.size() + 1 > capacity) {
            return fail(SystemError::custom(ErrorKind::InvalidInput,
                                            "abstract socket name must be shorter than SUN_LEN"));
        }
        std::memcpy(result.address.sun_path + 1, name.data(), name.size());
        result.length = base + static_cast<socklen_t>(1 + name.size());
        return result;
    }
    if (path.find('\0') != std::string_view::npos) {
        return fail(SystemError::custom(ErrorKind::InvalidInput, "paths must not contain interior null bytes"));
    }
    if (path.size() >= capacity) {
        return fail(SystemError::custom(ErrorKind::InvalidInput, "path must be shorter than SUN_LEN"));
    }
    std::memcpy(result.address.sun_path, path.data(), path.size());
    // The terminating NUL is part of a path address; an empty path stays empty for the kernel to judge.
    result.length = base + static_cast<socklen_t>(path.empty() ? 0 : path.size() + 1);
    return result;
}

Task<Result<UnixStream, SystemError>> UnixStream::connect(Runtime& runtime, std::string path) {
    auto address = UnixAddress::from_path(path);
    if (!address) co_return fail(std::move(address).error());

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) co_return fail(SystemError::from_errno(errno));
    UniqueFd owned(fd);

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0) {
        const int error = errno;
        if (error != EINPROGRESS && error != EINTR) co_return fail(SystemError::from_errno(error));
    }
    if (!ready_within(fd, POLLOUT, 0)) {
        if (int error = co_await runtime.writable(fd)) co_return fail(SystemError::from_errno(error));
    }
    int pending = 0;
    socklen_t pending_length = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &pending_length) != 0) {
        co_return fail(SystemError::from_errno(errno));
    }
    if (pending != 0) co_return fail(SystemError::from_errno(pending));
    if (auto prepared = prepare_for_inline_answers(fd); !prepared.ok()) co_return fail(std::move(prepared).error());
    co_return UnixStream(std::move(owned));
}

Task<Result<Unit, SystemError>> UnixStream::write_all(Runtime& runtime, std::span<const std::uint8_t> bytes) {
    bool waited_inline = false;
    while (!bytes.empty()) {
        const ssize_t written = send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(written));
            continue;
        }
        if (written == 0) co_return fail(SystemError::custom(ErrorKind::WriteZero, "write zero"));
        const int error = errno;
        if (error == EINTR) continue;
        if (!would_block(error)) co_return fail(SystemError::from_errno(error));
        if (brief_inline_wait(fd_.get(), POLLOUT, waited_inline)) continue;
        if (int failed = co_await runtime.writable(fd_.get())) co_return fail(SystemError::from_errno(failed));
    }
    co_return Unit{};
}

Task<Result<Unit, SystemError>> UnixStream::read_exact(Runtime& runtime, std::span<std::uint8_t> bytes) {
    auto read = co_await read_at_least(runtime, bytes, bytes.size());
    if (!read.ok()) co_return fail(std::move(read).error());
    co_return Unit{};
}

Task<Result<std::size_t, SystemError>> UnixStream::read_at_least(Runtime& runtime, std::span<std::uint8_t> bytes,
                                                                 std::size_t minimum) {
    // The caller's own thread first sleeps in one receive, bounded by the descriptor's receive
    // time limit; once that has run out, or on a worker, the runtime watches the socket.
    bool waited_inline = Runtime::on_worker_thread();
    std::size_t filled = 0;
    while (filled < minimum) {
        const int flags = waited_inline ? MSG_DONTWAIT : 0;
        const ssize_t received = recv(fd_.get(), bytes.data() + filled, bytes.size() - filled, flags);
        if (received > 0) {
            filled += static_cast<std::size_t>(received);
            continue;
        }
        if (received == 0) co_return fail(early_eof());
        const int error = errno;
        if (error == EINTR) continue;
        if (!would_block(error)) co_return fail(SystemError::from_errno(error));
        waited_inline = true;
        if (int failed = co_await runtime.readable(fd_.get())) co_return fail(SystemError::from_errno(failed));
    }
    co_return filled;
}

}  // namespace zorvo::hybrid
