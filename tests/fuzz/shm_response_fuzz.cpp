// The shared-memory response path against a region whose every byte came from outside: region
// header validation, result and error blocks at arbitrary offsets, and both queues with arbitrary
// (often corrupt) indices. Each outcome is checked against plain bounds arithmetic.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/shm/queue_layout.hpp"
#include "zorvo/shm/region_header.hpp"
#include "zorvo/shm/ring_buffer.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace {

using zorvo::fuzz::FuzzInput;
using zorvo::fuzz::require;
using zorvo::shm::QUEUE_CAPACITY;
using zorvo::shm::QueueError;

std::uint64_t le(const std::uint8_t* at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{at[i]} << (8 * i);
    return value;
}

bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

void check_region_validation(std::span<const std::uint8_t> region) {
    auto header = zorvo::shm::validate_region(region);
    const std::uint64_t size = region.size();
    bool valid = size >= zorvo::shm::REGION_HEADER_SIZE;
    if (valid) {
        const std::uint8_t* at = region.data();
        const std::uint64_t request_queue = le(at + 8, 8), response_queue = le(at + 16, 8);
        valid = le(at, 4) == zorvo::shm::SHM_MAGIC && le(at + 4, 4) == zorvo::shm::SHM_VERSION &&
                request_queue % 8 == 0 && response_queue % 8 == 0 &&
                fits(request_queue, zorvo::shm::REQUEST_QUEUE_BYTES, size) &&
                fits(response_queue, zorvo::shm::RESPONSE_QUEUE_BYTES, size) &&
                fits(le(at + 24, 8), le(at + 32, 8), size);
    }
    require(header.ok() == valid, "region validation disagrees with the header's bounds");
}

void check_blocks(std::span<const std::uint8_t> region, std::uint64_t tensor_at, std::uint64_t error_at) {
    const std::uint64_t size = region.size();
    auto data = zorvo::shm::read_tensor_data(region, tensor_at);
    const bool header_inside = fits(tensor_at, zorvo::shm::TENSOR_BLOCK_HEADER, size);
    const std::uint64_t data_len = header_inside ? le(region.data() + tensor_at + 72, 8) : 0;
    const bool tensor_inside = header_inside && fits(tensor_at + 80, data_len, size);
    require(data.ok() == tensor_inside, "a tensor block is accepted or refused against its bounds");
    if (data.ok()) {
        require(data->data() == region.data() + tensor_at + 80 && data->size() == data_len,
                "the tensor data view is not the block's data");
    }

    auto text = zorvo::shm::read_error_text(region, error_at);
    const bool length_inside = fits(error_at, 8, size);
    const bool text_inside = length_inside && fits(error_at + 8, le(region.data() + error_at, 8), size);
    require(text.ok() == text_inside, "an error text block is accepted or refused against its bounds");
}

// A queue's memory: 8-byte aligned as in a mapped region, slots filled from the input.
template <class Entry>
struct QueueMemory {
    std::vector<std::uint64_t> words = std::vector<std::uint64_t>(zorvo::shm::queue_bytes(Entry::SIZE) / 8);

    QueueMemory(FuzzInput& input, std::span<const std::uint8_t> slot_bytes) {
        auto* bytes = base();
        const std::size_t slots_at = 3 * Entry::SIZE;
        const std::size_t n = std::min(slot_bytes.size(), words.size() * 8 - slots_at);
        if (n) std::memcpy(bytes + slots_at, slot_bytes.data(), n);
        for (std::uint64_t cell = 0; cell < 3; ++cell) index(cell) = input.index_like(QUEUE_CAPACITY + 3);
    }
    std::uint8_t* base() { return reinterpret_cast<std::uint8_t*>(words.data()); }
    std::uint64_t& index(std::uint64_t cell) { return *reinterpret_cast<std::uint64_t*>(base() + cell * Entry::SIZE); }
    std::uint8_t* slot(std::uint64_t at) { return base() + (3 + at) * Entry::SIZE; }
};

void check_pop(FuzzInput& input, std::span<const std::uint8_t> slot_bytes) {
    using Entry = zorvo::shm::ShmResponseEntry;
    QueueMemory<Entry> memory(input, slot_bytes);
    const zorvo::shm::ResponseQueue queue(memory.base(), std::chrono::nanoseconds(0));

    for (std::uint64_t round = 0; round <= QUEUE_CAPACITY; ++round) {
        const std::uint64_t reserve = memory.index(0), commit = memory.index(1), read = memory.index(2);
        auto popped = queue.try_pop();
        require(memory.index(0) == reserve && memory.index(1) == commit, "try_pop moved a producer index");
        if (read >= QUEUE_CAPACITY || commit >= QUEUE_CAPACITY) {
            require(!popped.ok() && popped.error().kind() == QueueError::Kind::Corrupt &&
                        memory.index(2) == read,
                    "a corrupt index is not reported, or the read index moved");
            return;
        }
        require(popped.ok(), "a pop from a sound queue failed");
        if (read == commit) {
            require(!popped.value() && memory.index(2) == read, "an empty queue yielded an entry");
            return;
        }
        const auto expected = Entry::decode(std::span<const std::uint8_t, Entry::SIZE>(memory.slot(read), Entry::SIZE));
        require(popped.value() && *popped.value() == expected, "the popped entry is not the slot at the read index");
        require(memory.index(2) == (read + 1) % QUEUE_CAPACITY, "the read index did not advance by one");
    }
    require(false, "more entries popped than the ring holds");
}

void check_push(FuzzInput& input, std::span<const std::uint8_t> slot_bytes) {
    using Entry = zorvo::shm::ShmRequestEntry;
    QueueMemory<Entry> memory(input, slot_bytes);
    const zorvo::shm::RequestQueue queue(memory.base(), std::chrono::nanoseconds(0));
    const Entry entry{input.u64(), input.u64(), input.u64(), input.u64()};

    const std::uint64_t reserve = memory.index(0), commit = memory.index(1), read = memory.index(2);
    auto pushed = queue.push(entry);
    if (reserve >= QUEUE_CAPACITY || read >= QUEUE_CAPACITY) {
        require(!pushed.ok() && pushed.error().kind() == QueueError::Kind::Corrupt, "a corrupt index is not reported");
        require(memory.index(0) == reserve && memory.index(1) == commit, "a corrupt queue was changed");
        return;
    }
    const std::uint64_t next = (reserve + 1) % QUEUE_CAPACITY;
    if (next == read) {
        require(!pushed.ok() && pushed.error().kind() == QueueError::Kind::Full, "a full queue accepted an entry");
        require(memory.index(0) == reserve && memory.index(1) == commit, "a full queue was changed");
        return;
    }
    require(memory.index(0) == next, "the reserve index did not advance by one");
    std::uint8_t written[Entry::SIZE];
    entry.encode_into(written);
    require(std::memcmp(memory.slot(reserve), written, Entry::SIZE) == 0, "the entry is not in the reserved slot");
    if (commit == reserve) {
        require(pushed.ok() && memory.index(1) == next, "a push in turn was not published");
    } else {
        require(!pushed.ok() && pushed.error().kind() == QueueError::Kind::CommitStalled && memory.index(1) == commit,
                "a push behind an unpublished slot did not report the stall");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint64_t tensor_at = input.index_like(1 << 16);
    const std::uint64_t error_at = input.index_like(1 << 16);
    FuzzInput queue_input = input;  // index values are drawn from here, slot contents from the rest
    const auto region_bytes = input.rest();

    // An exactly sized copy, so any read past the end is caught.
    const std::vector<std::uint8_t> region(region_bytes.begin(), region_bytes.end());
    check_region_validation(region);
    check_blocks(region, tensor_at, error_at);
    check_pop(queue_input, region);
    check_push(queue_input, region);
    return 0;
}
