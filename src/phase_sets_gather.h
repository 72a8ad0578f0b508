// Gathers the phase sets of a cohort scanned group by group into the file that one scan of the
// whole cohort writes with --phase-sets. Each group's scan keeps of its phase sets a compact
// part, gzip text: per line of the scan, tab-separated, its number among the lines the scan
// selected, POS, REF, ALT, FORMAT, then pairs of a sample's place in the group (from 0) and the
// value the scan wrote for it where that differs from the VCF's; the first group's part holds
// every selected line, the others only those with a value; a last line "#end", then the number of
// lines selected. The gather reads the cohort's VCF once beside the parts and writes each line
// the parts hold, with the groups' values and longer FORMAT put back in place and every other
// byte as it stands.
#pragma once

#include <string>

#include "run_options.h"

// Reads the parts that options.gatherPhaseSets lists, one per line: the part, then its group's
// samples, tab-separated. Lines starting with '#' set the gather: "#open_parts", then how many
// parts it holds open at most (beyond, parts are first combined batch by batch, beside the
// output); "#run", then the text that the header line of the run records after `version`, in
// place of the command line. Writes options.phaseSets (options.vcf's lines, options.chrom's
// only when given) with its index, compressing on options.threads.
void gatherPhaseSets(const run_options& options, const std::string& version);
