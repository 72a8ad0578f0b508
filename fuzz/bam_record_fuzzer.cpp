// Fuzzes the record accessors and the pile-up callback with alignment records whose fields
// and data come straight from the input bytes: names, CIGARs, sequences and qualities that no
// aligner meant, including CIGARs that claim more bases than the record stores.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "record_checks.h"

namespace {

// The layout htslib's BAM reader guarantees: a NUL-terminated name padded so that the CIGAR
// is 4-byte aligned, then CIGAR, sequence, qualities and a few tag bytes.
struct record_parts {
    std::string name;
    std::vector<uint32_t> cigar;
    std::vector<uint8_t> seq;
    std::vector<uint8_t> qual;
    std::vector<uint8_t> tags;
};

// Mostly read-sized operations, sometimes any length the 28 bits hold; records for the
// pile-up stay within a few thousand columns, which htslib walks one by one.
uint32_t cigarOp(FuzzedDataProvider& in, bool forPileup) {
    const uint32_t op = in.ConsumeIntegralInRange<uint32_t>(0, 15);
    const uint32_t longest = forPileup ? 5000 : (1u << 28) - 1;
    const uint32_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 300)
                                             : in.ConsumeIntegralInRange<uint32_t>(0, longest);
    return bam_cigar_gen(length, op);
}

// A base code, mostly one the accessors decode.
uint8_t baseCode(FuzzedDataProvider& in, bool clean) {
    static const uint8_t decodable[5] = {1, 2, 4, 8, 15};
    return clean ? decodable[in.ConsumeIntegralInRange<int>(0, 4)]
                 : in.ConsumeIntegralInRange<uint8_t>(0, 15);
}

// htslibReads: only what htslib's reader lets through and the pile-up needs (a position on
// the reference, a sequence as long as the CIGAR's query or none at all).
bam1_ptr buildRecord(FuzzedDataProvider& in, bool htslibReads) {
    record_parts parts;
    parts.name = in.ConsumeRandomLengthString(40);
    parts.name.erase(std::remove(parts.name.begin(), parts.name.end(), '\0'), parts.name.end());
    const size_t ops = in.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t k = 0; k < ops; ++k) parts.cigar.push_back(cigarOp(in, htslibReads));

    const int64_t queryLength = bam_cigar2qlen(static_cast<int>(ops), parts.cigar.data());
    int32_t length = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: length = static_cast<int32_t>(std::min<int64_t>(queryLength, 2000)); break;
    case 1: length = 0; break;
    default: length = in.ConsumeIntegralInRange<int32_t>(0, 400); break;
    }
    if (htslibReads && length != queryLength) length = 0;
    const bool clean = in.ConsumeBool();
    parts.seq.assign((static_cast<size_t>(length) + 1) / 2, 0);
    for (int32_t i = 0; i < length; ++i)
        parts.seq[static_cast<size_t>(i) / 2] |= baseCode(in, clean) << ((i % 2) ? 0 : 4);
    for (int32_t i = 0; i < length; ++i) parts.qual.push_back(in.ConsumeIntegral<uint8_t>());
    parts.tags = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 8));

    bam1_t draft{};
    bam1_core_t& c = draft.core;
    c.tid = htslibReads ? 0 : in.ConsumeIntegralInRange<int32_t>(-1, 3);
    c.pos = htslibReads ? in.ConsumeIntegralInRange<int32_t>(0, 5000)
                        : in.ConsumeIntegral<int32_t>();
    c.flag = in.ConsumeIntegral<uint16_t>();
    c.qual = in.ConsumeIntegral<uint8_t>();
    c.n_cigar = static_cast<uint32_t>(ops);
    c.l_qseq = length;
    c.mtid = -1;
    c.mpos = -1;
    const size_t padding = 4 - (parts.name.size() + 1) % 4;  // 1 to 4 NULs
    c.l_extranul = static_cast<uint8_t>(padding == 4 ? 0 : padding);
    c.l_qname = static_cast<uint16_t>(parts.name.size() + 1 + c.l_extranul);

    std::vector<uint8_t> bytes(parts.name.begin(), parts.name.end());
    bytes.resize(c.l_qname, 0);
    const auto* cigarBytes = reinterpret_cast<const uint8_t*>(parts.cigar.data());
    bytes.insert(bytes.end(), cigarBytes, cigarBytes + 4 * ops);
    bytes.insert(bytes.end(), parts.seq.begin(), parts.seq.end());
    bytes.insert(bytes.end(), parts.qual.begin(), parts.qual.end());
    bytes.insert(bytes.end(), parts.tags.begin(), parts.tags.end());
    draft.data = bytes.data();
    draft.l_data = static_cast<int>(bytes.size());
    const int64_t span = std::max<int64_t>(1, bam_cigar2rlen(static_cast<int>(ops), parts.cigar.data()));
    c.bin = static_cast<uint16_t>(hts_reg2bin(c.pos, c.pos + span, 14, 5));
    return exactCopy(&draft);
}

}  // namespace

FUZZ_TARGET_PREPARED

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    pileup_settings settings;
    settings.minBaseQuality = in.ConsumeIntegralInRange<int32_t>(-2, 60);
    settings.minReadQuality = in.ConsumeIntegralInRange<int32_t>(-2, 255);
    settings.siteIndex = in.ConsumeIntegralInRange<int32_t>(0, 2);
    settings.freshTable = in.ConsumeBool();
    const bool htslibReads = in.ConsumeBool();

    std::vector<bam1_ptr> records;
    const size_t count = in.ConsumeIntegralInRange<size_t>(1, 6);
    for (size_t k = 0; k < count && in.remaining_bytes() > 0; ++k)
        records.push_back(buildRecord(in, htslibReads));
    if (records.empty()) return 0;

    for (const bam1_ptr& b : records) checkAccessors(b.get());
    pileUpDirectly(records, settings);
    if (htslibReads) {
        std::stable_sort(records.begin(), records.end(),
                         [](const bam1_ptr& a, const bam1_ptr& b) { return a->core.pos < b->core.pos; });
        pileUpThroughHtslib(records, settings);
    }
    return 0;
}
