// Many bgzipped files written side by side, their blocks compressed on a thread pool a batch of
// blocks at a time: one job and one wake-up per batch rather than per 64 kB block and file, which
// is what the files' own writer threads would cost when there are hundreds of them.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct hts_tpool;
struct hts_tpool_process;
struct bgzf_batch;

class bgzf_outputs {
public:
    // Creates the files (fatal when one cannot be), compressed at `level`; their blocks are
    // compressed on `pool` when one is given, else as they fill.
    bgzf_outputs(const std::vector<std::string>& paths, int level, hts_tpool* pool);
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
    [[noreturn]] void failed(const output& out, const char* what) const;

    std::vector<output> outputs;
    int level;
    hts_tpool* pool;
    hts_tpool_process* queue = nullptr;
    std::unique_ptr<bgzf_batch> filling;
    std::vector<std::unique_ptr<bgzf_batch>> spares;
    size_t inFlight = 0;  // batches dispatched and not yet written
};
