#pragma once

#include <string>

namespace zorvo::shm {

// Why attaching to a region failed.
class ShmError {
public:
    enum class Kind {
        Mapping,          // opening, sizing or mapping the object failed (carries errno)
        InvalidMagic,
        VersionMismatch,
        InvalidLayout,    // the header describes memory the mapping does not have
        Coordination,     // the clients' coordination object beside the region cannot be used
    };

    static ShmError mapping(int os_code) { return ShmError(Kind::Mapping, os_code, {}); }
    static ShmError invalid_magic() { return ShmError(Kind::InvalidMagic, 0, {}); }
    static ShmError version_mismatch() { return ShmError(Kind::VersionMismatch, 0, {}); }
    static ShmError invalid_layout(std::string detail) {
        return ShmError(Kind::InvalidLayout, 0, std::move(detail));
    }

    static ShmError coordination(std::string detail) {
        return ShmError(Kind::Coordination, 0, std::move(detail));
    }

    Kind kind() const noexcept { return kind_; }
    int os_code() const noexcept { return os_code_; }

    std::string display() const;

private:
    ShmError(Kind kind, int os_code, std::string detail)
        : kind_(kind), os_code_(os_code), detail_(std::move(detail)) {}

    Kind kind_;
    int os_code_;
    std::string detail_;
};

}  // namespace zorvo::shm
