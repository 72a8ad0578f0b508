// A table of rows of bits, packed one bit per flag in one block of words: the heterozygosity
// flags of every sample at every site, which is the table that grows with sites x samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class packed_flags {
public:
    // Appends a row of n flags, all false.
    void addRow(size_t n) {
        rowStart.push_back(end);
        end += n;
        words.resize((end + 63) / 64, 0);
    }
    size_t rows() const { return rowStart.size(); }
    size_t rowSize(size_t row) const {
        return (row + 1 < rowStart.size() ? rowStart[row + 1] : end) - rowStart[row];
    }
    // Unchecked: k must be below rowSize(row).
    bool get(size_t row, size_t k) const {
        uint64_t bit = rowStart[row] + k;
        return (words[bit >> 6] >> (bit & 63)) & 1u;
    }
    void set(size_t row, size_t k) {
        uint64_t bit = rowStart[row] + k;
        words[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
    size_t bytesUsed() const {
        return words.capacity() * sizeof(uint64_t) + rowStart.capacity() * sizeof(uint64_t);
    }

private:
    std::vector<uint64_t> rowStart;  // bit offset of each row
    std::vector<uint64_t> words;
    uint64_t end = 0;  // bits used
};
