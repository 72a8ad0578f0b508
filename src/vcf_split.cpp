// One read of the VCF, each group's line written to its file straight from the cohort's line: a
// group whose samples sit side by side in the VCF takes them as one span of the line when its
// separators are single tabs, as they are in every VCF a tool writes.
#include "vcf_split.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bgzf_outputs.h"
#include "hts_handles.h"
#include "utils/fatal.h"
#include "utils/streams.h"
#include "vcf_fields.h"
#include "vcf_lines.h"

namespace {

constexpr size_t fixed_fields = 9;  // CHROM to FORMAT

// Columns first..last of the cohort line, side by side.
struct column_run {
    size_t first, last;
};

struct group_file {
    std::string path;
    std::vector<std::string> samples;
    std::vector<column_run> runs;  // set from the #CHROM line
};

std::vector<std::string_view> tabFields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
        end = line.find('\t', start);
        fields.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
    }
    return fields;
}

// The bytes p[0..8) as one word, the first in its lowest byte.
uint64_t wordAt(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

// The high bit of each byte of `word` that equals `c`, and no other bit.
uint64_t bytesEqual(uint64_t word, char c) {
    constexpr uint64_t ones = 0x0101010101010101, low7 = 0x7f7f7f7f7f7f7f7f;
    const uint64_t x = word ^ (ones * static_cast<unsigned char>(c));
    return ~(((x & low7) + low7) | x | low7);
}

// Cuts a line whose every separator is one tab (no space, no empty field) into its fields,
// eight bytes at a time: a cohort line is thousands of short fields, which the field walker
// takes a byte at a time. False for any other line, which the field walker then cuts.
bool cutAtSingleTabs(std::string_view line, std::vector<std::string_view>& fields) {
    const char* const text = line.data();
    size_t start = 0;  // of the field being read
    const auto fieldEndsAt = [&](size_t tab) {
        if (tab == start) return false;
        fields.emplace_back(text + start, tab - start);
        start = tab + 1;
        return true;
    };
    size_t k = 0;
    for (; k + 8 <= line.size(); k += 8) {
        const uint64_t word = wordAt(text + k);
        if (bytesEqual(word, ' ')) return false;
        for (uint64_t tabs = bytesEqual(word, '\t'); tabs; tabs &= tabs - 1)
            if (!fieldEndsAt(k + static_cast<size_t>(__builtin_ctzll(tabs)) / 8)) return false;
    }
    for (; k < line.size(); ++k)
        if (text[k] == ' ' || (text[k] == '\t' && !fieldEndsAt(k))) return false;
    if (start == line.size()) return false;
    fields.emplace_back(text + start, line.size() - start);
    return true;
}

std::vector<group_file> readGroups(const char* listPath) {
    ifile list(listPath);
    if (!list) fatal(std::string("ERROR: Cannot open groups file [") + listPath + "]");
    std::vector<group_file> groups;
    for (std::string text; std::getline(list, text);) {
        if (text.empty()) continue;
        const std::vector<std::string_view> fields = tabFields(text);
        if (fields.size() < 2)
            fatal(std::string("ERROR: Groups file [") + listPath + "]: a line names no sample");
        groups.push_back({std::string(fields[0]), {fields.begin() + 1, fields.end()}, {}});
    }
    return groups;
}

class group_writer {
public:
    group_writer(std::vector<group_file> groupFiles, const run_options& options)
        : groups(std::move(groupFiles)),
          pool(startThreadPool(options.threads)),
          files(pathsOf(groups), 1, pool.get()), vcfPath(options.vcf), chrom(options.chrom) {}

    group_writer(const group_writer&) = delete;
    group_writer& operator=(const group_writer&) = delete;

    void take(std::string_view line) {
        if (line.substr(0, 6) == "#CHROM") return header(line);
        if (line.substr(0, 1) == "#") {
            for (size_t k = 0; k < groups.size(); ++k) put(k, line);
            return;
        }
        if (!headerSeen) fatal("ERROR: VCF file [" + vcfPath + "] has a data line before its "
                               "#CHROM line");
        data(line);
    }

    void close() {
        if (!headerSeen) fatal("ERROR: VCF file [" + vcfPath + "] has no #CHROM line");
        files.close();
    }

private:
    void header(std::string_view line) {
        cut(line);
        if (fields.size() < fixed_fields)
            fatal("ERROR: VCF file [" + vcfPath + "] has a #CHROM line of fewer than 9 fields");
        std::unordered_map<std::string_view, size_t> firstColumn;
        for (size_t k = fields.size(); k-- > fixed_fields;) firstColumn[fields[k]] = k;
        for (size_t k = 0; k < groups.size(); ++k) {
            group_file& group = groups[k];
            startLine();
            for (const std::string& sample : group.samples) {
                const auto found = firstColumn.find(sample);
                if (found == firstColumn.end())
                    fatal("ERROR: Sample [" + sample + "] of [" + group.path +
                          "] is not in VCF file [" + vcfPath + "]");
                addColumn(group, found->second);
                (joined += '\t') += sample;
            }
            put(k, joined);
        }
        headerSeen = true;
    }

    static void addColumn(group_file& group, size_t column) {
        if (!group.runs.empty() && group.runs.back().last + 1 == column)
            group.runs.back().last = column;
        else
            group.runs.push_back({column, column});
    }

    // The group's line: the fixed fields and its samples' fields, joined by tabs; the fields
    // a short line lacks stay missing.
    void data(std::string_view line) {
        const bool plain = cut(line);
        if (chrom && fields[0] != chrom) return;  // a VCF read without its index
        if (fields.size() < fixed_fields) {
            for (size_t k = 0; k < groups.size(); ++k) put(k, line);
            return;
        }
        if (!plain) return joinFields();
        // Each run with the tab before it, straight from the line into the group's file.
        const std::string_view fixed = spanOf(0, fixed_fields - 1);
        for (size_t k = 0; k < groups.size(); ++k) {
            files.write(k, fixed);
            for (const column_run& run : groups[k].runs) {
                if (run.first >= fields.size()) continue;
                const std::string_view samples = spanOf(run.first, run.last);
                files.write(k, {samples.data() - 1, samples.size() + 1});
            }
            files.write(k, "\n");
        }
    }

    // Fields first..last (the last field when there are fewer) as they stand in the line.
    std::string_view spanOf(size_t first, size_t last) const {
        const std::string_view end = fields[std::min(last, fields.size() - 1)];
        return {fields[first].data(),
                static_cast<size_t>(end.data() + end.size() - fields[first].data())};
    }

    // Separators of spaces or of several tabs: each group's fields joined by single tabs.
    void joinFields() {
        for (size_t k = 0; k < groups.size(); ++k) {
            startLine();
            for (const column_run& run : groups[k].runs) {
                for (size_t column = run.first; column <= run.last && column < fields.size();
                     ++column)
                    (joined += '\t') += fields[column];
            }
            put(k, joined);
        }
    }

    // `joined` set to the fixed fields joined by tabs.
    void startLine() {
        joined.clear();
        for (size_t k = 0; k < fixed_fields; ++k) {
            if (k > 0) joined += '\t';
            joined += fields[k];
        }
    }

    // Cuts the line into `fields`; true when every separator is one tab, so that spans of
    // fields can be copied whole.
    bool cut(std::string_view line) {
        fields.clear();
        if (cutAtSingleTabs(line, fields)) return true;
        fields.clear();
        field_walker walk(line);
        for (std::string_view field; walk.next(field);) fields.push_back(field);
        return false;
    }

    void put(size_t group, std::string_view text) {
        files.write(group, text);
        files.write(group, "\n");
    }

    static std::vector<std::string> pathsOf(const std::vector<group_file>& groups) {
        std::vector<std::string> paths;
        for (const group_file& group : groups) paths.push_back(group.path);
        return paths;
    }

    std::vector<group_file> groups;
    hts_tpool_ptr pool;  // before the files, which use it until they close
    bgzf_outputs files;
    std::string vcfPath;
    const char* chrom;
    std::vector<std::string_view> fields;
    std::string joined;  // a group's line put together field by field
    bool headerSeen = false;
};

}  // namespace

void splitVcfByGroups(const run_options& options) {
    group_writer writer(readGroups(options.splitGroups), options);
    // Read on this thread, while the pool compresses: decompressing there too would cost a
    // wake-up per block read.
    const vcf_source source = readVcfLines(options.vcf, options.chrom,
                                           [&](std::string_view line) { writer.take(line); });
    if (source.outcome != vcf_source::status::read)
        fatal(std::string("ERROR: Cannot read VCF file [") + options.vcf + "]");
    writer.close();
}
