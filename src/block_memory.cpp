// Block allocation with the advice that asks the kernel for huge pages.
#include "block_memory.h"

#include <sys/mman.h>

block_memory::block_ptr block_memory::allocate(size_t bytes) {
    constexpr size_t cache_line = 64;
    const size_t unit = bytes < block_bytes ? cache_line : block_bytes;
    const size_t rounded = (bytes + unit - 1) / unit * unit;
    void* p = std::aligned_alloc(unit, rounded);
    if (!p) throw std::bad_alloc();
    // Only advice: where huge pages are off, the blocks are ordinary memory.
    if (unit == block_bytes) madvise(p, rounded, MADV_HUGEPAGE);
    return block_ptr(p);
}
