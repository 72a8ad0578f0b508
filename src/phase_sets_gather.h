// Gathers the phase sets of a cohort scanned group by group into the file that one scan of the
// whole cohort writes with --phase-sets. Each group's scan keeps of its phase sets a compact
// part, gzip text: per line of the scan, tab-separated, its number among the lines the scan
// selected, POS, REF, ALT, FORMAT, then pairs of a sample's place in the group (from 0) and the
// value the scan phased; the first group's part holds every selected line, the others only those
// with a value; a last line "#end", then the number of lines selected. The gather reads the
// cohort's VCF once beside the parts and writes each line the parts hold, with the groups' values
// and longer FORMAT put back in place, every other value of their samples without the phase the
// VCF gave it (as a scan writes a value outside the reads' blocks), and every other byte as it
// stands. So a part holds the reads' phase alone, which is little, even for a phased VCF.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bgzf_outputs.h"
#include "phase_sets.h"
#include "run_options.h"
#include "utils/safe_output.h"

// A group's part, as its scan writes it (--phase-part), at the fastest level: it lives until
// gathered.
class phase_part_writer {
public:
    // `everyLine`: every selected line, else those with a phased value alone.
    phase_part_writer(const std::string& path, bool everyLine);

    // A selected line, its `number` from 0 and its fields (the first 9 and its samples'), with
    // the calls of its samples that the reads phased there, in sample order.
    void put(size_t number, const std::vector<std::string_view>& fields,
             const std::vector<std::pair<size_t, phased_call>>& at);
    // Ends the part: the run selected `lines` lines.
    void close(size_t lines);
    safe_output* output() { return &file; }

private:
    safe_output file;
    bool everyLine;
    bgzf_outputs writer;
    std::string values, text;  // kept for their room
};

// Reads the parts that options.gatherPhaseSets lists, one per line: the part, then its group's
// samples, tab-separated. Lines starting with '#' set the gather: "#open_parts", then how many
// parts it holds open at most (beyond, parts are first combined batch by batch, beside the
// output); "#run", then the text that the header line of the run records after `version`, in
// place of the command line. Writes options.phaseSets (options.vcf's lines, options.chrom's
// only when given) with its index, compressing on options.threads.
void gatherPhaseSets(const run_options& options, const std::string& version);
