// Fuzzes the record accessors and the pile-up callback with records that htslib's own SAM
// parser makes from the input text, one record per line, under a fixed two-sequence header.
#include <htslib/kstring.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "record_checks.h"

namespace {

const char header_text[] =
    "@HD\tVN:1.6\tSO:coordinate\n"
    "@SQ\tSN:r1\tLN:100000\n"
    "@SQ\tSN:r2\tLN:500\n";

sam_hdr_t* header() {
    static sam_hdr_t* parsed = sam_hdr_parse(sizeof header_text - 1, header_text);
    if (!parsed) std::abort();
    return parsed;
}

// The records of the lines htslib accepts, in input order; header lines are passed over.
std::vector<bam1_ptr> parseLines(const std::string& text) {
    std::vector<bam1_ptr> records;
    bam1_ptr b(bam_init1());
    kstring_t line = KS_INITIALIZE;
    for (size_t at = 0; at < text.size() && records.size() < 16;) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at && text[at] != '@') {
            line.l = 0;
            kputsn(text.data() + at, end - at, &line);
            if (sam_parse1(&line, header(), b.get()) >= 0) records.push_back(exactCopy(b.get()));
        }
        at = end + 1;
    }
    ks_free(&line);
    return records;
}

}  // namespace

FUZZ_TARGET_PREPARED

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<bam1_ptr> records =
        parseLines(std::string(reinterpret_cast<const char*>(data), size));
    if (records.empty()) return 0;
    for (const bam1_ptr& b : records) checkAccessors(b.get());

    // Thresholds and site vary with the input's length, so every seed meets several of them.
    pileup_settings settings;
    settings.minBaseQuality = static_cast<int32_t>(size % 3) * 15 - 1;
    settings.minReadQuality = static_cast<int32_t>(size % 5) * 20;
    settings.siteIndex = static_cast<int32_t>(size % 3);
    settings.freshTable = size % 2 == 0;
    pileUpDirectly(records, settings);
    // SAM text may hold 64-bit positions, which a BAM file, the scan's input, cannot.
    std::vector<bam1_ptr> inBam;
    for (const bam1_ptr& b : records)
        if (bam_endpos(b.get()) < INT32_MAX) inBam.push_back(exactCopy(b.get()));
    pileUpThroughHtslib(inBam, settings);
    return 0;
}
