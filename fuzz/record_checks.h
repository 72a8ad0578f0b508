// Checks shared by the alignment-record fuzz targets: the record accessors, the pile-up
// callback fed through htslib's pile-up and fed directly, and the read table they fill.
#pragma once

#include <cstdint>
#include <vector>

#include "hts_handles.h"

// A copy of b whose data block is exactly l_data bytes long (htslib rounds its blocks up), so
// that AddressSanitizer reports any read past the record's end.
bam1_ptr exactCopy(const bam1_t* b);

// Calls every accessor on b at the reference positions around and inside its alignment, and
// checks that what they return agrees with itself.
void checkAccessors(const bam1_t* b);

struct pileup_settings {
    int32_t minBaseQuality = 0;
    int32_t minReadQuality = 0;
    int32_t siteIndex = 0;  // of the three sites the targets' data set holds
    bool freshTable = false;  // a new read table, as at a run's start, or one emptied by clear()
};

// Runs the records, in the order given, through a pile-up buffer as the per-site scan does,
// with the site at every column the records cover in turn (a bounded number of them). Each
// column's entries are first checked against the accessors (htslib's query position must
// give the base the CIGAR walk gives), then handed to pileup_function. Records htslib refuses
// (out of order) reset the buffer, as the scan would go on.
void pileUpThroughHtslib(const std::vector<bam1_ptr>& records, const pileup_settings& settings);

// Hands pileup_function columns made directly of the records (no htslib in between), at
// positions around each record's start.
void pileUpDirectly(const std::vector<bam1_ptr>& records, const pileup_settings& settings);
