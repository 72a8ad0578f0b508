// Read-backed phase sets: one sample's phase-informative reads in, blocks of heterozygous sites
// placed on its two haplotypes out.
#pragma once

#include <cstddef>
#include <cstdint>
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

// One usable base of a fragment: its site, then (ALT seen) << 7 | quality.
struct phase_call {
    uint32_t site;
    uint8_t call;
};

class phaser {
public:
    // A site stays in its block only when the log10 likelihood ratio of its placement over the
    // same site flipped is at least `minLod`, and two parts of a block stay joined only when
    // their relative phase is as sure.
    phaser(const std::vector<phase_site>& sites, double minLod);

    // Room for `calls` calls in all, so that adding fragments never copies the calls added
    // before: on long reads those are as many as the read table's observations (on short reads
    // far fewer; room never written is mostly address space, not memory).
    void reserve(size_t calls);
    // One fragment: a read, or both mates of a pair. Observations of supplementary alignments,
    // bases that are neither REF nor ALT, and sites that are not phasable are left out.
    void addFragment(const std::vector<observation>& obs);
    // The blocks of the fragments added since the last call, in site order; forgets them.
    // Whatever order the fragments came in, the answer is the same.
    std::vector<phased_call> phase();

private:
    // Puts the calls from `begin` on in position order, one per site.
    void orderCallsSince(size_t begin);

    const std::vector<phase_site>& sites;
    const double minLod;
    // The fragments, one after another: each one's first call in `calls`, and an end mark.
    std::vector<uint32_t> fragmentStart{0};
    // By call: the site, then (ALT seen) << 7 | quality.
    std::vector<uint32_t> callSite;
    std::vector<uint8_t> callAllele;
    std::vector<phase_call> scratch;  // a fragment being ordered: kept for its capacity
};

// The phasing's view of the run's sites: SNP records alone at their position are phasable.
std::vector<phase_site> phaseSitesOf(const pos_index& sites);
// The blocks of one sample, from the reads of its read table, which it empties as it takes their
// fragments: the table's memory goes back as the fragments fill theirs, and all of it before the
// blocks are placed, whose arrays on long reads weigh as much. `leftOut` (in increasing order)
// are the sites whose genotype, for this sample, the phase sets file could not write phased.
std::vector<phased_call> phaseReads(read_table& reads, const std::vector<phase_site>& sites,
                                    double minLod, const std::vector<uint32_t>& leftOut);
block_summary summarize(const std::vector<phased_call>& calls,
                        const std::vector<phase_site>& sites);
