#include "zorvo/shm/os_handles.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace zorvo::shm {

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        if (address_ != nullptr) ::munmap(address_, length_);
        address_ = std::exchange(other.address_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

Mapping::~Mapping() {
    if (address_ != nullptr) ::munmap(address_, length_);
}

}  // namespace zorvo::shm
