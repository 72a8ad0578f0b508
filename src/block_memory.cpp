// Block allocation with the advice that asks the kernel for huge pages.
#include "block_memory.h"

#include <sys/mman.h>

block_memory::block_ptr block_memory::allocate(size_t bytes) {
    const size_t rounded = (bytes + block_bytes - 1) / block_bytes * block_bytes;
    void* p = std::aligned_alloc(block_bytes, rounded);
    if (!p) throw std::bad_alloc();
    // Only advice: where huge pages are off, the blocks are ordinary memory.
    madvise(p, rounded, MADV_HUGEPAGE);
    return block_ptr(p);
}
