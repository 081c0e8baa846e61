#include "engine_region.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
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

Result<shm::RegionHeader, std::string> plan_region_layout(std::uint64_t pool_size) {
    shm::RegionHeader layout;
    layout.request_queue_offset = align_up(shm::REGION_HEADER_SIZE, kQueueAlignment);
    layout.response_queue_offset = align_up(layout.request_queue_offset + shm::REQUEST_QUEUE_BYTES, kQueueAlignment);
    layout.tensor_pool_offset = align_up(layout.response_queue_offset + shm::RESPONSE_QUEUE_BYTES, kPoolAlignment);
    layout.tensor_pool_size = pool_size;
    layout.notify_fd = -1;
    constexpr auto kLargestFile = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (pool_size > kLargestFile - layout.tensor_pool_offset)
        return fail("a tensor pool of " + std::to_string(pool_size) + " bytes does not fit in a region");
    return layout;
}

Result<std::unique_ptr<EngineRegion>, std::string> EngineRegion::create(std::string name, std::uint64_t pool_size) {
    auto planned = plan_region_layout(pool_size);
    if (!planned.ok()) return fail(std::move(planned.error()));
    const shm::RegionHeader layout = *planned;
    const std::uint64_t total_size = layout.tensor_pool_offset + layout.tensor_pool_size;

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
    if (::ftruncate(fd.get(), static_cast<off_t>(total_size)) != 0)
        return fail(fail_and_unlink("size", errno));
    void* address = ::mmap(nullptr, total_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return fail(fail_and_unlink("map", errno));
    shm::Mapping mapping(address, static_cast<std::size_t>(total_size));

    // A fresh object reads as zeros, so both queues start empty (all indices 0). The header goes
    // last: a client that sees the magic sees a complete region.
    shm::encode_region_header(layout,
                              std::span<std::uint8_t, shm::REGION_HEADER_SIZE>(mapping.data(), shm::REGION_HEADER_SIZE));

    return std::make_unique<EngineRegion>(Key(), std::move(name), std::move(fd), std::move(mapping), layout);
}

EngineRegion::~EngineRegion() { ::shm_unlink(name_.c_str()); }

}  // namespace zorvo::engine
