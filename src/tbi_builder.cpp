#include "tbi_builder.h"

#include <array>

#include <htslib/tbx.h>

namespace {

// A .tbi's bins: the smallest 16 kB, in 5 levels (what tabix builds).
constexpr int tbi_min_shift = 14;
constexpr int tbi_levels = 5;

bool plainPosition(std::string_view field, int64_t& position) {
    if (field.empty() || field.size() > 18 || field[0] == '0') return false;
    position = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return false;
        position = position * 10 + (c - '0');
    }
    return true;
}

void appendInt32(std::string& bytes, int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(u >> shift & 0xff);
}

}  // namespace

tbi_builder::~tbi_builder() {
    if (index) hts_idx_destroy(index);
}

void tbi_builder::line(std::string_view text) {
    const uint64_t start = textLength;
    textLength += text.size() + 1;
    if (abandoned || (!text.empty() && text[0] == '#')) return;
    if (!dataSeen) {
        dataSeen = true;
        headerEnd = start;
    }
    record r{};
    if (!parse(text, r)) {
        abandoned = true;
        return;
    }
    // Out of order: htslib would complain of it pushed here, and again reading the file.
    if (r.tid < lastTid || (r.tid == lastTid && r.begin < lastBegin)) {
        abandoned = true;
        return;
    }
    lastTid = r.tid;
    lastBegin = r.begin;
    r.textEnd = textLength;
    waiting.push_back(r);
}

void tbi_builder::blockWritten(size_t text, size_t compressed) {
    if (abandoned) return;
    blocks.push_back({textWritten, text, bytesWritten});
    textWritten += text;
    bytesWritten += compressed;
    pushPlaced();
}

// A data line as htslib's index reads one of a VCF: fields cut at tabs alone, 0-based begin
// from POS, end from the length of REF. False for what this leaves to htslib (see usable()).
bool tbi_builder::parse(std::string_view text, record& out) {
    std::array<std::string_view, 8> fields;
    size_t count = 0;
    for (size_t start = 0; count < fields.size();) {
        const size_t tab = text.find('\t', start);
        fields[count++] = text.substr(start, tab == std::string_view::npos ? tab : tab - start);
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    int64_t position = 0;
    if (count < 4 || fields[0].empty() || fields[3].empty() || !plainPosition(fields[1], position))
        return false;
    if (count == 8 && fields[7].find("END=") != std::string_view::npos) return false;
    out.tid = tidOf(fields[0]);
    out.begin = position - 1;
    out.end = out.begin + static_cast<int64_t>(fields[3].size());
    return out.end <= largest_end;  // htslib would complain of each one beyond
}

int tbi_builder::tidOf(std::string_view chrom) {
    if (!names.empty() && names.back() == chrom) return static_cast<int>(names.size()) - 1;
    const auto [at, added] = tids.emplace(std::string(chrom), static_cast<int>(names.size()));
    if (added) names.emplace_back(chrom);
    return at->second;
}

// Pushes the waiting records whose line ends are in written blocks, in order.
void tbi_builder::pushPlaced() {
    while (!abandoned && !waiting.empty() && waiting.front().textEnd <= textWritten) {
        const record r = waiting.front();
        waiting.pop_front();
        if (!index && !startIndex(headerEnd)) return;
        if (hts_idx_push(index, r.tid, r.begin, r.end, virtualOffset(r.textEnd), 1) < 0)
            abandoned = true;
    }
    // Later lines end beyond every block written: those are needed no more.
    if (index && waiting.empty()) blocks.clear();
}

// BGZF's virtual offset of a place in the text, as a reader finds it having read up to there:
// at the end of a block, the next block's start.
uint64_t tbi_builder::virtualOffset(uint64_t textOffset) {
    if (textOffset == textWritten) return bytesWritten << 16;
    while (blocks.front().textStart + blocks.front().textLength <= textOffset) blocks.pop_front();
    return blocks.front().address << 16 | (textOffset - blocks.front().textStart);
}

bool tbi_builder::startIndex(uint64_t textOffset) {
    index = hts_idx_init(0, HTS_FMT_TBI, virtualOffset(textOffset), tbi_min_shift, tbi_levels);
    abandoned = index == nullptr;
    return index != nullptr;
}

bool tbi_builder::save(const std::string& path) {
    if (abandoned || textWritten != textLength) return false;
    if (!index && !startIndex(dataSeen ? headerEnd : textLength)) return false;
    if (hts_idx_finish(index, virtualOffset(textLength)) != 0) return false;
    // What tabix keeps beside the bins: its configuration for VCF, then the names.
    std::string meta;
    for (int32_t value : {tbx_conf_vcf.preset, tbx_conf_vcf.sc, tbx_conf_vcf.bc, tbx_conf_vcf.ec,
                          tbx_conf_vcf.meta_char, tbx_conf_vcf.line_skip})
        appendInt32(meta, value);
    std::string joined;
    for (const std::string& name : names) joined.append(name).push_back('\0');
    appendInt32(meta, static_cast<int32_t>(joined.size()));
    meta += joined;
    return hts_idx_set_meta(index, static_cast<uint32_t>(meta.size()),
                            reinterpret_cast<uint8_t*>(meta.data()), 1) == 0 &&
           hts_idx_save_as(index, nullptr, path.c_str(), HTS_FMT_TBI) == 0;
}
