// The phase sets file in the kind its name asks for (bgzipped VCF, BCF, plain VCF) and its index,
// staged before the scan and published with the run's other outputs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bgzf_outputs.h"
#include "hts_handles.h"
#include "tbi_builder.h"
#include "utils/safe_output.h"

class vcf_output {
public:
    enum class kind { bgzipped_vcf, bcf, plain_vcf };

    // Before anything is read: a name that leads to no regular file or new name in a writable
    // folder (standard output, a device, a pipe) ends the run with one line naming
    // --phase-sets, the name and why.
    static void checkTarget(const std::string& path);
    // Both names an index may take, beside the file the name leads to; none for plain text.
    static std::vector<std::string> indexNames(const std::string& path);

    // Creates the file's temporary and, for a compressed kind, those of both index names: the
    // one not built removes an older index of that kind when the file is published. A name of
    // no known kind ends the run, with the endings it may have. A bgzipped VCF is compressed on
    // `pool`'s threads when one is given.
    explicit vcf_output(const std::string& path, hts_tpool* pool = nullptr);
    vcf_output(const vcf_output&) = delete;
    vcf_output& operator=(const vcf_output&) = delete;

    // The header lines, then the data lines, each without its line end.
    void put(std::string_view line);
    // A header line of the VCF the phase sets are written from; before its #CHROM line go the
    // PS declaration, unless the header has one, and the line that records `command`.
    void putHeader(std::string_view line, const std::string& command);
    // Completes the file and builds its index: a .csi for BCF, and for bgzipped VCF when a
    // record ends beyond what a .tbi holds, a .tbi otherwise (built as the lines were written
    // where it can be, else from the file).
    void close();
    // The files to put in place with the run's other outputs.
    std::vector<safe_output*> outputs();

private:
    void putBgzipped(std::string_view line);
    void putBcf(std::string_view line);
    void writeBcfHeader(std::string_view firstDataLine);
    void declare(const std::string& headerLine);
    void buildIndex();

    kind type;
    std::unique_ptr<safe_output> file;
    std::unique_ptr<safe_output> tbi, csi;  // for the compressed kinds
    std::unique_ptr<bgzf_outputs> bgzf;     // bgzipped VCF, and its index as it is written
    tbi_builder tbi_index;
    int64_t largestEnd = 0;                 // of the records written, 1-based
    bool psDeclared = false;                // by a header line put so far
    hts_file_ptr bcf;                       // BCF, with what it is encoded from:
    std::string headerText;                 // the header lines until the first data line
    bcf_hdr_ptr header;
    bcf1_ptr record;
    kstring_buffer text;
};
