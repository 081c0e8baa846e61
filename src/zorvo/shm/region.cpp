#include "zorvo/shm/region.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>

#include "zorvo/shm/log.hpp"

namespace zorvo::shm {

namespace {

constexpr std::size_t kMaxNameBytes = 4096;

}  // namespace

Result<ShmManager, ShmError> ShmManager::connect(std::string_view name) {
    if (name.size() >= kMaxNameBytes) return fail(ShmError::mapping(ENAMETOOLONG));
    if (name.find('\0') != std::string_view::npos) return fail(ShmError::mapping(EINVAL));
    std::string path(name);

    UniqueFd fd(::shm_open(path.c_str(), O_RDWR, 0400));
    if (fd.get() < 0) return fail(ShmError::mapping(errno));

    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return fail(ShmError::mapping(errno));
    const auto length = static_cast<std::size_t>(status.st_size);

    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return fail(ShmError::mapping(errno));
    Mapping mapping(address, length);

    auto header = validate_region({mapping.data(), mapping.size()});
    if (!header.ok()) return fail(std::move(header).error());

    if (log::enabled(log::Level::Info)) {
        log::emit(log::Level::Info, "zorvo_shm::memory",
                  "Connected to shared memory region '" + path + "' of size " +
                      std::to_string(length) + " bytes");
    }
    return ShmManager(std::move(path), std::move(fd), std::move(mapping), header.value());
}

}  // namespace zorvo::shm
