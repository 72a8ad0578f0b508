// Test fixtures made at test time from inline SAM text, through htslib only: indexed BAM and
// CRAM files, and single records.
#pragma once

#include <string>

#include "hts_handles.h"

// SAM text may use runs of spaces instead of tabs between fields: a line without any tab is
// split at its runs of spaces. Lines holding a tab are taken as they are (a field with spaces).
// Failures throw std::runtime_error, which fails the calling test with the message.
class sam_fixture {
public:
    // Writes folder/name.bam and its .bai index from coordinate-sorted SAM text (header lines,
    // then records). Returns the BAM path.
    static std::string writeBam(const std::string& folder, const std::string& name,
                                const std::string& sam);
    // The same as folder/name.cram with its .crai index, its sequences encoded against
    // `referenceFasta` (indexed beside it when no .fai exists). Returns the CRAM path.
    static std::string writeCram(const std::string& folder, const std::string& name,
                                 const std::string& sam, const std::string& referenceFasta);
    // One record from one SAM line. Its RNAME and RNEXT, unless "*" or "=", are the targets of
    // a header of its own, each 2^29 bases long.
    static bam1_ptr parseRecord(const std::string& line);
};
