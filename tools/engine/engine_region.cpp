#include "engine_region.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "zorvo/common/system_error.hpp"
#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/queue_layout.hpp"

namespace zorvo::engine {

namespace {

constexpr std::uint64_t kQueueAlignment = 64;
constexpr std::uint64_t kPoolAlignment = 4096;

constexpr std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) noexcept {
    return (value + alignment - 1) / alignment * alignment;
}

std::string os_text(int code) { return SystemError::from_errno(code).display(); }

}  // namespace

Result<RegionLayout, std::string> plan_region_layout(std::uint64_t pool_size) {
    RegionLayout layout;
    layout.request_queue_offset = align_up(shm::REGION_HEADER_SIZE, kQueueAlignment);
    layout.response_queue_offset = align_up(layout.request_queue_offset + shm::REQUEST_QUEUE_BYTES, kQueueAlignment);
    layout.pool_offset = align_up(layout.response_queue_offset + shm::RESPONSE_QUEUE_BYTES, kPoolAlignment);
    layout.pool_size = pool_size;
    constexpr auto kLargestFile = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (pool_size > kLargestFile - layout.pool_offset)
        return fail("a tensor pool of " + std::to_string(pool_size) + " bytes does not fit in a region");
    layout.total_size = layout.pool_offset + pool_size;
    return layout;
}

Result<std::unique_ptr<EngineRegion>, std::string> EngineRegion::create(std::string name, std::uint64_t pool_size) {
    auto planned = plan_region_layout(pool_size);
    if (!planned.ok()) return fail(std::move(planned.error()));
    const RegionLayout layout = *planned;

    // O_EXCL: never take over a region another engine may still be serving.
    UniqueFd fd(::shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        const int code = errno;
        if (code == EEXIST)
            return fail("shared-memory region '" + name + "' already exists (is another engine serving it?)");
        return fail("cannot create shared-memory region '" + name + "': " + os_text(code));
    }
    // From here on a failure must remove the name again.
    auto fail_and_unlink = [&](const std::string& what, int code) {
        ::shm_unlink(name.c_str());
        return "cannot " + what + " shared-memory region '" + name + "': " + os_text(code);
    };
    if (::ftruncate(fd.get(), static_cast<off_t>(layout.total_size)) != 0)
        return fail(fail_and_unlink("size", errno));
    void* address = ::mmap(nullptr, layout.total_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return fail(fail_and_unlink("map", errno));
    auto* base = static_cast<std::uint8_t*>(address);

    // A fresh object reads as zeros, so both queues start empty (all indices 0). The header goes
    // last: a client that sees the magic sees a complete region.
    shm::RegionHeader header;
    header.magic = shm::SHM_MAGIC;
    header.version = shm::SHM_VERSION;
    header.request_queue_offset = layout.request_queue_offset;
    header.response_queue_offset = layout.response_queue_offset;
    header.tensor_pool_offset = layout.pool_offset;
    header.tensor_pool_size = layout.pool_size;
    header.notify_fd = -1;
    std::memset(base, 0, static_cast<std::size_t>(layout.pool_offset));
    shm::encode_region_header(header, std::span<std::uint8_t, shm::REGION_HEADER_SIZE>(base, shm::REGION_HEADER_SIZE));

    return std::make_unique<EngineRegion>(Key(), std::move(name), std::move(fd), base, layout);
}

EngineRegion::~EngineRegion() {
    ::munmap(base_, static_cast<std::size_t>(layout_.total_size));
    ::shm_unlink(name_.c_str());
}

}  // namespace zorvo::engine
