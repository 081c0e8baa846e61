#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/peer_layout.hpp"
#include "zorvo/shm/region.hpp"
#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

// The life of the coordination object that the clients of one region share (what is in it is the
// peer table's business): finding it, trusting it, creating it complete, taking a client number in
// it, removing it when nobody can need it any more, and keeping forked children out of it.
//
// Its first words are a magic and its count of claim words; its claim words start at byte 64; its
// last 4096 bytes hold the region's name (u64 length, then the bytes). Client k holds an
// open-file-description write lock on byte k.
inline constexpr std::uint64_t PEER_TABLE_MAGIC = layout::MAGIC;
inline constexpr std::uint32_t COORDINATION_CLIENTS = layout::MAX_PEERS;
inline constexpr std::uint64_t COORDINATION_CLAIMS_OFFSET = layout::CLAIMS_OFFSET;
inline constexpr std::uint64_t COORDINATION_NAME_BYTES = layout::NAME_BYTES;

// "/zorvo-peers2-<device>-<inode>" (hex) for the region object of that identity.
std::string coordination_object_name(RegionIdentity region);

// A descriptor of a coordination object. It is opened and closed under the lock that fork takes,
// and a forked child finds a harmless placeholder under its number: a copy of the descriptor would
// keep the parent's client number (the lock lives as long as its open file description).
class CoordinationFd {
public:
    CoordinationFd() noexcept = default;
    // Opens `path` without following a final link; invalid (errno set) on failure.
    static CoordinationFd open(const std::string& path, int flags, unsigned mode = 0);
    CoordinationFd(CoordinationFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    CoordinationFd& operator=(CoordinationFd&& other) noexcept;
    CoordinationFd(const CoordinationFd&) = delete;
    CoordinationFd& operator=(const CoordinationFd&) = delete;
    ~CoordinationFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    void reset() noexcept;

private:
    explicit CoordinationFd(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

// The shared mapping of a coordination object; a forked child finds anonymous memory in its place,
// since a shared mapping holds the open file description (and so the number) as a descriptor does.
class CoordinationMapping {
public:
    CoordinationMapping() noexcept = default;
    // Maps `bytes` of `fd` read-write and shared; empty (errno set) on failure.
    static CoordinationMapping map(int fd, std::size_t bytes);
    CoordinationMapping(CoordinationMapping&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)), length_(std::exchange(other.length_, 0)) {}
    CoordinationMapping& operator=(CoordinationMapping&& other) noexcept;
    CoordinationMapping(const CoordinationMapping&) = delete;
    CoordinationMapping& operator=(const CoordinationMapping&) = delete;
    ~CoordinationMapping() { reset(); }

    std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(address_); }
    std::size_t size() const noexcept { return length_; }
    void reset() noexcept;

private:
    void* address_ = nullptr;
    std::size_t length_ = 0;
};

struct JoinedObject {
    std::string name;
    CoordinationFd fd;
    CoordinationMapping mapping;
    std::uint32_t number = 0;
};

// Opens the coordination object of `region` (creating it complete when there is none), checks that
// it can be trusted, takes the lowest free client number and maps its `bytes` bytes. A planted or
// broken object is refused with an error that names it, or replaced when nobody uses it and its
// owner is this user or the region's. Gives up with an error on any failure other than the object
// vanishing under it, and after about 2 s of races or a full table.
Result<JoinedObject, ShmError> join_coordination_object(const ShmManager& region, std::uint64_t bytes,
                                                        std::uint64_t slot_count);

// Called by a client that leaves, with the object's descriptor and claim words: the object is
// removed if no other client holds a number and no claim is live (the engine may still use a slot
// of a call that timed out, and request numbering must go on from the object). Never fails: an
// object it may not remove (another user's, in the sticky /dev/shm) stays for the next client.
void leave_coordination_object(const std::string& name, int fd, std::span<std::uint64_t> claims) noexcept;

// Removes the coordination objects in /dev/shm (of this or the previous layout) that are proven
// stale: no client holds a number, the region named in them is gone (its name names no object or
// another one), and no claim in them is live. Anything else (an object that cannot be opened,
// judged or removed, a region that cannot be looked up for any other reason) is left alone. Also
// removes creators' temporary objects abandoned for over a minute. `keep` is never touched.
void sweep_stale_coordination_objects(std::string_view keep);

}  // namespace zorvo::shm
