// The state of one run: the sites, the samples and their heterozygous sites, each sample's BAM
// files, and the read table of the sample being scanned.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <htslib/sam.h>

#include "packed_flags.h"
#include "pos_index.h"
#include "read_table.h"

class ofile;

// How a sample's BAM files are scanned: one forward pass per file (the default), or one
// indexed fetch and pile-up per heterozygous site (slower; kept as the reference).
enum class scan_method { one_pass, per_site };

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
        std::string file;  // the alignment file being read, named by messages
    };

    data_set(int baseQuality, int readQuality);
    data_set(const data_set&) = delete;
    data_set& operator=(const data_set&) = delete;

    void readVcf(const char* filename, int from, int to);
    void readBam(const char* filename);
    void runExtraction(const char* filename);
    void bridgeScan(int sample);
    void writePIRs(ofile& file, int sample);

    void setScanMethod(scan_method method) { scanMethod = method; }
    // Alignment files whose scan stopped on a read error; their samples' blocks are partial.
    int unreadableFiles() const { return unreadFiles; }

    pos_index sites;
    std::vector<std::string> sampleNames;
    packed_flags hetFlags;
    std::vector<std::vector<std::string>> bamFiles;
    std::vector<std::vector<std::string>> sequenceNames;
    pileup_state pileup;

private:
    // The sample is heterozygous at the site, and the site is a bi-allelic SNP.
    bool isHetSnp(int sample, int siteIndex) const;
    // Each returns false when the file could not be read to the end.
    bool scanPerSite(int sample, samFile* file, const hts_idx_t* index, int target);
    bool scanOnePass(int sample, samFile* file, const hts_idx_t* index, int target);

    std::deque<site> siteRecords;  // owns what `sites` points to
    scan_method scanMethod = scan_method::one_pass;
    int unreadFiles = 0;
};

// The pile-up buffer's callbacks. `data` is the pile-up buffer for the first and the
// address of a pileup_state for the second.
int fetch_function(const bam1_t* b, void* data);
int pileup_function(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t* pl, void* data);
