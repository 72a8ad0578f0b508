// The command line walk and the run sequence: read the VCF, read the BAM list, check that the
// output is none of the inputs, extract.
#include "bridgeScan.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hts_handles.h"
#include "utils/fatal.h"
#include "utils/safe_output.h"

namespace {

// strtol rules, no error detection, narrowed to 32 bits as the options are documented.
int parseNumber(const char* text) {
    return static_cast<int>(static_cast<uint32_t>(std::strtol(text, nullptr, 10)));
}

// Every file the run reads, so that the output can never be one of them: the VCF and an index
// beside it, the BAM list, and each listed alignment file with the index htslib would load.
std::vector<std::string> inputFiles(const command_line& options, const data_set& data) {
    std::vector<std::string> files = indexedInputs(options.vcf, {".tbi"});
    files.push_back(options.bam);
    for (const std::vector<std::string>& paths : data.bamFiles)
        for (const std::string& path : paths) {
            const std::vector<std::string> alignment = indexedInputs(path, {".bai", ".crai"});
            files.insert(files.end(), alignment.begin(), alignment.end());
        }
    return files;
}

}  // namespace

command_line parseCommandLine(int argc, char** argv) {
    command_line options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) break;  // an option given last has no value
        if (!std::strcmp(arg, "--vcf")) options.vcf = value;
        else if (!std::strcmp(arg, "--bam")) options.bam = value;
        else if (!std::strcmp(arg, "--out")) options.out = value;
        else if (!std::strcmp(arg, "--base-quality")) options.baseQuality = parseNumber(value);
        else if (!std::strcmp(arg, "--read-quality")) options.readQuality = parseNumber(value);
        else if (!std::strcmp(arg, "--from")) options.from = parseNumber(value);
        else if (!std::strcmp(arg, "--to")) options.to = parseNumber(value);
        // The walk moves on by one: a value is itself visited as an argument.
    }
    return options;
}

int bridgeScanMain(int argc, char** argv, scan_method method) {
    safe_output::prepareProcess();
    command_line options = parseCommandLine(argc, argv);
    if (!options.vcf) fatal("No VCF file specified with --vcf");
    if (!options.bam) fatal("No BAM list file specified with --bam");
    if (!options.out) fatal("No output file specified with --out");

    data_set data(options.baseQuality, options.readQuality);
    data.setScanMethod(method);
    data.readVcf(options.vcf, options.from, options.to);
    data.readBam(options.bam);
    safe_output::refuseInputAsOutput(options.out, inputFiles(options, data));
    data.runExtraction(options.out);
    // Every other sample was written; the files that failed were named as they failed.
    return data.unreadableFiles() > 0 ? 1 : 0;
}
