// The memory of the step cycle's private array copies: blocks in size classes,
// each class keeping a few freed blocks for the next copy of that size, so a
// stream of same-shaped arrays reuses warm memory instead of fresh pages from the
// operating system. The cache is bounded per class and in total; what does not fit
// goes back to the system allocator.
//
// Each block starts with a header that names its class, so a free needs no size
// and no lookup (the size numpy passes to free is not trusted: an array's shape
// may change after it was made). No Python here; a mutex guards the lists, as
// blocks may be freed on another thread than the one that made them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace vx::array_pool {

// The header's size: a cache line, keeping the data aligned as malloc aligns it.
inline constexpr size_t header_size = 64;
inline constexpr size_t smallest = 256;
inline constexpr size_t largest = size_t(64) << 20;  // larger blocks are not cached
inline constexpr int steps_per_doubling = 4;          // at most 25% slack per block
inline constexpr int smallest_shift = 8;              // log2(smallest)
inline constexpr int class_count = (26 - smallest_shift) * steps_per_doubling + 1;
inline constexpr int unpooled = -1;
// Bytes cached per class and in all: enough for the arrays of a deep queue.
inline constexpr size_t class_budget = size_t(16) << 20;
inline constexpr size_t total_budget = size_t(64) << 20;

// Padded, not aligned, to its size: malloc's blocks are only 16-byte aligned.
struct Header {
    int size_class;
    size_t capacity;  // usable bytes after the header
    Header *next;     // in its class's free list while cached
    char padding[header_size - sizeof(int) - sizeof(size_t) - sizeof(Header *) - 4];
};
static_assert(sizeof(Header) == header_size);

// The class whose blocks hold `size` bytes, and its capacity.
inline int class_of(size_t size, size_t *capacity) {
    if (size <= smallest) {
        *capacity = smallest;
        return 0;
    }
    if (size > largest) {
        *capacity = (size + header_size - 1) / header_size * header_size;
        return unpooled;
    }
    int shift = 63 - __builtin_clzll((unsigned long long)(size - 1));  // 2^shift < size <= 2^(shift+1)
    size_t base = size_t(1) << shift, step = base / steps_per_doubling;
    size_t steps = (size - base + step - 1) / step;  // 1..steps_per_doubling
    *capacity = base + steps * step;
    return (shift - smallest_shift) * steps_per_doubling + int(steps);
}

struct Figures {
    size_t outstanding = 0;     // blocks given out and not yet freed
    size_t cached = 0;          // freed blocks kept for reuse
    size_t cached_bytes = 0;
    size_t from_system = 0;     // blocks ever taken from the system allocator
    size_t reused = 0;          // allocations answered from the cache
};

class Pool {
public:
    void *allocate(size_t size) {
        size_t capacity;
        int size_class = class_of(size ? size : 1, &capacity);
        if (size_class != unpooled) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (Header *block = free_[size_class]) {
                free_[size_class] = block->next;
                --cached_in_[size_class];
                figures_.cached -= 1;
                figures_.cached_bytes -= capacity;
                figures_.reused += 1;
                figures_.outstanding += 1;
                return block + 1;
            }
        }
        void *raw = std::malloc(header_size + capacity);
        if (!raw)
            return nullptr;
        Header *block = new (raw) Header{size_class, capacity, nullptr};
        std::lock_guard<std::mutex> lock(mutex_);
        figures_.from_system += 1;
        figures_.outstanding += 1;
        return block + 1;
    }

    void *allocate_zeroed(size_t count, size_t item_size) {
        if (item_size && count > SIZE_MAX / item_size)
            return nullptr;
        void *data = allocate(count * item_size);
        if (data)
            std::memset(data, 0, count * item_size);
        return data;
    }

    void *reallocate(void *data, size_t size) {
        if (!data)
            return allocate(size);
        Header *block = header_of(data);
        if (size <= block->capacity)
            return data;
        void *moved = allocate(size);
        if (!moved)
            return nullptr;  // the old block stays valid, as realloc leaves it
        std::memcpy(moved, data, block->capacity);
        release(data);
        return moved;
    }

    void release(void *data) {
        if (!data)
            return;
        Header *block = header_of(data);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            figures_.outstanding -= 1;
            int size_class = block->size_class;
            if (size_class != unpooled && (cached_in_[size_class] + 1) * block->capacity <= class_budget &&
                figures_.cached_bytes + block->capacity <= total_budget) {
                block->next = free_[size_class];
                free_[size_class] = block;
                ++cached_in_[size_class];
                figures_.cached += 1;
                figures_.cached_bytes += block->capacity;
                return;
            }
        }
        block->~Header();
        std::free(block);
    }

    Figures figures() {
        std::lock_guard<std::mutex> lock(mutex_);
        return figures_;
    }

private:
    static Header *header_of(void *data) { return static_cast<Header *>(data) - 1; }

    std::mutex mutex_;
    Header *free_[class_count] = {};
    size_t cached_in_[class_count] = {};
    Figures figures_;
};

// The one pool of the process. Never destroyed: arrays freed during the
// interpreter's finalisation still return their blocks here.
inline Pool &pool() {
    static Pool *the_pool = new Pool();
    return *the_pool;
}

} // namespace vx::array_pool
