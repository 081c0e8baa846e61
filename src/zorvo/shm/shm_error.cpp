#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

std::string ShmError::display() const {
    switch (kind_) {
        case Kind::Mapping:
            return "Shared memory error: Opening the shared memory failed, os error " +
                   std::to_string(os_code_);
        case Kind::InvalidMagic: return "Invalid magic number in shared memory";
        case Kind::VersionMismatch: return "Shared memory version mismatch";
        case Kind::InvalidLayout:
        case Kind::Coordination: return "Shared memory error: " + detail_;
    }
    return "Shared memory error";
}

}  // namespace zorvo::shm
