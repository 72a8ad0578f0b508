// Each file's text cut into BGZF blocks as bgzf_write cuts it, so that the files hold the bytes
// htslib would write; batches of blocks go through one ordered queue of the pool, so that every
// file gets its blocks back in the order they were cut.
#include "bgzf_outputs.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <htslib/bgzf.h>
#include <htslib/thread_pool.h>

#include "utils/fatal.h"

namespace {

constexpr size_t blocks_per_batch = 16;  // about 1 MB of text per job
// Batches the pool may hold per thread, waiting or done: a few, so that the reading thread and
// the pool seldom wait for each other (8 MB of buffers a thread).
constexpr int batches_queued_per_thread = 4;

}  // namespace

struct bgzf_block {
    size_t file = 0;
    std::string text;
    std::string compressed = std::string(BGZF_MAX_BLOCK_SIZE, '\0');
    size_t compressedLength = 0;
};

// Batches are used again, blocks and buffers with them: buffers allocated afresh for every block
// would cost a page fault per page.
struct bgzf_batch {
    explicit bgzf_batch(int compressionLevel) : level(compressionLevel) {}
    std::vector<bgzf_block> blocks;
    size_t used = 0;  // the blocks in use, first
    int level;
    bool compressed = true;  // false when a block could not be
};

namespace {

// A pool's job: the batch's blocks, compressed in place. No exception may leave it.
void* compressBatch(void* arg) noexcept {
    auto* batch = static_cast<bgzf_batch*>(arg);
    for (size_t k = 0; k < batch->used; ++k) {
        bgzf_block& block = batch->blocks[k];
        block.compressedLength = block.compressed.size();
        if (bgzf_compress(block.compressed.data(), &block.compressedLength, block.text.data(),
                          block.text.size(), batch->level) != 0)
            batch->compressed = false;
    }
    return batch;
}

}  // namespace

bgzf_outputs::bgzf_outputs(const std::vector<std::string>& paths, int compressionLevel,
                           hts_tpool* threadPool, block_listener blockListener,
                           failure_report failureReport)
    : level(compressionLevel), pool(threadPool),
      filling(std::make_unique<bgzf_batch>(compressionLevel)), onBlock(std::move(blockListener)),
      onFailure(std::move(failureReport)) {
    for (const std::string& path : paths) {
        outputs.push_back({path, std::fopen(path.c_str(), "wb"), {}});
        if (!outputs.back().file) failed(outputs.size() - 1, "create");
    }
    if (pool)
        queue = hts_tpool_process_init(pool, batches_queued_per_thread * hts_tpool_size(pool), 0);
}

bgzf_outputs::~bgzf_outputs() {
    if (queue) hts_tpool_process_destroy(queue);
    for (output& out : outputs)
        if (out.file) std::fclose(out.file);
}

void bgzf_outputs::write(size_t file, std::string_view text) {
    std::string& pending = outputs[file].pending;
    pending += text;
    while (pending.size() >= BGZF_BLOCK_SIZE) queueBlock(file);
}

void bgzf_outputs::close() {
    for (size_t k = 0; k < outputs.size(); ++k)
        if (!outputs[k].pending.empty()) queueBlock(k);
    dispatch();
    while (inFlight > 0) writeNextResult(true);
    char end[BGZF_MAX_BLOCK_SIZE];
    size_t length = sizeof end;
    if (bgzf_compress(end, &length, "", 0, level) != 0) failed(0, "write");
    for (size_t k = 0; k < outputs.size(); ++k) {
        const bool written = std::fwrite(end, 1, length, outputs[k].file) == length;
        if (std::fclose(std::exchange(outputs[k].file, nullptr)) != 0 || !written)
            failed(k, "write");
    }
}

// The file's first block of text, or all its text when it holds less, taken into the filling
// batch; the rest is left, in the buffer of the block it takes the place of.
void bgzf_outputs::queueBlock(size_t file) {
    if (filling->used == filling->blocks.size()) filling->blocks.emplace_back();
    bgzf_block& block = filling->blocks[filling->used++];
    std::string& pending = outputs[file].pending;
    block.file = file;
    block.text.swap(pending);
    if (block.text.size() > BGZF_BLOCK_SIZE) {
        pending.assign(block.text, BGZF_BLOCK_SIZE);
        block.text.resize(BGZF_BLOCK_SIZE);
    } else {
        pending.clear();
    }
    if (filling->used == blocks_per_batch) dispatch();
}

// Hands the filling batch to the pool, writing what the pool has finished meanwhile; compresses
// and writes it at once without a pool.
void bgzf_outputs::dispatch() {
    if (filling->used == 0) return;
    std::unique_ptr<bgzf_batch> batch = std::exchange(filling, spareBatch());
    if (!queue) {
        compressBatch(batch.get());
        return written(std::move(batch));
    }
    while (hts_tpool_dispatch2(pool, queue, compressBatch, batch.get(), 1) != 0) {
        if (errno != EAGAIN || inFlight == 0) failed(0, "write");
        writeNextResult(true);
    }
    batch.release();
    ++inFlight;
    while (inFlight > 0 && writeNextResult(false)) {
    }
}

// Writes the next batch in queue order; false when it is not ready and `wait` is false.
bool bgzf_outputs::writeNextResult(bool wait) {
    hts_tpool_result* result = wait ? hts_tpool_next_result_wait(queue)
                                    : hts_tpool_next_result(queue);
    if (!result) {
        if (wait) failed(0, "write");
        return false;
    }
    std::unique_ptr<bgzf_batch> batch(static_cast<bgzf_batch*>(hts_tpool_result_data(result)));
    hts_tpool_delete_result(result, 0);
    --inFlight;
    written(std::move(batch));
    return true;
}

// Writes the batch's blocks to their files, and keeps the batch to be filled again.
void bgzf_outputs::written(std::unique_ptr<bgzf_batch> batch) {
    for (size_t k = 0; k < batch->used; ++k) {
        const bgzf_block& block = batch->blocks[k];
        if (!batch->compressed ||
            std::fwrite(block.compressed.data(), 1, block.compressedLength,
                        outputs[block.file].file) != block.compressedLength)
            failed(block.file, "write");
        if (onBlock) onBlock(block.file, block.text.size(), block.compressedLength);
    }
    batch->used = 0;
    spares.push_back(std::move(batch));
}

std::unique_ptr<bgzf_batch> bgzf_outputs::spareBatch() {
    if (spares.empty()) return std::make_unique<bgzf_batch>(level);
    std::unique_ptr<bgzf_batch> batch = std::move(spares.back());
    spares.pop_back();
    return batch;
}

void bgzf_outputs::failed(size_t file, const char* what) const {
    if (onFailure) onFailure(file, what);
    fatal("ERROR: Cannot " + std::string(what) + " [" + outputs[file].path + "]: " +
          std::strerror(errno ? errno : EIO));
}
