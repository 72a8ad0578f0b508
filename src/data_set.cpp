// The run over the samples and the PIR blocks of the output file.
#include "data_set.h"

#include <iostream>

#include "utils/safe_output.h"

data_set::data_set(int baseQuality, int readQuality) {
    pileup.owner = this;
    pileup.minBaseQuality = baseQuality;
    pileup.minReadQuality = readQuality;
}

// A file under the output's name means every sample was written: a damaged alignment file
// ends the run with status 1 but still delivers the file, a fatal error or a signal does not.
void data_set::runExtraction(const char* filename) {
    safe_output out(filename);
    sites.writeMAP(out.stream());
    for (size_t s = 0; s < sampleNames.size(); ++s) {
        if (bamFiles[s].empty()) continue;
        pileup.reads.clear();
        bridgeScan(static_cast<int>(s));
        writePIRs(out.stream(), static_cast<int>(s));
    }
    out.finish();
}

namespace {

// At least two observations, at strictly increasing sites.
bool isPhaseInformative(const std::vector<observation>& obs) {
    if (obs.size() < 2) return false;
    for (size_t k = 1; k < obs.size(); ++k)
        if (obs[k].idx <= obs[k - 1].idx) return false;
    return true;
}

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
