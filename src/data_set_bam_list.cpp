// Reads the BAM list: each sample's BAM files and the reference sequence to scan in each.
#include "data_set.h"

#include <algorithm>
#include <iostream>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chromosome_names.h"
#include "utils/fatal.h"
#include "utils/streams.h"
#include "utils/sutils.h"

namespace {

// The first sample of each name: a duplicated VCF name gets all the lines.
std::unordered_map<std::string_view, size_t> indexSamples(const std::vector<std::string>& names) {
    std::unordered_map<std::string_view, size_t> index;
    index.reserve(names.size());
    for (size_t s = 0; s < names.size(); ++s) index.emplace(names[s], s);
    return index;
}

}  // namespace

void data_set::readBam(const char* filename) {
    const std::string name(filename);
    bamFiles.assign(sampleNames.size(), {});
    sequenceNames.assign(sampleNames.size(), {});
    std::cout << "\nReading list of BAM files in [" << name << "]" << std::endl;
    ifile in;
    if (!in.open(name, false)) {
        if (in.content() != file_content::plain)
            fatal("ERROR: Cannot read BAM list file [" + name + "]: " + contentName(in.content()) +
                  " content");
        fatal("ERROR: Cannot open BAM list file [" + name + "]");
    }

    const auto samples = indexSamples(sampleNames);
    // A line that names a sample but lacks its path or sequence name would leave that sample
    // silently without a BAM file; such lines are skipped but counted and reported.
    long incompleteLines = 0;
    std::set<std::string> unknownSamples;  // kept while no line has named a sample of the VCF
    bool anyKnown = false;
    std::set<std::string> otherChromosomeFiles;
    std::string line;
    std::vector<std::string> fields;
    while (std::getline(in, line)) {
        // An indented line is read as if it were not: its first field is the sample name.
        line.erase(0, line.find_first_not_of(" \t"));
        sutils::tokenize(line, fields);
        // A blank line names no sample, not even one whose name the VCF left empty.
        const auto sample = fields[0].empty() ? samples.end() : samples.find(fields[0]);
        if (sample == samples.end()) {
            if (!anyKnown && !fields[0].empty()) unknownSamples.insert(fields[0]);
            continue;
        }
        anyKnown = true;
        if (fields.size() < 3) {
            ++incompleteLines;
            continue;
        }
        bamFiles[sample->second].push_back(fields[1]);
        sequenceNames[sample->second].push_back(fields[2]);
        if (!chromosome.empty() && !sameChromosome(chromosome, fields[2]) &&
            otherChromosomeFiles.insert(fields[1]).second)
            reportProblem("WARNING: [" + fields[1] + "] is scanned on [" + fields[2] +
                          "] for VCF chromosome [" + chromosome + "]");
    }
    if (in.failed()) fatal("ERROR: Cannot read BAM list file [" + name + "]");

    const auto withFiles =
        std::count_if(bamFiles.begin(), bamFiles.end(),
                      [](const std::vector<std::string>& v) { return !v.empty(); });
    std::cout << "  * " << withFiles << " samples have BAM files" << std::endl;
    if (incompleteLines > 0)
        reportProblem("WARNING: Skipped " + std::to_string(incompleteLines) +
                      " lines with fewer than 3 fields in [" + name + "]");
    if (!anyKnown && !unknownSamples.empty())
        reportProblem("WARNING: none of the " + std::to_string(unknownSamples.size()) +
                      " samples named in [" + name + "] is a sample of the VCF");
}
