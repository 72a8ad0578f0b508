// The tabix index of a bgzipped VCF, built as its lines are written, so that the file is not
// read back and parsed again once written: a line's place in the file is known as soon as the
// block that holds its end is written.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <htslib/hts.h>

class tbi_builder {
public:
    // The largest end (1-based) a .tbi holds; records ending beyond need a .csi.
    static constexpr int64_t largest_end = (int64_t{1} << 29) - 1;

    tbi_builder() = default;
    ~tbi_builder();
    tbi_builder(const tbi_builder&) = delete;
    tbi_builder& operator=(const tbi_builder&) = delete;

    // Each line in the order it goes to the file, without its line end.
    void line(std::string_view text);
    // Each block of the file as it is written: the length of its text and compressed.
    void blockWritten(size_t text, size_t compressed);
    // False once a line holds what this builder leaves to htslib's own reading of the file (an
    // INFO/END, a position that is not a plain number, no REF, fields not cut by tabs, an end
    // beyond what a .tbi holds, records out of order) or htslib refused a record: the file must
    // then be indexed from its bytes.
    bool usable() const { return !abandoned; }
    // Once every block is written: the index saved as `path`, as htslib would build it from the
    // file. False when it cannot be.
    bool save(const std::string& path);

private:
    struct record {
        int tid;
        int64_t begin, end;  // 0-based, end excluded
        uint64_t textEnd;    // offset in the text after its line end
    };
    struct block {
        uint64_t textStart, textLength, address;
    };

    bool parse(std::string_view text, record& out);
    int tidOf(std::string_view chrom);
    void pushPlaced();
    uint64_t virtualOffset(uint64_t textOffset);
    bool startIndex(uint64_t textOffset);

    uint64_t textLength = 0;         // of the lines given so far, with their line ends
    uint64_t headerEnd = 0;          // text offset where the first data line begins
    bool dataSeen = false;
    std::deque<record> waiting;      // whose blocks are not all written yet
    std::deque<block> blocks;        // written and still needed by a waiting record
    uint64_t textWritten = 0, bytesWritten = 0;
    std::vector<std::string> names;  // by tid, in order of first appearance
    std::unordered_map<std::string, int> tids;
    int lastTid = 0;
    int64_t lastBegin = 0;
    hts_idx_t* index = nullptr;
    bool abandoned = false;
};
