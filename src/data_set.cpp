// The run over the samples and the PIR blocks of the output file.
#include "data_set.h"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <optional>

#include "phased_vcf.h"
#include "utils/safe_output.h"

namespace {

// The sequence names of a FASTA, from the first column of its .fai index.
std::set<std::string> indexedSequences(const char* fasta) {
    std::set<std::string> names;
    if (!fasta) return names;
    ifile index(std::string(fasta) + ".fai");
    for (std::string line; std::getline(index, line);)
        names.insert(line.substr(0, line.find('\t')));
    return names;
}

// A group's part of a cohort's phase sets holds every selected line when it is the part that
// also carries the map.
phase_sets_form phaseSetsForm(const run_options& options) {
    if (!options.phasePart) return phase_sets_form::vcf;
    return options.blocksOnly ? phase_sets_form::part_of_phased_lines
                              : phase_sets_form::part_of_every_line;
}

}  // namespace

data_set::data_set(int baseQuality, int readQuality, const run_options& runOptions)
    : options(runOptions),
      pool(startThreadPool(runOptions.threads)),  // inflating blocks ahead of the reader
      referenceSequences(indexedSequences(runOptions.reference)) {
    pileup.owner = this;
    pileup.minBaseQuality = baseQuality;
    pileup.minReadQuality = readQuality;
    // Below 0, the floor would take a base without quality (0xff, read as -1) for a sure one.
    pileup.minPhaseBaseQuality =
        runOptions.phaseSets ? std::min(baseQuality, std::max(0, runOptions.phaseBaseQuality))
                             : baseQuality;
}

data_set::data_set(const run_options& runOptions)
    : data_set(runOptions.baseQuality, runOptions.readQuality, runOptions) {}

// A file under the output's name means every sample was written: a damaged alignment file
// ends the run with status 1 but still delivers the file, a fatal error or a signal does not.
// The statistics and the phase sets (with their index) follow the same rule, and appear with the
// output. Blocks are phased for either: the statistics count them.
void data_set::runExtraction(const char* filename) {
    safe_output out(filename);
    std::optional<safe_output> stats;
    if (options.stats) {
        stats.emplace(options.stats);
        writeStatsHeader(stats->stream());
    }
    std::optional<phased_vcf> phaseSets;
    if (options.phaseSets) phaseSets.emplace(options.phaseSets, phaseSetsForm(options));
    const std::vector<phase_site> phaseSites =
        phaseSets || stats ? phaseSitesOf(sites) : std::vector<phase_site>();
    if (!options.blocksOnly) sites.writeMAP(out.stream());
    for (size_t s = 0; s < sampleNames.size(); ++s) {
        if (bamFiles[s].empty()) continue;
        pileup.reads.clear();
        bridgeScan(static_cast<int>(s));
        writePIRs(out.stream(), static_cast<int>(s));
        if (!phaseSets && !stats) continue;
        if (stats) countReads();
        std::vector<phased_call> calls =
            phaseReads(pileup.reads, phaseSites, options.phaseMinLod, unphasableSites(s));
        if (stats) writeStats(stats->stream(), static_cast<int>(s), summarize(calls, phaseSites));
        if (phaseSets) phaseSets->add(s, calls);
    }
    std::vector<safe_output*> outputs = {&out};
    if (stats) outputs.push_back(&*stats);
    if (phaseSets) {
        const vcf_selection read = {options.vcf, options.chrom, chromosome,
                                    options.from, options.to, vcfRead};
        phaseSets->write(read, sites, options.commandLine, threadPool());
        for (safe_output* file : phaseSets->outputs()) outputs.push_back(file);
    }
    safe_output::finishAll(outputs);
}

std::vector<uint32_t> data_set::unphasableSites(size_t sample) const {
    const auto first = std::lower_bound(unphasableHets.begin(), unphasableHets.end(),
                                        uint64_t{sample} << 32);
    std::vector<uint32_t> found;
    for (auto at = first; at != unphasableHets.end() && *at >> 32 == sample; ++at)
        found.push_back(static_cast<uint32_t>(*at));
    return found;
}

namespace {

// Decimal digits straight into the line, without a string per number.
void appendNumber(std::string& line, uint32_t value) {
    char digits[10];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, static_cast<size_t>(end - digits));
}

void appendPIR(std::string& line, const std::vector<observation>& obs) {
    line.clear();
    for (size_t k = 0; k < obs.size(); ++k) {
        if (k > 0) line += '\t';
        appendNumber(line, obs[k].idx);
        line += '\t';
        line += static_cast<char>(obs[k].base);
        line += '\t';
        appendNumber(line, obs[k].qual);
    }
    line += '\n';
}

}  // namespace

void data_set::writePIRs(ofile& file, int sample) {
    std::cout << "Writing PIRs ..." << std::endl;
    size_t count = 0;
    pileup.reads.forEach([&](std::string_view, const std::vector<observation>& obs) {
        count += isPhaseInformative(obs);
    });
    std::ostream& out = file;
    out << sampleNames[static_cast<size_t>(sample)] << ' ' << count << '\n' << std::flush;
    std::string line;
    pileup.reads.forEach([&](std::string_view, const std::vector<observation>& obs) {
        if (!isPhaseInformative(obs)) return;
        appendPIR(line, obs);
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
        out.flush();
    });
}
