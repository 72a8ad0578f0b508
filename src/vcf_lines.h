// The lines of a VCF as VCF text, whatever the file holds: plain, gzip or bzip2 text through the
// text streams, BCF through htslib (each record formatted as VCF text), and one chromosome of a
// bgzipped VCF or of a BCF through its index when it has one.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/streams.h"

struct hts_tpool;

// Takes each line without its line end. A NUL follows the line's text, so a number parsed from
// its last field stops there.
using vcf_line_handler = std::function<void(std::string_view line)>;

struct vcf_source {
    // bcf_from_pipe: BCF that is no file, whose first bytes the content check has taken.
    enum class status { read, cannot_open, cannot_read, not_text, bcf_from_pipe };
    status outcome = status::read;
    file_content content = file_content::plain;
    // Set when the chromosome was reached through the index: the chromosomes it holds records
    // of, in index order.
    bool indexed = false;
    std::vector<std::string> indexedChromosomes;
};

// Hands every line of the file at `path` to `take`, in file order. With `chrom`, a file that
// has an index (.tbi or .csi beside it) gives its header and that chromosome's records only;
// other files give every line. htslib decompresses on `pool` when one is given.
vcf_source readVcfLines(const std::string& path, const char* chrom, const vcf_line_handler& take,
                        hts_tpool* pool = nullptr);

// What tells the VCF the run read from a file put in its place or rewritten since: the file's
// identity on disk (device, inode, size, modification time) and its #CHROM line.
struct vcf_identity {
    struct stat file {};
    bool found = false;
    std::string sampleLine;

    // The identity of the file at `path` now, its #CHROM line left empty.
    static vcf_identity of(const std::string& path);
    bool sameFileAs(const vcf_identity& other) const;
};
