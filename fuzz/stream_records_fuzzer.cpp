// Fuzzes the length-prefixed string records of ifile and the packed bit vectors of futils
// against a direct decoding of the same bytes.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "utils/futils.h"
#include "utils/streams.h"

namespace {

int32_t littleEndian(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                uint32_t{p[3]} << 24);
}

// The records a reader must return, in order, before its first failed read.
std::vector<std::string> expectedRecords(const uint8_t* data, size_t size) {
    std::vector<std::string> records;
    for (size_t at = 0; size - at >= 4;) {
        const int32_t length = littleEndian(data + at);
        at += 4;
        if (length < 0 || static_cast<size_t>(length) > size - at) break;
        const char* text = reinterpret_cast<const char*>(data + at);
        records.emplace_back(text, strnlen(text, static_cast<size_t>(length)));
        at += static_cast<size_t>(length);
    }
    return records;
}

std::vector<std::string> readRecords(const std::string& path, bool binaryMode, bool& damaged) {
    ifile in;
    std::vector<std::string> records;
    if (!in.open(path, binaryMode)) return records;
    for (std::string record; in.readString(record);) records.push_back(record);
    damaged = in.failed();
    return records;
}

// The files a record reader meets: plain, gzip written whole, and raw bytes under the names
// of compressed files (damaged or foreign data for the decompressors).
void checkRecords(uint8_t mode, const uint8_t* data, size_t size) {
    static memory_file plain(".bin"), gzip(".bin.gz"), bzip2(".bin.bz2");
    bool damaged = false;
    // Bytes that begin like a compressed or binary file are read by what they are.
    const bool asWritten = startsLikeText(data, size);
    switch (mode % 4) {
    case 0: {
        plain.write(data, size);
        const std::vector<std::string> read = readRecords(plain.path(), mode & 4, damaged);
        FUZZ_CHECK(!asWritten || (read == expectedRecords(data, size) && !damaged));
        break;
    }
    case 1: {
        gzip.write(gzipMembers(data, size, mode));
        const std::vector<std::string> read = readRecords(gzip.path(), false, damaged);
        FUZZ_CHECK(!asWritten || (read == expectedRecords(data, size) && !damaged));
        break;
    }
    case 2:
        gzip.write(data, size);
        readRecords(gzip.path(), false, damaged);
        break;
    default:
        bzip2.write(data, size);
        readRecords(bzip2.path(), false, damaged);
        break;
    }
}

// A count, then the bits packed eight to a byte from the lowest; the bits past the count in
// the last byte are free. On short data the vector still holds `count` elements, those read
// set and the rest false.
void checkBits(const uint8_t* data, size_t size) {
    const int32_t count = size >= 4 ? littleEndian(data) : -1;
    // The vector is sized to the count before any bit arrives (its contract on short data), so
    // a damaged count of up to 2^31 costs a 256 MB allocation: spent once, not per input.
    if (count > (1 << 16)) return;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<bool> bits{true};
    const bool read = futils::binary2bool(bits, in);
    const bool complete = count >= 0 && (static_cast<size_t>(count) + 7) / 8 <= size - 4;
    FUZZ_CHECK(read == complete);
    if (count < 0) {
        FUZZ_CHECK(bits == std::vector<bool>{true});
        return;
    }
    FUZZ_CHECK(bits.size() == static_cast<size_t>(count));
    for (size_t i = 0; i < bits.size(); ++i) {
        const bool present = 4 + i / 8 < size;
        FUZZ_CHECK(bits[i] == (present && ((data[4 + i / 8] >> (i % 8)) & 1u) != 0));
    }
    if (!read) return;

    std::ostringstream out;
    futils::bool2binary(bits, out);
    FUZZ_CHECK(out.str().size() == 4 + (bits.size() + 7) / 8);
    FUZZ_CHECK(std::memcmp(out.str().data(), data, 4) == 0);
}

}  // namespace

FUZZ_TARGET_PREPARED

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    checkRecords(data[0], data + 1, size - 1);
    checkBits(data + 1, size - 1);
    return 0;
}
