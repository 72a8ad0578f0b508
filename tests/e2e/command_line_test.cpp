// The argument walk and the run sequence, through the built program.
#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridgeScan.h"
#include "run_program.h"

namespace {

// The parsed options point into the argument strings, so these are kept for the whole test run.
run_options parse(std::vector<std::string> args) {
    static std::list<std::vector<std::string>> kept;
    std::vector<std::string>& held = kept.emplace_back(std::move(args));
    held.insert(held.begin(), "bridgeScan");
    std::vector<char*> argv;
    for (std::string& a : held) argv.push_back(a.data());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, MissingFileOptionsAreReportedInOrder) {
    struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "No VCF file specified with --vcf\n"},
        {{"--bam", "l.txt", "--out", "o.txt"}, "No VCF file specified with --vcf\n"},
        {{"--vcf", "a.vcf", "--out", "o.txt"}, "No BAM list file specified with --bam\n"},
        {{"--vcf", "a.vcf", "--bam", "l.txt"}, "No output file specified with --out\n"},
        {{"--bam", "l.txt", "--out", "o.txt", "--vcf"}, "No VCF file specified with --vcf\n"},
        {{"--VCF", "a.vcf", "--vcf=a.vcf", "--bam", "l", "--out", "o"},
         "No VCF file specified with --vcf\n"},
        {{"--vcf", "a.vcf", "--bam", "l.txt", "--out", "o.txt", "--phase-part"},
         "ERROR: --phase-part writes the file --phase-sets names\n"},
        {{"--vcf", "a.vcf", "--gather-phase-sets", "parts.tsv"},
         "ERROR: --gather-phase-sets writes the file --phase-sets names\n"},
    };
    for (const auto& c : cases) {
        const program_result run = runProgram(c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.message);
        EXPECT_EQ(run.out, "");
    }
}

// Anywhere on the line, also without the required options; nothing else is done.
TEST(CommandLine, HelpListsEveryOptionWithItsDefault) {
    const program_result run = runProgram({"--vcf", "a.vcf", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("Usage: bridgeScan --vcf FILE --bam FILE --out FILE [options]\n", 0),
              0u);
    for (const char* option : {"--vcf FILE", "--bam FILE", "--out FILE", "--base-quality N",
                               "--read-quality N", "--from POS", "--to POS", "--chrom NAME",
                               "--reference FASTA", "--threads N", "--stats FILE", "--version"})
        EXPECT_NE(run.out.find(std::string("\n  ") + option), std::string::npos) << option;
    EXPECT_NE(run.out.find("(default 1000000000)"), std::string::npos);
    EXPECT_EQ(runProgram({"--version"}).out.rfind("bridgeScan ", 0), 0u);
}

TEST(CommandLine, ValuesAreVisitedAsArgumentsAndLastOccurrenceWins) {
    run_options options = parse({"--out", "--vcf", "a.vcf", "--bam", "l.txt"});
    EXPECT_STREQ(options.out, "--vcf");
    EXPECT_STREQ(options.vcf, "a.vcf");
    EXPECT_STREQ(options.bam, "l.txt");

    options = parse({"--vcf", "a.vcf", "--help", "stray", "--vcf", "b.vcf"});
    EXPECT_STREQ(options.vcf, "b.vcf");
}

// Only what no option takes is unknown: a value that looks like an option is a value, and an
// argument after a flag or after an unknown one is unknown itself.
TEST(CommandLine, ArgumentsThatAreNeitherOptionsNorValuesAreUnknown) {
    const run_options options = parse({"--out", "--vcf", "a.vcf", "--help", "stray", "--bam=l",
                                       "l.txt", "--from", "-5", "--to"});
    EXPECT_STREQ(options.vcf, "a.vcf");
    EXPECT_EQ(std::vector<std::string>(options.unknownArguments.begin(),
                                       options.unknownArguments.end()),
              (std::vector<std::string>{"stray", "--bam=l", "l.txt"}));
    EXPECT_TRUE(parse({"-h"}).help);
}

// Named once the run is sure to go on, with the nearest option when one alone is near.
TEST(CommandLine, UnknownArgumentsAreNamedWithTheOptionMeant) {
    const program_result run = runProgram({"--vcf", "none.vcf", "--bam", "none", "--out", "o",
                                           "--phase-s", "--theads", "--om", "-x"});
    EXPECT_EQ(run.err, "WARNING: unknown argument [--phase-s] is ignored: did you mean "
                       "--phase-sets?\n"
                       "WARNING: unknown argument [--theads] is ignored: did you mean --threads?\n"
                       "WARNING: unknown argument [--om] is ignored\n"
                       "WARNING: unknown argument [-x] is ignored\n"
                       "ERROR: Cannot open VCF file [none.vcf]\n");
    const program_result help = runProgram({"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, runProgram({"--help"}).out);
    EXPECT_NE(help.out.find("\n  -h, --help "), std::string::npos);
}

TEST(CommandLine, NumbersFollowStrtolAndAreCutTo32Bits) {
    run_options options = parse({"--base-quality", "abc", "--read-quality", " 12x", "--from",
                                  "-5", "--to", "1e6"});
    EXPECT_EQ(options.baseQuality, 0);
    EXPECT_EQ(options.readQuality, 12);
    EXPECT_EQ(options.from, -5);
    EXPECT_EQ(options.to, 1);
    EXPECT_EQ(parse({"--from", "4294967297"}).from, 1);
    EXPECT_EQ(parse({"--from", "2147483648"}).from, -2147483647 - 1);
}

// The value stays as strtol and the cut give it; the option's last text is named once, with it.
TEST(CommandLine, NumberThatIsNoWhole32BitNumberIsNamedWithTheValueUsed) {
    testing::internal::CaptureStderr();
    const run_options options = parse({"--to", "12x", "--base-quality", "abc", "--to", "1e6",
                                       "--from", "-5", "--read-quality", " 20"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: --base-quality abc is read as 0\nWARNING: --to 1e6 is read as 1\n");
    EXPECT_EQ(options.to, 1);
    const program_result run = runProgram({"--vcf", "none.vcf", "--bam", "none", "--out", "o",
                                           "--to", "3000000000"});
    EXPECT_EQ(run.err, "WARNING: --to 3000000000 is read as -1294967296\n"
                       "ERROR: Cannot open VCF file [none.vcf]\n");
    EXPECT_EQ(run.out.find("WARNING"), std::string::npos);
}

TEST(CommandLine, NumericOptionGivenLastKeepsItsDefault) {
    const run_options options = parse({"--base-quality", "20", "--read-quality"});
    EXPECT_EQ(options.baseQuality, 20);
    EXPECT_EQ(options.readQuality, 10);
    EXPECT_EQ(parse({"--to"}).to, 1000000000);
}

// Before any work: the VCF named does not exist, and nothing is written.
TEST(CommandLine, PhaseMinLodTakesAFiniteDecimalNumberOnly) {
    const std::string dir = freshScratchDir();
    for (const char* value : {"inf", "-inf", "nan", "abc", "", "2x", "1e400", "0x10", " 1"}) {
        const program_result run =
            runProgram({"--vcf", "none.vcf", "--bam", "none", "--out", "o.txt", "--phase-sets",
                        "p.vcf.gz", "--phase-min-lod", value},
                       dir);
        EXPECT_EQ(run.status, 1) << value;
        EXPECT_EQ(run.err, std::string("ERROR: --phase-min-lod takes a finite decimal number, "
                                       "not [") + value + "]\n");
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    EXPECT_EQ(parse({"--phase-min-lod", "1e300"}).phaseMinLod, 1e300);
    EXPECT_EQ(parse({"--phase-min-lod", "-0.5"}).phaseMinLod, -0.5);
    EXPECT_EQ(parse({}).phaseMinLod, 1.5);
}

}  // namespace
