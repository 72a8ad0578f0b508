// What every fuzz target shares: quiet streams, fatal stops that unwind, files held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// What the installed fatal handler throws: the program chose to stop on this input, which is
// an intended outcome, not a crash.
struct fatal_stop : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Installs the throwing fatal handler and silences the progress and warnings of the readers
// and htslib's log, which would otherwise cost more than the parsing. Sanitizer reports and
// failed checks write to the file descriptor directly and stay visible.
void prepareFuzzTarget();

// Every target's libFuzzer start-up hook: prepares the target once, before the first input.
#define FUZZ_TARGET_PREPARED                                                                       \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                                           \
        prepareFuzzTarget();                                                                       \
        return 0;                                                                                  \
    }

// False when the bytes begin like a compressed or binary file: as a plain file they are then
// not read as text, though the same bytes inside a gzip file are.
bool startsLikeText(const uint8_t* data, size_t size);

// A file held in memory (memfd) under a path that ends in `suffix`, for readers that open a
// named file and choose their decompression from its extension. Nothing touches the disk.
class memory_file {
public:
    explicit memory_file(const std::string& suffix);
    ~memory_file();
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;

    // Replaces the whole content.
    void write(const void* data, size_t size);
    void write(const std::string& data) { write(data.data(), data.size()); }
    const std::string& path() const { return link; }

private:
    int fd = -1;
    std::string folder;
    std::string link;
};

// The bytes compressed as gzip in two members, the first holding the first `split` bytes, as
// block-compressing tools write files.
std::string gzipMembers(const uint8_t* data, size_t size, size_t split);

// Reports a broken property and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void propertyFailed(const char* condition, const char* file, int line);

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) propertyFailed(#condition, __FILE__, __LINE__);                          \
    } while (0)
