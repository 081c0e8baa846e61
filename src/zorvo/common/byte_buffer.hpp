#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zorvo {

// An allocator whose value-less construct leaves the element uninitialised, so resizing a buffer
// that is about to be filled from a socket does not write every byte twice.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };

    using std::allocator<T>::allocator;

    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        std::allocator_traits<std::allocator<T>>::construct(static_cast<std::allocator<T>&>(*this), place,
                                                            std::forward<Args>(args)...);
    }
};

// Bytes received from a peer: grown with resize() and then filled.
using ByteBuffer = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

}  // namespace zorvo
