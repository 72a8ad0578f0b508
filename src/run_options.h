// Everything the command line decides: filled by the argument walk, read by the run.
#pragma once

#include <string>
#include <vector>

// How a sample's BAM files are scanned: one forward pass per file (the default), or one
// indexed fetch and pile-up per heterozygous site (slower; kept as the reference).
enum class scan_method { one_pass, per_site };

struct run_options {
    const char* vcf = nullptr;
    const char* bam = nullptr;
    const char* out = nullptr;
    int baseQuality = 13;
    int readQuality = 10;
    int from = 0;
    int to = 1000000000;
    const char* chrom = nullptr;      // the VCF's CHROM to read; all lines when absent
    const char* reference = nullptr;  // FASTA for CRAM files
    const char* stats = nullptr;      // per-sample statistics file
    const char* phaseSets = nullptr;  // VCF with read-backed phase sets
    double phaseMinLod = 1.5;         // least sure placement kept in a block, log10
    int phaseBaseQuality = 7;         // lowest base quality the phase sets use
    bool blocksOnly = false;          // the output without its map: a part of a larger one
    bool phasePart = false;           // of the phase sets, what their gather needs
    const char* splitGroups = nullptr;  // cut the VCF into the groups it lists; no scan
    const char* gatherPhaseSets = nullptr;  // gather the groups' phase sets parts; no scan
    std::string commandLine;          // as given, for the headers of the outputs
    std::vector<const char*> unknownArguments;  // neither an option nor an option's value
    int threads = 1;                  // in all; 0 when the value given was not a count
    bool help = false;
    bool version = false;
    scan_method scan = scan_method::one_pass;
};
