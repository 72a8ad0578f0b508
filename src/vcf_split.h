// Cuts a cohort's VCF into the VCFs of groups of its samples in one read: each group's file holds
// the header with the group's samples and every line of the VCF with the group's sample fields,
// the fields cut as the scan cuts them and otherwise as they stand, so that a scan of a group's
// file sees what a scan of the whole cohort sees for those samples. The cohort workflow scans
// its groups from these files rather than reading the cohort's lines once per group.
#pragma once

#include "run_options.h"

// Reads the lines of options.vcf (options.chrom's only, when given: through the index, else
// by their CHROM) and writes the groups that
// options.splitGroups lists, one per line: the output's name, then the samples, tab-separated.
// Outputs are bgzipped at the fastest level; they live only until their scan has read them.
void splitVcfByGroups(const run_options& options);
