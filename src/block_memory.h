// Memory for the read table in blocks of 2 MiB, aligned so that the system may back each with
// one huge page. A sample holds millions of reads of a few dozen bytes each: touched one small
// page at a time, that memory costs a fault every 4 KiB, which on a virtual machine costs more
// than decoding the reads that fill it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace block_memory {

constexpr size_t block_bytes = size_t{2} << 20;

struct block_free {
    void operator()(void* p) const noexcept { std::free(p); }
};
using block_ptr = std::unique_ptr<void, block_free>;

// `bytes` rounded up to whole blocks; throws std::bad_alloc when there is no memory.
block_ptr allocate(size_t bytes);

}  // namespace block_memory

// A growing array of trivially copyable records in whole blocks: growth never moves or copies
// what is there, and clear() keeps the blocks for the next sample.
template <class T> class block_array {
public:
    static constexpr size_t per_block = block_memory::block_bytes / sizeof(T);

    void push_back(const T& value) {
        if (used == blocks.size() * per_block)
            blocks.push_back(block_memory::allocate(block_memory::block_bytes));
        new (slot(used)) T(value);
        ++used;
    }
    T& operator[](size_t i) { return *slot(i); }
    const T& operator[](size_t i) const { return *slot(i); }
    size_t size() const { return used; }
    void clear() { used = 0; }
    size_t bytesUsed() const { return blocks.size() * block_memory::block_bytes; }

private:
    T* slot(size_t i) const {
        return static_cast<T*>(blocks[i / per_block].get()) + i % per_block;
    }

    std::vector<block_memory::block_ptr> blocks;
    size_t used = 0;
};
