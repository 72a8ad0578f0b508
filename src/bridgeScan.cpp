// The command line walk and the run sequence: read the VCF, read the BAM list, extract.
#include "bridgeScan.h"

#include <cstdlib>
#include <cstring>

#include "utils/fatal.h"

namespace {

// strtol rules, no error detection, narrowed to 32 bits as the options are documented.
int parseNumber(const char* text) {
    return static_cast<int>(static_cast<uint32_t>(std::strtol(text, nullptr, 10)));
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
    command_line options = parseCommandLine(argc, argv);
    if (!options.vcf) fatal("No VCF file specified with --vcf");
    if (!options.bam) fatal("No BAM list file specified with --bam");
    if (!options.out) fatal("No output file specified with --out");

    data_set data(options.baseQuality, options.readQuality);
    data.setScanMethod(method);
    data.readVcf(options.vcf, options.from, options.to);
    data.readBam(options.bam);
    data.runExtraction(options.out);
    // Every other sample was written; the files that failed were named as they failed.
    return data.unreadableFiles() > 0 ? 1 : 0;
}
