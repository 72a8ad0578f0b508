// One read of the VCF, one line buffer per group: a group whose samples sit side by side in the
// VCF takes them as one span of the line when its separators are single tabs.
#include "vcf_split.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <htslib/bgzf.h>

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
    size_t lastColumn = 0;
    bgzf_ptr file;
    std::string line;
};

std::vector<std::string_view> tabFields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
        end = line.find('\t', start);
        fields.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
    }
    return fields;
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
        groups.push_back({std::string(fields[0]), {fields.begin() + 1, fields.end()}, {}, 0,
                          {}, {}});
    }
    return groups;
}

class group_writer {
public:
    group_writer(std::vector<group_file> groupFiles, const run_options& options)
        : groups(std::move(groupFiles)), vcfPath(options.vcf), chrom(options.chrom) {
        if (options.threads > 1) pool.reset(hts_tpool_init(options.threads - 1));
        for (group_file& group : groups) {
            group.file.reset(bgzf_open(group.path.c_str(), "w1"));
            if (!group.file) failed(group, "create");
            if (pool) bgzf_thread_pool(group.file.get(), pool.get(), 0);
        }
    }

    hts_tpool* threadPool() const { return pool.get(); }
    group_writer(const group_writer&) = delete;
    group_writer& operator=(const group_writer&) = delete;

    void take(std::string_view line) {
        if (line.substr(0, 6) == "#CHROM") return header(line);
        if (line.substr(0, 1) == "#") {
            for (group_file& group : groups) put(group, line);
            return;
        }
        if (!headerSeen) fatal("ERROR: VCF file [" + vcfPath + "] has a data line before its "
                               "#CHROM line");
        data(line);
    }

    void close() {
        if (!headerSeen) fatal("ERROR: VCF file [" + vcfPath + "] has no #CHROM line");
        for (group_file& group : groups)
            if (bgzf_close(group.file.release()) != 0) failed(group, "write");
    }

private:
    void header(std::string_view line) {
        cut(line);
        if (fields.size() < fixed_fields)
            fatal("ERROR: VCF file [" + vcfPath + "] has a #CHROM line of fewer than 9 fields");
        std::unordered_map<std::string_view, size_t> firstColumn;
        for (size_t k = fields.size(); k-- > fixed_fields;) firstColumn[fields[k]] = k;
        for (group_file& group : groups) {
            group.line.clear();
            appendFixed(group.line);
            for (const std::string& sample : group.samples) {
                const auto found = firstColumn.find(sample);
                if (found == firstColumn.end())
                    fatal("ERROR: Sample [" + sample + "] of [" + group.path +
                          "] is not in VCF file [" + vcfPath + "]");
                addColumn(group, found->second);
                (group.line += '\t') += sample;
            }
            put(group, group.line);
        }
        headerSeen = true;
    }

    static void addColumn(group_file& group, size_t column) {
        if (!group.runs.empty() && group.runs.back().last + 1 == column)
            group.runs.back().last = column;
        else
            group.runs.push_back({column, column});
        group.lastColumn = std::max(group.lastColumn, column);
    }

    // The group's line: the fixed fields and its samples' fields, joined by tabs; the fields
    // a short line lacks stay missing.
    void data(std::string_view line) {
        cut(line);
        if (chrom && fields[0] != chrom) return;  // a VCF read without its index
        if (fields.size() < fixed_fields) {
            for (group_file& group : groups) put(group, line);
            return;
        }
        const bool plain = singleTabs(line);
        for (group_file& group : groups) {
            group.line.clear();
            appendFixed(group.line);
            for (const column_run& run : group.runs) appendRun(group.line, run, plain);
            put(group, group.line);
        }
    }

    void appendRun(std::string& out, const column_run& run, bool plain) const {
        if (run.first >= fields.size()) return;
        const size_t last = std::min(run.last, fields.size() - 1);
        out += '\t';
        if (plain) {
            const char* start = fields[run.first].data();
            const char* end = fields[last].data() + fields[last].size();
            out.append(start, static_cast<size_t>(end - start));
            return;
        }
        for (size_t k = run.first; k <= last; ++k) {
            if (k > run.first) out += '\t';
            out += fields[k];
        }
    }

    // Whether every separator of the cut line is one tab, so that spans can be copied whole.
    bool singleTabs(std::string_view line) const {
        size_t bytes = fields.size() - 1;
        for (std::string_view field : fields) bytes += field.size();
        return bytes == line.size() && line.find(' ') == std::string_view::npos;
    }

    void appendFixed(std::string& out) const {
        for (size_t k = 0; k < fixed_fields; ++k) {
            if (k > 0) out += '\t';
            out += fields[k];
        }
    }

    void cut(std::string_view line) {
        fields.clear();
        field_walker walk(line);
        for (std::string_view field; walk.next(field);) fields.push_back(field);
    }

    void put(group_file& group, std::string_view line) {
        if (bgzf_write(group.file.get(), line.data(), line.size()) < 0 ||
            bgzf_write(group.file.get(), "\n", 1) < 0)
            failed(group, "write");
    }

    [[noreturn]] static void failed(const group_file& group, const char* what) {
        fatal("ERROR: Cannot " + std::string(what) + " [" + group.path + "]: " +
              std::strerror(errno ? errno : EIO));
    }

    hts_tpool_ptr pool;  // before the files, which use it until they close
    std::vector<group_file> groups;
    std::string vcfPath;
    const char* chrom;
    std::vector<std::string_view> fields;
    bool headerSeen = false;
};

}  // namespace

void splitVcfByGroups(const run_options& options) {
    group_writer writer(readGroups(options.splitGroups), options);
    const vcf_source source = readVcfLines(
        options.vcf, options.chrom, [&](std::string_view line) { writer.take(line); },
        writer.threadPool());
    if (source.outcome != vcf_source::status::read)
        fatal(std::string("ERROR: Cannot read VCF file [") + options.vcf + "]");
    writer.close();
}
