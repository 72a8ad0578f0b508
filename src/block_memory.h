// Memory for the read table in blocks of 2 MiB, after a small first block, aligned so that the
// system may back each with one huge page. A sample holds millions of reads of a few dozen
// bytes each: touched one small page at a time, that memory costs a fault every 4 KiB, which
// on a virtual machine costs more than decoding the reads that fill it. Whole blocks are mapped
// apart from the heap, so that a block given back goes back to the system at once, wherever it
// lies.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace block_memory {

constexpr size_t block_bytes = size_t{2} << 20;
// A table starts in a small block, so that one that holds few reads costs little.
constexpr size_t first_block_bytes = 4096;

// Unmaps a whole block (`mapped` bytes), frees a small one.
struct block_free {
    size_t mapped = 0;
    void operator()(void* p) const noexcept;
};
using block_ptr = std::unique_ptr<void, block_free>;

// At least `bytes`: whole 2 MiB blocks advised for huge pages from block_bytes on, a small
// aligned piece below; throws std::bad_alloc when there is no memory.
block_ptr allocate(size_t bytes);
// The same, every byte zero: a mapped block is zero as the system gives it, and is not written.
block_ptr allocateZeroed(size_t bytes);

// The size of block k of a table: a small first block, then whole blocks.
constexpr size_t blockSize(size_t k) { return k == 0 ? first_block_bytes : block_bytes; }

}  // namespace block_memory

// A growing array of trivially copyable records in blocks: growth never moves or copies what
// is there, and clear() keeps the blocks for the next sample.
template <class T> class block_array {
public:
    static constexpr size_t first_count = block_memory::first_block_bytes / sizeof(T);
    static constexpr size_t per_block = block_memory::block_bytes / sizeof(T);

    void push_back(const T& value) {
        if (used == capacity())
            blocks.push_back(block_memory::allocate(block_memory::blockSize(blocks.size())));
        new (slot(used)) T(value);
        ++used;
    }
    T& operator[](size_t i) { return *slot(i); }
    const T& operator[](size_t i) const { return *slot(i); }
    // Reads items by index with the block of the last one at hand: the items read one after
    // another (a read's chain) mostly share a block, and finding a block costs a division.
    class reader {
    public:
        explicit reader(const block_array& array) : items(array) {}
        const T& operator[](size_t i) {
            if (i - first >= count) find(i);
            return base[i - first];
        }

    private:
        void find(size_t i) {
            first = i < first_count ? 0 : i - (i - first_count) % per_block;
            count = i < first_count ? first_count : per_block;
            base = items.slot(first);
        }

        const block_array& items;
        size_t first = 0, count = 0;
        const T* base = nullptr;
    };
    size_t size() const { return used; }
    // Calls visit(i, item) for each item in order, block by block: no division per item.
    template <class Visit> void forEachItem(Visit&& visit) const {
        size_t i = 0;
        for (size_t b = 0; i < used; ++b) {
            const T* items = static_cast<const T*>(blocks[b].get());
            const size_t end = std::min(used, i + (b == 0 ? first_count : per_block));
            for (size_t k = 0; i < end; ++i, ++k) visit(i, items[k]);
        }
    }
    void clear() { used = 0; }
    // Gives back the blocks whose items all lie before `item`, for a walk that does not come
    // back to them; the array is then good only to be dropped.
    void releaseBefore(size_t item) {
        const size_t whole = item < first_count ? 0 : 1 + (item - first_count) / per_block;
        for (; released < std::min(whole, blocks.size()); ++released) blocks[released].reset();
    }
    size_t bytesUsed() const {
        return blocks.empty() ? 0
                              : block_memory::first_block_bytes +
                                    (blocks.size() - 1) * block_memory::block_bytes;
    }

private:
    size_t capacity() const {
        return blocks.empty() ? 0 : first_count + (blocks.size() - 1) * per_block;
    }
    T* slot(size_t i) const {
        if (i < first_count) return static_cast<T*>(blocks[0].get()) + i;
        i -= first_count;
        return static_cast<T*>(blocks[1 + i / per_block].get()) + i % per_block;
    }

    std::vector<block_memory::block_ptr> blocks;
    size_t used = 0;
    size_t released = 0;  // blocks given back, from the first
};
