// The phase sets file: the run's VCF lines again, with each sample's read-backed blocks written
// as phased genotypes (0|1, 1|0) and FORMAT/PS, in the kind its name gives (vcf_output).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "packed_calls.h"
#include "phase_sets.h"
#include "phase_sets_gather.h"
#include "pos_index.h"
#include "vcf_lines.h"
#include "vcf_output.h"

struct hts_tpool;

// Which lines of the VCF the run read as its sites, in file order.
struct vcf_selection {
    std::string path;
    const char* chrom;       // --chrom, or null
    std::string chromosome;  // the CHROM of the sites read
    int from, to;
    const vcf_identity& identity;  // the file as the run first read it
};

// What the file holds: the VCF with the phase sets, or one group's part of a cohort's
// (phase_sets_gather.h), of every line the run selected or of those where a sample is phased.
enum class phase_sets_form { vcf, part_of_every_line, part_of_phased_lines };

class phased_vcf {
public:
    // Creates the file and its index at once, so that a name that cannot be written stops the
    // run before any scan.
    explicit phased_vcf(const std::string& path, phase_sets_form form = phase_sets_form::vcf);

    // Keeps the blocks of a sample that has alignment files until write(). Such a sample's
    // genotypes hold the reads' phase alone: outside its blocks, they are written unphased.
    void add(size_t sample, const std::vector<phased_call>& calls);
    // Reads the VCF a second time, rather than holding a cohort's lines through the whole scan,
    // and writes the selected lines; a VCF that is no longer the file read first ends the run.
    void write(const vcf_selection& vcf, const pos_index& sites, const std::string& command,
               hts_tpool* pool);
    // The files to put in place with the run's other outputs.
    std::vector<safe_output*> outputs();

private:
    std::string path;
    std::unique_ptr<vcf_output> file;         // the VCF, or
    std::unique_ptr<phase_part_writer> part;  // a group's part
    std::vector<packed_calls> calls;              // by sample
    std::vector<bool> scanned;                    // by sample: it has alignment files
};
