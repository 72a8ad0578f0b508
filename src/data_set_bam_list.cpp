// Reads the BAM list: each sample's BAM files and the reference sequence to scan in each.
#include "data_set.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "utils/fatal.h"
#include "utils/streams.h"
#include "utils/sutils.h"

void data_set::readBam(const char* filename) {
    const std::string name(filename);
    bamFiles.assign(sampleNames.size(), {});
    sequenceNames.assign(sampleNames.size(), {});
    std::cout << "\nReading list of BAM files in [" << name << "]" << std::endl;
    ifile in;
    if (!in.open(name, false)) fatal("ERROR: Cannot open BAM list file [" + name + "]");

    // A line that names a sample but lacks its path or sequence name would leave that sample
    // silently without a BAM file; such lines are skipped but counted and reported.
    long incompleteLines = 0;
    std::string line;
    std::vector<std::string> fields;
    while (std::getline(in, line)) {
        sutils::tokenize(line, fields);
        if (fields.empty()) continue;
        // The first sample of that name: a duplicated VCF name gets all the lines.
        const auto sample = std::find(sampleNames.begin(), sampleNames.end(), fields[0]);
        if (sample == sampleNames.end()) continue;
        if (fields.size() < 3) {
            ++incompleteLines;
            continue;
        }
        const auto s = static_cast<size_t>(sample - sampleNames.begin());
        bamFiles[s].push_back(fields[1]);
        sequenceNames[s].push_back(fields[2]);
    }
    if (in.failed()) fatal("ERROR: Cannot read BAM list file [" + name + "]");

    const auto withFiles =
        std::count_if(bamFiles.begin(), bamFiles.end(),
                      [](const std::vector<std::string>& v) { return !v.empty(); });
    std::cout << "  * " << withFiles << " samples have BAM files" << std::endl;
    if (incompleteLines > 0)
        reportProblem("WARNING: Skipped " + std::to_string(incompleteLines) +
                      " lines with fewer than 3 fields in [" + name + "]");
}
