// The command line walk and the run sequence: read the VCF, read the BAM list, check that the
// outputs are none of the inputs, extract.
#include "bridgeScan.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <htslib/hts.h>

#include "data_set.h"
#include "hts_handles.h"
#include "phase_sets_gather.h"
#include "utils/fatal.h"
#include "utils/output_targets.h"
#include "utils/safe_output.h"
#include "vcf_output.h"
#include "vcf_split.h"

namespace {

// Set by parseNumber when the text it read was no whole number of 32 bits, so that the walk,
// which knows the option, can name it.
bool numberWasCut = false;

// strtol rules, no error detection, narrowed to 32 bits as the options are documented.
int parseNumber(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    numberWasCut = end == text || *end != '\0' || errno == ERANGE || value < INT32_MIN ||
                   value > INT32_MAX;
    return static_cast<int>(static_cast<uint32_t>(value));
}

// A whole number from 1 up, or 0 for anything else.
int parseCount(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 1 && value <= 1024 ? static_cast<int>(value)
                                                                       : 0;
}

// A finite decimal number (digits, a point, an exponent); anything else ends the run before any
// work, naming the option and the value.
double parseDecimal(const char* option, const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    const bool decimal = std::strspn(text, "+-.0123456789eE") == std::strlen(text);
    if (!decimal || end == text || *end != '\0' || !std::isfinite(value))
        fatal(std::string("ERROR: ") + option + " takes a finite decimal number, not [" + text +
              "]");
    return value;
}

// One option of the command line. An option with a value placeholder takes the argument after
// it; one without (a flag) takes none.
struct command_option {
    const char* name;
    const char* value;
    const char* help;
    void (*set)(run_options& options, const char* value);
};

// The walk compares each argument with these names, in this order.
const command_option options_table[] = {
    {"--vcf", "FILE", "VCF or BCF of genotypes (required)",
     [](run_options& o, const char* v) { o.vcf = v; }},
    {"--bam", "FILE", "the BAM list: sample, alignment file, sequence name (required)",
     [](run_options& o, const char* v) { o.bam = v; }},
    {"--out", "FILE", "the output file, compressed when it ends in .gz or .bz2; - is standard "
     "output (required)",
     [](run_options& o, const char* v) { o.out = v; }},
    {"--base-quality", "N", "lowest base quality an observation may have (default 13)",
     [](run_options& o, const char* v) { o.baseQuality = parseNumber(v); }},
    {"--read-quality", "N", "lowest mapping quality a read may have (default 10)",
     [](run_options& o, const char* v) { o.readQuality = parseNumber(v); }},
    {"--from", "POS", "VCF positions below POS are skipped (default 0)",
     [](run_options& o, const char* v) { o.from = parseNumber(v); }},
    {"--to", "POS", "VCF positions at or above POS are skipped (default 1000000000)",
     [](run_options& o, const char* v) { o.to = parseNumber(v); }},
    {"--chrom", "NAME", "read only the VCF lines of this CHROM (default: the VCF holds one)",
     [](run_options& o, const char* v) { o.chrom = v; }},
    {"--reference", "FASTA", "reference sequences of CRAM files, with its .fai (default: none)",
     [](run_options& o, const char* v) { o.reference = v; }},
    {"--threads", "N", "threads in all; N-1 of them decompress (default 1)",
     [](run_options& o, const char* v) { o.threads = parseCount(v); }},
    {"--stats", "FILE", "per-sample statistics, tab-separated; - is standard output (default: "
     "none)",
     [](run_options& o, const char* v) { o.stats = v; }},
    {"--phase-sets", "FILE",
     "also the VCF of the reads' phase sets (0|1, FORMAT/PS), by its ending: .vcf.gz or "
     ".vcf.bgz bgzipped and .bcf, each with its index, or .vcf plain (default: none)",
     [](run_options& o, const char* v) { o.phaseSets = v; }},
    {"--phase-min-lod", "L",
     "least log10 likelihood ratio that places a site, or joins two parts, in a phase set "
     "(default 1.5)",
     [](run_options& o, const char* v) { o.phaseMinLod = parseDecimal("--phase-min-lod", v); }},
    {"--phase-base-quality", "N",
     "lowest base quality the phase sets use; bases below --base-quality stay out of the PIRs "
     "(default 7)",
     [](run_options& o, const char* v) { o.phaseBaseQuality = parseNumber(v); }},
    {"--blocks-only", nullptr,
     "write the samples' blocks without the map section, as a part of a larger output "
     "(default: off)",
     [](run_options& o, const char*) { o.blocksOnly = true; }},
    {"--phase-part", nullptr,
     "write to --phase-sets, gzipped, only what --gather-phase-sets needs of them, as a group's "
     "part of a cohort's; with --blocks-only, only the lines a sample is phased at (default: off)",
     [](run_options& o, const char*) { o.phasePart = true; }},
    {"--split-groups", "FILE",
     "no scan: cut the VCF into one bgzipped VCF per line of FILE (the output's name, then its "
     "samples, tab-separated)",
     [](run_options& o, const char* v) { o.splitGroups = v; }},
    {"--gather-phase-sets", "FILE",
     "no scan: gather into --phase-sets the groups' phase sets parts, one per line of FILE (the "
     "part, then its group's samples, tab-separated), with the lines of --vcf",
     [](run_options& o, const char* v) { o.gatherPhaseSets = v; }},
    {"--help", nullptr, "print this text and exit",
     [](run_options& o, const char*) { o.help = true; }},
    {"--version", nullptr, "print the version and exit",
     [](run_options& o, const char*) { o.version = true; }},
};

// The one short name, as every command-line user types it for help.
constexpr const char* short_help = "-h";
constexpr const char* long_help = "--help";

const command_option* findOption(const char* arg) {
    if (!std::strcmp(arg, short_help)) arg = long_help;
    for (const command_option& option : options_table)
        if (!std::strcmp(arg, option.name)) return &option;
    return nullptr;
}

// The argument follows an option that takes a value, so it is that value (it may be an option
// too, which the walk visits as such).
bool isOptionValue(char** argv, int i) {
    const command_option* before = i > 1 ? findOption(argv[i - 1]) : nullptr;
    return before && before->value;
}

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j)
            diagonal = std::exchange(
                row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])}));
    }
    return row[b.size()];
}

// The option an unknown argument was most likely meant to be: the nearest one by edit
// distance among those within two edits or that it begins (`--phase-s`) or that begin it
// (`--vcf=a.vcf`); none when two are as near, or for a word that is no option's kind.
const char* closestOption(const std::string& arg) {
    if (arg.size() < 2 || arg[0] != '-') return nullptr;
    const char* best = nullptr;
    size_t bestDistance = SIZE_MAX;
    bool tie = false;
    for (const command_option& option : options_table) {
        const std::string name = option.name;
        const size_t distance = editDistance(arg, name);
        const bool prefix = arg.size() > 3 && (name.rfind(arg, 0) == 0 || arg.rfind(name, 0) == 0);
        if (distance > 2 && !prefix) continue;
        if (distance == bestDistance) tie = true;
        if (distance >= bestDistance) continue;
        best = option.name;
        bestDistance = distance;
        tie = false;
    }
    return tie ? nullptr : best;
}

void warnUnknownArguments(const std::vector<const char*>& arguments) {
    for (const char* arg : arguments) {
        const char* meant = closestOption(arg);
        reportProblem(std::string("WARNING: unknown argument [") + arg + "] is ignored" +
                      (meant ? std::string(": did you mean ") + meant + "?" : ""));
    }
}

void printUsage() {
    std::cout << "Usage: bridgeScan --vcf FILE --bam FILE --out FILE [options]\n\n";
    for (const command_option& option : options_table) {
        std::string left = option.name;
        if (!std::strcmp(option.name, long_help)) left = std::string(short_help) + ", " + left;
        if (option.value) left += std::string(" ") + option.value;
        left.resize(std::max<size_t>(left.size() + 1, 22), ' ');
        std::cout << "  " << left << option.help << '\n';
    }
    std::cout << std::flush;
}

// htslib would write a missing .fai beside the user's FASTA: the run writes nothing there.
void checkReference(const char* fasta) {
    if (!fasta) return;
    const std::string name(fasta), index = name + ".fai";
    if (access(fasta, R_OK) != 0) fatal("ERROR: Cannot open reference [" + name + "]");
    if (access(index.c_str(), R_OK) != 0)
        fatal("ERROR: No index [" + index + "] for reference [" + name +
              "]: make one with samtools faidx");
}

// Every file the run reads, so that no output can be one of them: the VCF and an index beside
// it, the BAM list, each listed alignment file with the index htslib would load, and the
// reference with its index.
std::vector<std::string> inputFiles(const run_options& options, const data_set& data) {
    std::vector<std::string> files = indexedInputs(options.vcf, {".tbi"});
    files.push_back(options.bam);
    if (options.reference)
        files.insert(files.end(), {options.reference, std::string(options.reference) + ".fai"});
    for (const std::vector<std::string>& paths : data.bamFiles)
        for (const std::string& path : paths) {
            const std::vector<std::string> alignment = indexedInputs(path, {".bai", ".crai"});
            files.insert(files.end(), alignment.begin(), alignment.end());
        }
    return files;
}

// The files the run writes, each with the title the checks give it. The phase sets file's
// index takes one of two names, by the records it holds, and the other name is cleared.
std::vector<titled_output> outputFiles(const run_options& options) {
    std::vector<titled_output> outputs = {{options.out, "Output file"}};
    if (options.stats) outputs.push_back({options.stats, "Statistics file"});
    if (options.phaseSets) {
        outputs.push_back({options.phaseSets, "Phase sets file"});
        if (options.phasePart) return outputs;
        for (const std::string& index : vcf_output::indexNames(options.phaseSets))
            outputs.push_back({index, "Phase sets index"});
    }
    return outputs;
}

// An output on standard output (`-` included) takes it whole: the progress lines go to standard
// error.
void keepStandardOutputForTheOutput(const std::vector<titled_output>& outputs) {
    for (const titled_output& output : outputs)
        if (isStandardOutput(output.path)) std::cout.rdbuf(std::cerr.rdbuf());
}

// To write the phase sets the VCF is read a second time: it must be a file, not a pipe. A VCF
// that cannot be found is left to the reader, which says so.
void checkVcfReadTwice(const run_options& options) {
    struct stat info;
    if (options.phaseSets && stat(options.vcf, &info) == 0 && !S_ISREG(info.st_mode))
        fatal(std::string("ERROR: --phase-sets reads the VCF twice: [") + options.vcf +
              "] is not a regular file");
}

// The files that failed were named as they failed; the run ends with their account. A run that
// could scan none of its files has read nothing, and its status says so; one that lost reads to a file
// it could not read to the end has status 1. The outputs are written in either case.
int closingStatus(const data_set& data) {
    size_t listed = 0;
    for (const std::vector<std::string>& paths : data.bamFiles) listed += paths.size();
    data.unreadFiles().report(listed);
    if (data.unreadFiles().noneRead(listed)) fatal("ERROR: no alignment file could be read");
    return data.unreadFiles().unreadable() > 0 ? 1 : 0;
}

}  // namespace

std::string versionText() {
    return std::string("bridgeScan ") + BRIDGESCAN_VERSION + " (htslib " + hts_version() + ")";
}

// A number option keeps the value strtol gives its text, cut to 32 bits; when that text was no
// whole number of 32 bits, the value used is named once, for the option's last occurrence, in the
// order of the option table.
run_options parseCommandLine(int argc, char** argv) {
    run_options options;
    const char* cutText[std::size(options_table)] = {};  // by option: its last text, when cut
    for (int i = 1; i < argc; ++i) {
        const command_option* option = findOption(argv[i]);
        if (!option) {
            if (!isOptionValue(argv, i)) options.unknownArguments.push_back(argv[i]);
            continue;
        }
        numberWasCut = false;
        if (!option->value) option->set(options, nullptr);
        else if (i + 1 < argc) option->set(options, argv[i + 1]);
        cutText[option - options_table] = numberWasCut ? argv[i + 1] : nullptr;
        // The walk moves on by one: a value is itself visited as an argument.
    }
    for (size_t k = 0; k < std::size(options_table); ++k)
        if (cutText[k])
            reportProblem(std::string("WARNING: ") + options_table[k].name + " " + cutText[k] +
                          " is read as " + std::to_string(parseNumber(cutText[k])));
    return options;
}

int bridgeScanMain(int argc, char** argv, scan_method method) {
    safe_output::prepareProcess();
    endUncaughtExceptionsAsFatal();
    run_options options = parseCommandLine(argc, argv);
    options.scan = method;
    for (int i = 0; i < argc; ++i) options.commandLine += (i ? " " : "") + std::string(argv[i]);
    if (options.help) printUsage();
    if (options.version) std::cout << versionText() << std::endl;
    if (options.help || options.version) return 0;
    if (!options.vcf) fatal("No VCF file specified with --vcf");
    if (options.splitGroups) return splitVcfByGroups(options), 0;
    if (options.gatherPhaseSets) return gatherPhaseSets(options, versionText()), 0;
    if (!options.bam) fatal("No BAM list file specified with --bam");
    if (!options.out) fatal("No output file specified with --out");
    if (options.threads < 1) fatal("ERROR: --threads takes a whole number from 1 to 1024");
    if (options.phasePart && !options.phaseSets)
        fatal("ERROR: --phase-part writes the file --phase-sets names");
    if (options.phaseSets) vcf_output::checkTarget(options.phaseSets);
    // Once the run is sure to go on: a run that cannot start says only why.
    warnUnknownArguments(options.unknownArguments);

    const std::vector<titled_output> outputs = outputFiles(options);
    keepStandardOutputForTheOutput(outputs);
    checkReference(options.reference);
    checkVcfReadTwice(options);

    data_set data(options);
    data.readVcf(options.vcf, options.from, options.to);
    data.readBam(options.bam);
    refuseSharedFiles(outputs, inputFiles(options, data));
    data.runExtraction(options.out);
    return closingStatus(data);
}
