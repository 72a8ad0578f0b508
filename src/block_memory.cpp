// Block allocation: small blocks from the heap, whole ones mapped on their own, aligned to
// 2 MiB and advised for huge pages.
#include "block_memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

namespace {

// `bytes` (whole blocks) at a 2 MiB boundary: mapped with a block to spare, whose unaligned
// ends are unmapped again.
void* mapAligned(size_t bytes) {
    const size_t spare = block_memory::block_bytes;
    void* mapped = mmap(nullptr, bytes + spare, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + spare - 1) / spare * spare;
    if (aligned > start) munmap(mapped, aligned - start);
    const size_t tail = start + spare - aligned;
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

void block_memory::block_free::operator()(void* p) const noexcept {
    if (mapped > 0)
        munmap(p, mapped);
    else
        std::free(p);
}

block_memory::block_ptr block_memory::allocate(size_t bytes) {
    if (bytes < block_bytes) {
        constexpr size_t cache_line = 64;
        void* p = std::aligned_alloc(cache_line, (bytes + cache_line - 1) / cache_line * cache_line);
        if (!p) throw std::bad_alloc();
        return block_ptr(p);
    }
    const size_t rounded = (bytes + block_bytes - 1) / block_bytes * block_bytes;
    void* p = mapAligned(rounded);
    // Only advice: where huge pages are off, the blocks are ordinary memory.
    madvise(p, rounded, MADV_HUGEPAGE);
    return block_ptr(p, block_free{rounded});
}

block_memory::block_ptr block_memory::allocateZeroed(size_t bytes) {
    block_ptr block = allocate(bytes);
    if (block.get_deleter().mapped == 0) std::memset(block.get(), 0, bytes);
    return block;
}
