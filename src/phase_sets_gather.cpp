// The parts read side by side in line order beside one read of the VCF; parts beyond what may be
// open at once are first combined batch by batch into parts of the same format.
#include "phase_sets_gather.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <htslib/bgzf.h>

#include "hts_handles.h"
#include "phase_values.h"
#include "utils/fatal.h"
#include "utils/output_targets.h"
#include "utils/safe_output.h"
#include "utils/streams.h"
#include "utils/sutils.h"
#include "vcf_fields.h"
#include "vcf_lines.h"
#include "vcf_output.h"

namespace {

constexpr size_t fixed_fields = 9;  // CHROM to FORMAT
constexpr std::string_view end_mark = "#end";
constexpr size_t default_open_parts = 256;

// A part, and the samples its places count in, in order.
struct part_source {
    std::string path;
    std::vector<std::string> samples;
};

struct gather_list {
    std::vector<part_source> parts;
    size_t openParts = default_open_parts;
    std::string run;  // what the run's header line records after the version; empty: none
};

// A whole number from 0 up, written as nothing else; -1 for any other text.
int64_t wholeNumber(std::string_view text) {
    int64_t value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

gather_list readList(const std::string& path) {
    ifile list(path);
    if (!list) fatal("ERROR: Cannot open phase sets parts file [" + path + "]");
    gather_list found;
    std::vector<std::string> fields;
    size_t number = 0;
    for (std::string text; std::getline(list, text);) {
        const std::string where = "ERROR: Phase sets parts file [" + path + "], line " +
                                  std::to_string(++number) + ": ";
        if (sutils::tokenize(text, fields, "\t") == 0) continue;
        if (fields[0] == "#run") {
            const size_t start = text.find_first_not_of('\t', text.find("#run") + 4);
            found.run = start == std::string::npos ? "" : text.substr(start);
        } else if (fields[0] == "#open_parts") {
            const int64_t open = fields.size() == 2 ? wholeNumber(fields[1]) : -1;
            if (open < 1) fatal(where + "#open_parts takes a whole number from 1");
            found.openParts = static_cast<size_t>(open);
        } else if (fields.size() < 2 || fields[0][0] == '#') {
            fatal(where + "expected a part, then its samples");
        } else {
            found.parts.push_back({fields[0], {fields.begin() + 1, fields.end()}});
        }
    }
    if (list.failed()) fatal("ERROR: Cannot read phase sets parts file [" + path + "]");
    if (found.parts.empty()) fatal("ERROR: Phase sets parts file [" + path + "] lists no part");
    return found;
}

// A value a part gives: the sample's place in its group, and the text the scan wrote.
struct part_value {
    size_t place;
    std::string_view text;
};

// A part's lines one at a time, each cut at its tabs; closed once its end line is read.
class part_reader {
public:
    part_reader(const part_source& source, size_t order)
        : path(source.path), samples(source.samples.size()), position(order) {
        errno = 0;
        file.reset(bgzf_open(path.c_str(), "r"));
        if (!file)
            fatal("ERROR: Cannot open phase sets part [" + path +
                  "]: " + std::strerror(errno ? errno : EIO));
        advance();
    }

    bool ended() const { return count >= 0; }
    int64_t number() const { return lineNumber; }
    // POS, REF, ALT and FORMAT: k from 0 to 3.
    std::string_view field(size_t k) const { return head[k]; }
    const std::vector<part_value>& values() const { return changed; }
    size_t order() const { return position; }
    // Once ended: the number of lines the scan selected.
    int64_t lineCount() const { return count; }
    const std::string& name() const { return path; }

    void advance() {
        errno = 0;
        const int status = quietGetline();
        if (status < -1) fatal("ERROR: Cannot read phase sets part [" + path + "]: it is damaged");
        if (status == -1)
            fatal("ERROR: Phase sets part [" + path +
                  "] ends before its last line: it is truncated");
        ++linesRead;
        cut(std::string_view(line.ks.s, line.ks.l));
    }

private:
    // htslib's own lines on a damaged part would come before the one line that names it.
    int quietGetline() {
        const htsLogLevel level = hts_get_log_level();
        hts_set_log_level(HTS_LOG_OFF);
        const int status = bgzf_getline(file.get(), '\n', &line.ks);
        hts_set_log_level(level);
        return status;
    }

    void cut(std::string_view text) {
        fields.clear();
        for (size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
            end = text.find('\t', start);
            fields.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        }
        if (fields[0] == end_mark) {
            count = fields.size() == 2 ? wholeNumber(fields[1]) : -1;
            if (count < 0) malformed();
            file.reset();
            return;
        }
        const int64_t number = wholeNumber(fields[0]);
        if (fields.size() < 5 || fields.size() % 2 == 0 || number <= lineNumber) malformed();
        lineNumber = number;
        head.assign(fields.begin() + 1, fields.begin() + 5);
        changed.clear();
        for (size_t k = 5; k < fields.size(); k += 2) {
            const int64_t place = wholeNumber(fields[k]);
            if (place < 0 || static_cast<size_t>(place) >= samples) malformed();
            changed.push_back({static_cast<size_t>(place), fields[k + 1]});
        }
    }

    [[noreturn]] void malformed() const {
        fatal("ERROR: Phase sets part [" + path + "], line " + std::to_string(linesRead) +
              ": not a part's line");
    }

    std::string path;
    size_t samples;
    size_t position;
    bgzf_ptr file;  // reading: its close has nothing to report
    kstring_buffer line;
    size_t linesRead = 0;
    std::vector<std::string_view> fields;
    int64_t lineNumber = -1;
    std::vector<std::string_view> head;
    std::vector<part_value> changed;
    int64_t count = -1;
};

// The parts side by side, line by line in line order.
class part_merge {
public:
    explicit part_merge(const std::vector<part_source>& sources) {
        for (size_t k = 0; k < sources.size(); ++k)
            readers.push_back(std::make_unique<part_reader>(sources[k], k));
    }

    // Moves to the next line that a part holds; false once every part is at its end.
    bool next() {
        for (part_reader* reader : holding) reader->advance();
        holding.clear();
        for (const std::unique_ptr<part_reader>& reader : readers) {
            if (reader->ended()) continue;
            if (!holding.empty() && reader->number() > holding[0]->number()) continue;
            if (!holding.empty() && reader->number() < holding[0]->number()) holding.clear();
            holding.push_back(reader.get());
        }
        return !holding.empty();
    }
    // The parts that hold the line, in part order.
    const std::vector<part_reader*>& line() const { return holding; }

    // The longest FORMAT the parts give the line, the first of them at equal lengths: the VCF's,
    // or with PS added where a scan phased a value.
    std::string_view longestFormat() const {
        std::string_view format = holding[0]->field(3);
        for (const part_reader* reader : holding)
            if (reader->field(3).size() > format.size()) format = reader->field(3);
        return format;
    }

    // Once every part is at its end: the number of lines the scans selected, the same in each.
    int64_t lineCount() const {
        const part_reader& first = *readers[0];
        for (const std::unique_ptr<part_reader>& reader : readers)
            if (reader->lineCount() != first.lineCount())
                fatal("ERROR: Phase sets parts [" + first.name() + "] and [" + reader->name() +
                      "] hold different numbers of lines: " + std::to_string(first.lineCount()) +
                      " and " + std::to_string(reader->lineCount()));
        return first.lineCount();
    }

private:
    std::vector<std::unique_ptr<part_reader>> readers;
    std::vector<part_reader*> holding;
};

void writeOrFail(BGZF* file, const std::string& text, const std::string& path) {
    errno = 0;
    if (bgzf_write(file, text.data(), text.size()) < 0)
        fatal("ERROR: Cannot write [" + path + "]: " + std::strerror(errno ? errno : EIO));
}

// One part for a batch of parts, a sample's place counted in their samples together.
part_source combine(const std::vector<part_source>& batch, const std::string& path,
                    hts_tpool* pool) {
    part_source combined{path, {}};
    std::vector<size_t> offsets;
    for (const part_source& part : batch) {
        offsets.push_back(combined.samples.size());
        combined.samples.insert(combined.samples.end(), part.samples.begin(), part.samples.end());
    }
    bgzf_ptr out(bgzf_open(path.c_str(), "w1"));
    if (!out) fatal("ERROR: Cannot create [" + path + "]: " + std::strerror(errno ? errno : EIO));
    if (pool) bgzf_thread_pool(out.get(), pool, 0);
    part_merge merge(batch);
    std::string text;
    while (merge.next()) {
        const part_reader& first = *merge.line()[0];
        text = std::to_string(first.number());
        for (size_t k = 0; k < 3; ++k) (text += '\t') += first.field(k);
        (text += '\t') += merge.longestFormat();
        for (const part_reader* reader : merge.line())
            for (const part_value& value : reader->values())
                ((text += '\t') += std::to_string(value.place + offsets[reader->order()]) + '\t') +=
                    value.text;
        writeOrFail(out.get(), text += '\n', path);
    }
    writeOrFail(out.get(), std::string(end_mark) + '\t' + std::to_string(merge.lineCount()) + '\n',
                path);
    if (bgzf_close(out.release()) != 0) fatal("ERROR: Cannot write [" + path + "]");
    return combined;
}

// The combined parts' folder beside the output, made when the first is written and removed
// with what it holds when the gather ends, also by a fatal error.
class scratch_folder {
public:
    explicit scratch_folder(std::string outputPath) : output(std::move(outputPath)) {}
    ~scratch_folder() {
        if (folder().empty()) return;
        remove();
        folder().clear();
        setFatalCleanup(previous);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;

    std::string file(size_t level, size_t batch) {
        if (folder().empty()) create();
        return folder() + "/level" + std::to_string(level) + ".batch" + std::to_string(batch) +
               ".gz";
    }

private:
    void create() {
        const std::string place = folderOf(output);
        std::string pattern = place + "." + output.substr(place.size()) + ".parts.XXXXXX";
        if (!mkdtemp(pattern.data()))
            fatal("ERROR: Cannot create a folder beside [" + output + "]: " +
                  std::strerror(errno));
        folder() = pattern;
        previous = setFatalCleanup(removeAndCleanUp);
    }
    static std::string& folder() {
        static std::string path;
        return path;
    }
    static void remove() {
        std::error_code ignored;
        std::filesystem::remove_all(folder(), ignored);
    }
    static void removeAndCleanUp() {
        remove();
        if (previous) previous();
    }

    std::string output;
    static inline fatal_cleanup previous = nullptr;
};

// Parts few enough to be open at once: beyond `openParts`, combined batch by batch, again
// while there are more. A batch holds two parts at least, so that each round leaves fewer.
std::vector<part_source> withinOpenLimit(std::vector<part_source> parts, size_t openParts,
                                         scratch_folder& scratch, hts_tpool* pool) {
    const size_t batch = std::max<size_t>(openParts, 2);
    for (size_t level = 1; parts.size() > batch; ++level) {
        std::vector<part_source> combined;
        for (size_t first = 0; first < parts.size(); first += batch) {
            const std::vector<part_source> members(
                parts.begin() + static_cast<std::ptrdiff_t>(first),
                parts.begin() + static_cast<std::ptrdiff_t>(std::min(first + batch, parts.size())));
            combined.push_back(combine(members, scratch.file(level, combined.size()), pool));
        }
        if (level > 1)
            for (const part_source& part : parts) {
                std::error_code ignored;  // the folder goes in the end, with what is left
                std::filesystem::remove(part.path, ignored);
            }
        parts = std::move(combined);
    }
    return parts;
}

// The VCF's lines, each line the parts hold written with their values in place.
class line_gather {
public:
    line_gather(const std::vector<part_source>& partSources, const run_options& options,
                vcf_output& output, std::string commandLine)
        : parts(partSources), merge(partSources), vcf(options.vcf), chrom(options.chrom),
          out(output), command(std::move(commandLine)) {
        pending = merge.next();
    }

    void take(std::string_view line) {
        if (line.substr(0, 1) == "#") {
            if (line.substr(0, 6) == "#CHROM") setColumns(line);
            return out.putHeader(line, command);
        }
        if (!pending) return;
        firstFields(line, fixed_fields + 1, head);
        const part_reader& next = *merge.line()[0];
        if (head.size() < fixed_fields || (chrom && head[0] != chrom) ||
            head[1] != next.field(0) || head[3] != next.field(1) || head[4] != next.field(2))
            return;
        if (columns.empty()) fatal("ERROR: VCF file [" + vcf + "] has no #CHROM line");
        out.put(rewritten(line));
        pending = merge.next();
    }

    // Every line the parts hold was written, and the parts agree on their number.
    void checkAllWritten() const {
        if (pending)
            fatal("ERROR: VCF file [" + vcf + "] has no line at POS " +
                  std::string(merge.line()[0]->field(0)) +
                  " that the groups' phase sets hold: did it change since the scans?");
        merge.lineCount();
    }

    uint64_t lostPhase() const { return lost; }

private:
    // Each part's samples' columns: the first of each name on the #CHROM line.
    void setColumns(std::string_view line) {
        std::unordered_map<std::string_view, size_t> first;
        field_walker walk(line);
        size_t column = 0;
        for (std::string_view name; walk.next(name); ++column)
            if (column >= fixed_fields) first.emplace(name, column);
        columns.clear();
        scanned.assign(column, false);
        given.assign(column, std::string_view());
        for (const part_source& part : parts) {
            columns.emplace_back();
            for (const std::string& sample : part.samples) {
                const auto found = first.find(sample);
                if (found == first.end())
                    fatal("ERROR: Sample [" + sample + "] of phase sets part [" + part.path +
                          "] is not in VCF file [" + vcf + "]");
                columns.back().push_back(found->second);
                scanned[found->second] = true;
            }
        }
    }

    // The line with the parts' values and longer FORMAT in place of its own, the parts'
    // samples' other values without the VCF's phase, every other byte as it stands; a line
    // that needs neither is written as it is.
    std::string_view rewritten(std::string_view line) {
        givenColumns.clear();
        // Of two values for one column, the later part's is kept.
        for (const part_reader* reader : merge.line())
            for (const part_value& value : reader->values()) {
                const size_t column = columns[reader->order()][value.place];
                given[column] = value.text;
                givenColumns.push_back(column);
            }
        const bool unphase = mayHoldPhase(line, head);
        if (givenColumns.empty() && !unphase) return line;
        firstFields(line, given.size(), fields);
        const format_keys keys = keysOf(fields[8]);
        line_splice splice(line, text);
        const std::string_view format = merge.longestFormat();
        if (format.size() > fields[8].size()) splice.replace(fields[8]) += format;
        for (size_t column = fixed_fields; column < fields.size(); ++column) {
            if (given[column].data() != nullptr)
                splice.replace(fields[column]) += given[column];
            else if (unphase && scanned[column])
                lost += appendUnphased(fields[column], keys, splice.replace(fields[column]));
        }
        for (const size_t column : givenColumns) given[column] = std::string_view();
        return splice.finish();
    }

    const std::vector<part_source>& parts;
    part_merge merge;
    std::string vcf;
    const char* chrom;
    vcf_output& out;
    std::string command;
    bool pending = false;  // the parts hold a line not yet written
    std::vector<std::vector<size_t>> columns;  // by part, of its samples
    std::vector<bool> scanned;                 // by column: a part's sample
    std::vector<std::string_view> given;       // by column: the line's value from a part, if any
    std::vector<size_t> givenColumns;          // those given one
    std::vector<std::string_view> head, fields;
    std::string text;
    uint64_t lost = 0;  // values whose phase the VCF gave were written without it
};

}  // namespace

phase_part_writer::phase_part_writer(const std::string& path, bool every)
    : file(path, safe_output::writer::by_name), everyLine(every),
      writer({file.stagingPath()}, 1, nullptr, {}, [this](size_t, const char* what) {
          file.fail(what, errno ? std::strerror(errno) : "cannot write it");
      }) {}

void phase_part_writer::put(size_t number, const std::vector<std::string_view>& fields,
                            const std::vector<std::pair<size_t, phased_call>>& at) {
    const format_keys keys = keysOf(fields[8]);
    values.clear();
    for (const auto& [sample, call] : at) {
        if (fixed_fields + sample >= fields.size()) break;
        const std::string_view value = fields[fixed_fields + sample];
        const size_t before = values.size();
        ((values += '\t') += std::to_string(sample)) += '\t';
        if (!appendPhased(value, keys.gt, phaseSetIndex(keys), call, values)) values.resize(before);
    }
    if (values.empty() && !everyLine) return;
    text = std::to_string(number);
    for (const size_t k : {1, 3, 4, 8}) (text += '\t') += fields[k];
    if (!values.empty() && keys.ps < 0) text += ":PS";
    (text += values) += '\n';
    writer.write(0, text);
}

void phase_part_writer::close(size_t lines) {
    writer.write(0, std::string(end_mark) + '\t' + std::to_string(lines) + '\n');
    writer.close();
}

void gatherPhaseSets(const run_options& options, const std::string& version) {
    if (!options.phaseSets) fatal("ERROR: --gather-phase-sets writes the file --phase-sets names");
    vcf_output::checkTarget(options.phaseSets);
    const gather_list list = readList(options.gatherPhaseSets);
    const hts_tpool_ptr pool = startThreadPool(options.threads);
    vcf_output out(options.phaseSets, pool.get());
    scratch_folder scratch(options.phaseSets);
    const std::vector<part_source> parts =
        withinOpenLimit(list.parts, list.openParts, scratch, pool.get());
    line_gather gather(parts, options, out,
                       list.run.empty() ? options.commandLine : version + " " + list.run);
    const vcf_source source = readVcfLines(
        options.vcf, options.chrom, [&](std::string_view line) { gather.take(line); },
        pool.get());
    if (source.outcome != vcf_source::status::read)
        fatal(std::string("ERROR: Cannot read VCF file [") + options.vcf + "]");
    gather.checkAllWritten();
    reportLostPhase(gather.lostPhase());
    out.close();
    safe_output::finishAll(out.outputs());
}
