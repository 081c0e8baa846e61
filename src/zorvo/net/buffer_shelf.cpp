#include "zorvo/net/buffer_shelf.hpp"

#include <utility>

namespace zorvo::net {

std::optional<ByteBuffer> BufferShelf::take(std::size_t size) noexcept {
    if (size < kMinBytes) return std::nullopt;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    for (ByteBuffer& spare : spares_) {
        const std::size_t capacity = spare.capacity();
        if (capacity < size || capacity / 2 > size) continue;  // empty places fail the first test
        spare_bytes_ -= capacity;
        ByteBuffer taken = std::move(spare);
        lock.unlock();
        taken.resize(size);  // within the capacity: no allocation, no byte written
        return taken;
    }
    return std::nullopt;
}

void BufferShelf::give_back(ByteBuffer buffer) noexcept {
    const std::size_t capacity = buffer.capacity();
    if (capacity < kMinBytes) return;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || spare_bytes_ + capacity > kMaxBytes) return;
    for (ByteBuffer& place : spares_) {
        if (place.capacity() != 0) continue;
        buffer.clear();
        place = std::move(buffer);
        spare_bytes_ += capacity;
        return;
    }
}  // a buffer not kept is freed here, after the shelf is let go

std::size_t BufferShelf::spare_bytes() const {
    std::lock_guard lock(mutex_);
    return spare_bytes_;
}

}  // namespace zorvo::net
