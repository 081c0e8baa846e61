#pragma once

#include <cstdint>
#include <string>

namespace zorvo::shm {

// Why a queue operation could not be carried out.
class QueueError {
public:
    enum class Kind {
        Full,           // push found no free slot
        CommitStalled,  // an earlier producer reserved a slot and never published it
        Corrupt,        // an index in the region is not a slot number
    };

    static QueueError full() { return QueueError(Kind::Full, 0); }
    static QueueError commit_stalled() { return QueueError(Kind::CommitStalled, 0); }
    static QueueError corrupt(std::uint64_t bad_index) { return QueueError(Kind::Corrupt, bad_index); }

    Kind kind() const noexcept { return kind_; }
    std::string display() const;

private:
    QueueError(Kind kind, std::uint64_t bad_index) : kind_(kind), bad_index_(bad_index) {}

    Kind kind_;
    std::uint64_t bad_index_;
};

}  // namespace zorvo::shm
