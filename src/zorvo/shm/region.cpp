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

Result<UniqueFd, ShmError> open_region(std::string_view name, const std::string& path) {
    if (name.size() >= kMaxNameBytes) return fail(ShmError::mapping(ENAMETOOLONG));
    if (name.find('\0') != std::string_view::npos) return fail(ShmError::mapping(EINVAL));
    UniqueFd fd(::shm_open(path.c_str(), O_RDWR, 0400));
    if (fd.get() < 0) return fail(ShmError::mapping(errno));
    return fd;
}

RegionIdentity identity_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

Result<RegionIdentity, ShmError> ShmManager::identify(std::string_view name) {
    const std::string path(name);
    auto fd = open_region(name, path);
    if (!fd.ok()) return fail(std::move(fd).error());
    struct stat status {};
    if (::fstat(fd.value().get(), &status) != 0) return fail(ShmError::mapping(errno));
    return identity_of(status);
}

Result<ShmManager, ShmError> ShmManager::connect(std::string_view name) {
    std::string path(name);
    auto opened = open_region(name, path);
    if (!opened.ok()) return fail(std::move(opened).error());
    UniqueFd fd = std::move(opened).value();

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
    return ShmManager(std::move(path), identity_of(status), static_cast<unsigned>(status.st_mode & 07777),
                      Owner{status.st_uid, status.st_gid}, std::move(fd), std::move(mapping), header.value());
}

}  // namespace zorvo::shm
