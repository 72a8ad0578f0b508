// Turns inline SAM text into indexed BAM/CRAM files and records for the tests.
#include "sam_fixture.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <htslib/kstring.h>

namespace {

namespace fs = std::filesystem;

struct sam_text {
    std::string header;
    std::vector<std::string> records;
};

std::string tabbed(const std::string& line) {
    if (line.find('\t') != std::string::npos) return line;
    std::istringstream fields(line);
    std::string field;
    std::string out;
    while (fields >> field) {
        if (!out.empty()) out += '\t';
        out += field;
    }
    return out;
}

sam_text splitSam(const std::string& sam) {
    sam_text text;
    std::istringstream lines(sam);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        line = tabbed(line);
        if (line[0] == '@') {
            text.header += line + "\n";
        } else {
            text.records.push_back(line);
        }
    }
    return text;
}

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw std::runtime_error("sam_fixture: " + what + " [" + path + "]");
}

sam_hdr_ptr parseHeader(const std::string& header, const std::string& path) {
    sam_hdr_ptr hdr(sam_hdr_parse(header.size(), header.c_str()));
    if (!hdr) fail("cannot parse the SAM header for", path);
    return hdr;
}

// sam_parse1 wants a kstring_t; this one frees itself.
struct owned_kstring {
    kstring_t ks = KS_INITIALIZE;
    explicit owned_kstring(const std::string& s) { kputsn(s.data(), s.size(), &ks); }
    owned_kstring(const owned_kstring&) = delete;
    owned_kstring& operator=(const owned_kstring&) = delete;
    ~owned_kstring() { ks_free(&ks); }
};

void parseLine(const std::string& line, sam_hdr_t* hdr, bam1_t* b, const std::string& path) {
    owned_kstring ks(line);
    if (sam_parse1(&ks.ks, hdr, b) < 0) fail("cannot parse the SAM line '" + line + "' for", path);
}

void writeRecords(const sam_text& text, samFile* out, const std::string& path) {
    sam_hdr_ptr hdr = parseHeader(text.header, path);
    if (sam_hdr_write(out, hdr.get()) < 0) fail("cannot write the header of", path);
    bam1_ptr b(bam_init1());
    for (const std::string& line : text.records) {
        parseLine(line, hdr.get(), b.get(), path);
        if (sam_write1(out, hdr.get(), b.get()) < 0) fail("cannot write a record to", path);
    }
}

// mode "wb" or "wc"; reference empty for BAM.
std::string writeIndexed(const std::string& path, const char* mode, const std::string& sam,
                         const std::string& reference) {
    const sam_text text = splitSam(sam);
    sam_file_ptr out(sam_open(path.c_str(), mode));
    if (!out) fail("cannot create", path);
    if (!reference.empty() && hts_set_opt(out.get(), CRAM_OPT_REFERENCE, reference.c_str()) < 0) {
        fail("cannot use the reference " + reference + " for", path);
    }
    writeRecords(text, out.get(), path);
    // Closing writes the last block: its result is the write's.
    if (sam_close(out.release()) < 0) fail("cannot close", path);
    if (sam_index_build(path.c_str(), 0) < 0) {
        fail("cannot index (is the SAM text coordinate-sorted?)", path);
    }
    return path;
}

void addTarget(std::string& header, const std::string& name) {
    if (name == "*" || name == "=") return;
    const std::string line = "@SQ\tSN:" + name + "\tLN:536870912\n";
    if (header.find(line) == std::string::npos) header += line;
}

} // namespace

std::string sam_fixture::writeBam(const std::string& folder, const std::string& name,
                                  const std::string& sam) {
    return writeIndexed(folder + "/" + name + ".bam", "wb", sam, "");
}

std::string sam_fixture::writeCram(const std::string& folder, const std::string& name,
                                   const std::string& sam, const std::string& referenceFasta) {
    return writeIndexed(folder + "/" + name + ".cram", "wc", sam, referenceFasta);
}

bam1_ptr sam_fixture::parseRecord(const std::string& line) {
    const std::string record = tabbed(line);
    std::vector<std::string> fields;
    std::istringstream split(record);
    std::string field;
    while (std::getline(split, field, '\t')) fields.push_back(field);
    if (fields.size() < 11) fail("a SAM record needs 11 fields", line);
    std::string header;
    addTarget(header, fields[2]);
    addTarget(header, fields[6]);
    sam_hdr_ptr hdr = parseHeader(header, line);
    bam1_ptr b(bam_init1());
    parseLine(record, hdr.get(), b.get(), "a single record");
    return b;
}
