// Many bgzipped files written side by side, their blocks compressed on a thread pool a batch of
// blocks at a time: one job and one wake-up per batch rather than per 64 kB block and file, which
// is what the files' own writer threads would cost when there are hundreds of them.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct hts_tpool;
struct hts_tpool_process;
struct bgzf_batch;

class bgzf_outputs {
public:
    // Told of each block as it is written, in each file's order: its file, its text's length
    // and its compressed length (the end-of-file block excepted).
    using block_listener = std::function<void(size_t file, size_t text, size_t compressed)>;
    // Ends the run with a failure to create or write a file, in the caller's words.
    using failure_report = std::function<void(size_t file, const char* what)>;

    // Creates the files (a failure when one cannot be), compressed at `level`; their blocks are
    // compressed on `pool` when one is given, else as they fill. Without `onFailure`, a failure
    // names the path and the system's reason.
    bgzf_outputs(const std::vector<std::string>& paths, int level, hts_tpool* pool,
                 block_listener onBlock = {}, failure_report onFailure = {});
    ~bgzf_outputs();
    bgzf_outputs(const bgzf_outputs&) = delete;
    bgzf_outputs& operator=(const bgzf_outputs&) = delete;

    void write(size_t file, std::string_view text);
    // Writes what is left and each file's end-of-file block, and closes the files: fatal when
    // one cannot be written.
    void close();

private:
    struct output {
        std::string path;
        std::FILE* file = nullptr;
        std::string pending;  // less than a block
    };

    void queueBlock(size_t file);
    void dispatch();
    bool writeNextResult(bool wait);
    void written(std::unique_ptr<bgzf_batch> batch);
    std::unique_ptr<bgzf_batch> spareBatch();
    [[noreturn]] void failed(size_t file, const char* what) const;

    std::vector<output> outputs;
    int level;
    hts_tpool* pool;
    hts_tpool_process* queue = nullptr;
    std::unique_ptr<bgzf_batch> filling;
    std::vector<std::unique_ptr<bgzf_batch>> spares;
    size_t inFlight = 0;  // batches dispatched and not yet written
    block_listener onBlock;
    failure_report onFailure;
};
