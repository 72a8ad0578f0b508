// The phase sets file by the kind its name gives: lines through BGZF, through htslib's BCF
// encoder, or as plain text; a bgzipped VCF's .tbi built as its blocks are written, any other
// index from the finished file.
#include "vcf_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <optional>
#include <ostream>

#include <htslib/tbx.h>

#include "utils/fatal.h"
#include "utils/output_targets.h"
#include "vcf_fields.h"

namespace {

constexpr int csi_min_shift = 14;
constexpr std::string_view ps_header =
    "##FORMAT=<ID=PS,Number=1,Type=Integer,Description=\"Phase set\">";

bool endsWith(const std::string& text, std::string_view end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::optional<vcf_output::kind> knownKind(const std::string& path) {
    if (endsWith(path, ".vcf.gz") || endsWith(path, ".vcf.bgz"))
        return vcf_output::kind::bgzipped_vcf;
    if (endsWith(path, ".bcf")) return vcf_output::kind::bcf;
    if (endsWith(path, ".vcf")) return vcf_output::kind::plain_vcf;
    return std::nullopt;
}

vcf_output::kind kindOf(const std::string& path) {
    if (const std::optional<vcf_output::kind> known = knownKind(path)) return *known;
    fatal("ERROR: --phase-sets [" + path + "] has no known ending: .vcf.gz or .vcf.bgz " +
          "(bgzipped VCF), .bcf (BCF) or .vcf (plain text)");
}

// What a failed htslib call left in errno, or, when it left none, what failed. errno is cleared
// before each such call, so that an older failure is never given as its reason.
std::string htsReason(const char* otherwise) {
    return errno != 0 ? std::strerror(errno) : otherwise;
}

// Where a data line's record ends, 1-based: POS + length of REF - 1, or its INFO/END when that
// lies further, as htslib's index reads them.
// Every data line comes here: its fields are walked, not gathered.
int64_t recordEnd(std::string_view line) {
    std::array<std::string_view, 8> fields;
    fields.fill("");  // a short line reads as 0s: a view of the empty text, never of nothing
    field_walker walk(line);
    for (size_t k = 0; k < fields.size() && walk.next(fields[k]); ++k) {}
    int64_t end = parsePosition(fields[1]) + static_cast<int64_t>(fields[3].size()) - 1;
    for (std::string_view info = fields[7]; !info.empty();) {
        const size_t stop = std::min(info.find(';'), info.size());
        if (info.substr(0, 4) == "END=") end = std::max(end, parsePosition(info.substr(4)));
        info.remove_prefix(std::min(stop + 1, info.size()));
    }
    return end;
}

// The header line that records the command; a line break in an argument would end it early.
std::string commandHeader(const std::string& command) {
    std::string line = "##bridgeScan_command=" + command;
    std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return line;
}

// Field k (from 0) of a line; empty when it has fewer.
std::string_view fieldAt(std::string_view line, size_t k) {
    const std::vector<std::string_view> fields = firstFields(line, k + 1);
    return fields.size() > k ? fields[k] : std::string_view();
}

}  // namespace

void vcf_output::checkTarget(const std::string& path) {
    const output_target target = finalTarget(path);
    std::string what = path == "-" ? "standard output" : nonFileKind(target);
    if (what.empty() && isStandardOutput(path)) what = "standard output";
    if (!what.empty())
        fatal("ERROR: --phase-sets [" + path + "] is " + what +
              ": the phase sets go only to a regular file, which their index reads back");
    const std::string folder = folderOf(target.path);
    if (target.error == 0 &&
        faccessat(AT_FDCWD, folder.empty() ? "." : folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        fatal("ERROR: Cannot create output file [" + path + "]: " + std::strerror(errno) +
              " (the file and its index are made in its folder)");
}

std::vector<std::string> vcf_output::indexNames(const std::string& path) {
    if (knownKind(path) == kind::plain_vcf) return {};
    const std::string file = linkedName(path);
    return {file + ".tbi", file + ".csi"};
}

vcf_output::vcf_output(const std::string& path, hts_tpool* pool)
    : type(kindOf(path)),
      file(std::make_unique<safe_output>(path, type == kind::plain_vcf
                                                   ? safe_output::writer::stream
                                                   : safe_output::writer::by_name)) {
    if (type == kind::plain_vcf) return;
    const std::vector<std::string> indexes = indexNames(path);
    tbi = std::make_unique<safe_output>(indexes[0], safe_output::writer::by_name);
    csi = std::make_unique<safe_output>(indexes[1], safe_output::writer::by_name);
    errno = 0;
    // BGZF at level 1: a cohort's lines are many, and the fastest level costs a third of the
    // default's time for a file about 40% larger.
    if (type == kind::bgzipped_vcf) {
        bgzf = std::make_unique<bgzf_outputs>(
            std::vector<std::string>{file->stagingPath()}, 1, pool,
            [this](size_t, size_t textLength, size_t compressed) {
                tbi_index.blockWritten(textLength, compressed);
            },
            [this](size_t, const char* what) { file->fail(what, htsReason("cannot write it")); });
    } else {
        bcf.reset(hts_open(file->stagingPath().c_str(), "wb"));
        record.reset(bcf_init());
    }
    if (!bgzf && !bcf) file->fail("create", htsReason("htslib cannot open it"));
}

void vcf_output::put(std::string_view line) {
    switch (type) {
    case kind::plain_vcf: {
        std::ostream& out = file->stream();
        out << line << '\n';
        return;
    }
    case kind::bgzipped_vcf: return putBgzipped(line);
    case kind::bcf: return putBcf(line);
    }
}

void vcf_output::putHeader(std::string_view line, const std::string& command) {
    if (line.substr(0, 6) == "#CHROM") {
        if (!psDeclared) put(ps_header);
        put(commandHeader(command));
    }
    psDeclared = psDeclared || line.substr(0, 16) == ps_header.substr(0, 16);
    put(line);
}

void vcf_output::putBgzipped(std::string_view line) {
    if (line.substr(0, 1) != "#") largestEnd = std::max(largestEnd, recordEnd(line));
    tbi_index.line(line);
    errno = 0;
    bgzf->write(0, line);
    bgzf->write(0, "\n");
}

// The header is encoded once it is whole, at the first data line.
void vcf_output::putBcf(std::string_view line) {
    if (!header && line.substr(0, 1) == "#") {
        headerText.append(line).append("\n");
        return;
    }
    if (!header) writeBcfHeader(line);
    text.ks.l = 0;
    kputsn(line.data(), line.size(), &text.ks);
    if (vcf_parse(&text.ks, header.get(), record.get()) != 0 || record->errcode != 0)
        file->fail("write", "htslib cannot encode as BCF the record at " +
                                std::string(fieldAt(line, 0)) + ":" +
                                std::string(fieldAt(line, 1)) +
                                " (BCF needs every INFO and FORMAT field declared in the header)");
    errno = 0;
    if (bcf_write(bcf.get(), header.get(), record.get()) != 0)
        file->fail("write", htsReason("htslib cannot write it"));
}

// What a BCF header must declare before its records, and a VCF read by this program may leave
// out: the ##fileformat line, the chromosome's ##contig line and FORMAT/GT. htslib would add the
// last two itself at the first record, too late for BCF, whose records name them by their place
// in the header.
void vcf_output::writeBcfHeader(std::string_view firstDataLine) {
    if (headerText.compare(0, 12, "##fileformat") != 0)
        headerText.insert(0, "##fileformat=VCFv4.2\n");
    header.reset(bcf_hdr_init("r"));
    if (!header || bcf_hdr_parse(header.get(), headerText.data()) != 0)
        file->fail("write", "htslib cannot read the VCF's header");
    const std::string chrom(fieldAt(firstDataLine, 0));
    if (!chrom.empty() && bcf_hdr_name2id(header.get(), chrom.c_str()) < 0)
        declare("##contig=<ID=" + chrom + ">");
    if (!bcf_hdr_idinfo_exists(header.get(), BCF_HL_FMT,
                               bcf_hdr_id2int(header.get(), BCF_DT_ID, "GT")))
        declare("##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">");
    errno = 0;
    if (bcf_hdr_write(bcf.get(), header.get()) != 0)
        file->fail("write", htsReason("htslib cannot write it"));
    headerText.clear();
}

void vcf_output::declare(const std::string& headerLine) {
    if (bcf_hdr_append(header.get(), headerLine.c_str()) != 0 || bcf_hdr_sync(header.get()) != 0)
        file->fail("write", "htslib cannot add " + headerLine + " to the header");
}

void vcf_output::close() {
    if (type == kind::plain_vcf) return;
    if (type == kind::bcf && !header) writeBcfHeader("");
    errno = 0;
    if (bgzf) bgzf->close();
    if (bcf && hts_close(bcf.release()) != 0)
        file->fail("write", htsReason("htslib cannot complete it"));
    buildIndex();
}

// The index of the kind not built is withdrawn, so that an older one of that kind, which htslib
// would load first or alone, goes with the older file.
void vcf_output::buildIndex() {
    const bool wantCsi = type == kind::bcf || largestEnd > tbi_builder::largest_end;
    safe_output& index = wantCsi ? *csi : *tbi;
    (wantCsi ? *tbi : *csi).withdraw();
    const std::string data = file->stagingPath(), built = index.stagingPath();
    errno = 0;
    if (!wantCsi && tbi_index.usable()) {
        if (!tbi_index.save(built)) index.fail("write", htsReason("htslib cannot write the index"));
        return;
    }
    const int status =
        type == kind::bcf
            ? bcf_index_build3(data.c_str(), built.c_str(), csi_min_shift, 0)
            : tbx_index_build2(data.c_str(), built.c_str(), wantCsi ? csi_min_shift : 0,
                               &tbx_conf_vcf);
    if (status != 0) index.fail("write", htsReason("htslib cannot build the index"));
}

std::vector<safe_output*> vcf_output::outputs() {
    std::vector<safe_output*> all = {file.get()};
    if (tbi) all.insert(all.end(), {tbi.get(), csi.get()});
    return all;
}
