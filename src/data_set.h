// The state of one run: the sites, the samples and their heterozygous sites, each sample's BAM
// files, and the read table of the sample being scanned.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include <htslib/sam.h>

#include "hts_handles.h"
#include "packed_flags.h"
#include "phase_sets.h"
#include "pos_index.h"
#include "read_table.h"
#include "run_options.h"
#include "unread_files.h"
#include "vcf_lines.h"

class ofile;

// What the scan of one sample saw, for the statistics file.
struct scan_counts {
    uint64_t hetSnps = 0;       // sites scanned: heterozygous bi-allelic SNPs of the sample
    uint64_t records = 0;       // alignment records read
    uint64_t droppedFlag = 0;   // unmapped, secondary, QC-failed or duplicate
    uint64_t droppedMapq = 0;   // mapping quality 255 or below the threshold
    uint64_t droppedBaseq = 0;  // observations whose base quality is below the threshold
    // Of the reads held (countReads()), before the phasing takes them:
    uint64_t reads = 0;       // reads with a base kept at a site
    uint64_t pirs = 0;        // phase-informative ones
    uint64_t snpsInPirs = 0;  // sites they show
};

class data_set {
public:
    // What the pile-up callback works on; handed to it as its user data.
    struct pileup_state {
        data_set* owner = nullptr;
        read_table reads;
        int32_t siteIndex = 0;
        int32_t sitePos = 0;
        int32_t minBaseQuality = 0;
        int32_t minReadQuality = 0;
        // Bases from here up to minBaseQuality are kept for the phase sets alone; without
        // them, this is minBaseQuality.
        int32_t minPhaseBaseQuality = 0;
        scan_counts counts;  // of the sample being scanned
        std::string file;    // the alignment file being read, named by messages
    };

    data_set(int baseQuality, int readQuality, const run_options& runOptions = run_options());
    // The thresholds, and all else, from the command line.
    explicit data_set(const run_options& runOptions);
    data_set(const data_set&) = delete;
    data_set& operator=(const data_set&) = delete;

    void readVcf(const char* filename, int from, int to);
    void readBam(const char* filename);
    void runExtraction(const char* filename);
    void bridgeScan(int sample);
    void writePIRs(ofile& file, int sample);
    // Counts the reads held and their PIRs into the scan's counts.
    void countReads();
    // One line of the statistics file: what the scan saw, with the reads counted, and the
    // sample's blocks.
    void writeStats(ofile& file, int sample, const block_summary& blocks);
    static void writeStatsHeader(ofile& file);

    // The alignment files that could not be opened or read to their end, each with its sample.
    const unread_files& unreadFiles() const { return unread; }

    pos_index sites;
    std::vector<std::string> sampleNames;
    packed_flags hetFlags;
    // The heterozygous calls that cannot be written phased (not 0/1, 1/0, 0|1 or 1|0), whose
    // reads are scanned but not phased: sample << 32 | site index, in increasing order.
    std::vector<uint64_t> unphasableHets;
    std::vector<std::vector<std::string>> bamFiles;
    std::vector<std::vector<std::string>> sequenceNames;
    pileup_state pileup;

private:
    // The sample is heterozygous at the site, and the site is a bi-allelic SNP.
    bool isHetSnp(int sample, int siteIndex) const;
    // The sites of the sample's unphasable heterozygous calls, in increasing order.
    std::vector<uint32_t> unphasableSites(size_t sample) const;
    // Each returns false when the file could not be read to the end.
    bool scanPerSite(int sample, samFile* file, const hts_idx_t* index, int target);
    bool scanOnePass(int sample, samFile* file, const hts_idx_t* index, int target);

    // Names the file on standard error as one that could not be read; the run ends with status
    // 1. `reason` is empty or a line that begins with a newline.
    void reportUnreadable(int sample, const std::string& path, const std::string& reason);
    // The decompression threads shared by every file htslib reads; null with one thread.
    hts_tpool* threadPool() const { return pool.get(); }

    std::deque<site> siteRecords;  // owns what `sites` points to
    const run_options options;
    hts_tpool_ptr pool;
    std::set<std::string> referenceSequences;  // those of --reference, from its index
    vcf_identity vcfRead;             // the VCF as the run read it, for a second read
    std::string chromosome;           // of the sites read: --chrom, or the VCF's CHROM
    int64_t chromosomeLength = -1;    // as the VCF's header gives it; -1 when it does not
    unread_files unread;
};

// The pile-up buffer's callbacks. `data` is the pile-up buffer for the first and the
// address of a pileup_state for the second.
int fetch_function(const bam1_t* b, void* data);
int pileup_function(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t* pl, void* data);
