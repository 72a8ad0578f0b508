// Read-backed phase sets: one sample's phase-informative reads in, blocks of heterozygous sites
// placed on its two haplotypes out.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "pos_index.h"
#include "read_table.h"

// What the phasing needs of each site of the run, by site index.
struct phase_site {
    int32_t pos = 0;
    char ref = 0;  // upper case
    char alt = 0;
    // A bi-allelic SNP that shares its position with no other SNP record.
    bool phasable = false;
};

// A heterozygous site placed in a block: written 1|0 when `altFirst`, else 0|1.
struct phased_call {
    uint32_t site;
    int32_t ps;  // the position of the block's first site
    bool altFirst;
};

// The phased calls of one sample, summed up for the statistics file.
struct block_summary {
    uint64_t phasedSnps = 0;  // sites in blocks
    uint64_t blocks = 0;
    int64_t n50 = 0;  // N50 of the blocks' spans (last position - first + 1), in bp
};

class phaser {
public:
    // Links weaker than `minLod` (log10 of the likelihood ratio of the better relative phase
    // over the other) do not join two sites in a block.
    phaser(const std::vector<phase_site>& sites, double minLod);

    // One read's (or pair's) observations. Bases that are neither REF nor ALT, and sites that
    // are not phasable, give no vote.
    void addFragment(const std::vector<observation>& obs);
    // The blocks of the fragments added since the last call, in site order; forgets them.
    // Whatever order the fragments came in, the answer is the same.
    std::vector<phased_call> phase();

private:
    const std::vector<phase_site>& sites;
    const int64_t minLod;
    // By pair of sites (the lower index in the upper half), the votes summed in millionths of a
    // LOD, positive for cis (the same allele on a haplotype): as integers, so that their sum
    // does not depend on the reads' order.
    std::unordered_map<uint64_t, int64_t> votes;
};

// The phasing's view of the run's sites: SNP records alone at their position are phasable.
std::vector<phase_site> phaseSitesOf(const pos_index& sites);
// The blocks of one sample, from the phase-informative reads of its read table.
std::vector<phased_call> phaseReads(const read_table& reads, const std::vector<phase_site>& sites,
                                    double minLod);
block_summary summarize(const std::vector<phased_call>& calls,
                        const std::vector<phase_site>& sites);
