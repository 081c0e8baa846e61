#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "zorvo/shm/queue_layout.hpp"
#include "zorvo/shm/region_header.hpp"

namespace zorvo::shm::testing {

// A shared-memory object owned by one test: created with a unique name, mapped here, and
// unlinked when the test ends.
class TestRegion {
public:
    explicit TestRegion(std::uint64_t size) : name_(unique_name()), size_(size) {
        const int fd = ::shm_open(name_.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        if (fd < 0) throw std::runtime_error("shm_open failed");
        if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
            ::close(fd);
            throw std::runtime_error("ftruncate failed");
        }
        if (size > 0) {
            void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (address == MAP_FAILED) {
                ::close(fd);
                throw std::runtime_error("mmap failed");
            }
            base_ = static_cast<std::uint8_t*>(address);
        }
        ::close(fd);
    }
    ~TestRegion() {
        if (base_ != nullptr) ::munmap(base_, size_);
        ::shm_unlink(name_.c_str());
    }
    TestRegion(const TestRegion&) = delete;
    TestRegion& operator=(const TestRegion&) = delete;

    const std::string& name() const { return name_; }
    std::uint8_t* base() const { return base_; }
    std::span<std::uint8_t> bytes() const { return {base_, static_cast<std::size_t>(size_)}; }

    void write_header(const RegionHeader& header) {
        encode_region_header(header, bytes().first<REGION_HEADER_SIZE>());
    }

private:
    static std::string unique_name() {
        static std::atomic<int> counter{0};
        return "/zorvo-shm-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    }

    std::string name_;
    std::uint64_t size_;
    std::uint8_t* base_ = nullptr;
};

// The layout the engine uses: header, request queue, response queue, then a 4096-aligned pool.
struct StandardLayout {
    static constexpr std::uint64_t request_queue = 64;
    static constexpr std::uint64_t response_queue = request_queue + REQUEST_QUEUE_BYTES;
    static constexpr std::uint64_t pool = ((response_queue + RESPONSE_QUEUE_BYTES + 4095) / 4096) * 4096;

    static RegionHeader header(std::uint64_t pool_size, std::int32_t notify_fd = -1) {
        RegionHeader header;
        header.request_queue_offset = request_queue;
        header.response_queue_offset = response_queue;
        header.tensor_pool_offset = pool;
        header.tensor_pool_size = pool_size;
        header.notify_fd = notify_fd;
        return header;
    }
    static std::uint64_t region_size(std::uint64_t pool_size) { return pool + pool_size; }
};

}  // namespace zorvo::shm::testing
