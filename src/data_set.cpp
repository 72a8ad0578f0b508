// The run over the samples and the PIR blocks of the output file.
#include "data_set.h"

#include <iostream>

#include "utils/fatal.h"
#include "utils/streams.h"

// The main thread reads records while the others inflate blocks ahead of it.
data_set::data_set(int baseQuality, int readQuality, const run_options& runOptions)
    : options(runOptions),
      pool(runOptions.threads > 1 ? hts_tpool_init(runOptions.threads - 1) : nullptr) {
    pileup.owner = this;
    pileup.minBaseQuality = baseQuality;
    pileup.minReadQuality = readQuality;
}

data_set::data_set(const run_options& runOptions)
    : data_set(runOptions.baseQuality, runOptions.readQuality, runOptions) {}

namespace {

void openOutput(ofile& file, const char* filename) {
    if (!file.open(filename, false))
        fatal(std::string("ERROR: Cannot create output file [") + filename + "]");
}

void closeOutput(ofile& file, const char* filename) {
    if (!file.close()) fatal(std::string("ERROR: Cannot write output file [") + filename + "]");
}

}  // namespace

void data_set::runExtraction(const char* filename) {
    ofile out, stats;
    openOutput(out, filename);
    if (options.stats) {
        openOutput(stats, options.stats);
        writeStatsHeader(stats);
    }
    sites.writeMAP(out);
    for (size_t s = 0; s < sampleNames.size(); ++s) {
        if (bamFiles[s].empty()) continue;
        pileup.reads.clear();
        bridgeScan(static_cast<int>(s));
        writePIRs(out, static_cast<int>(s));
        if (options.stats) writeStats(stats, static_cast<int>(s));
    }
    closeOutput(out, filename);
    if (options.stats) closeOutput(stats, options.stats);
}

namespace {

void appendPIR(std::string& line, const std::vector<observation>& obs) {
    line.clear();
    for (size_t k = 0; k < obs.size(); ++k) {
        if (k > 0) line += '\t';
        line += std::to_string(obs[k].idx);
        line += '\t';
        line += static_cast<char>(obs[k].base);
        line += '\t';
        line += std::to_string(obs[k].qual);
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
