// Whole runs of the program: compressed output, alignment files that fail, CRAM input, and the
// fatal paths with their messages and exit statuses.
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "run_program.h"
#include "sam_fixture.h"
#include "utils/streams.h"

namespace fs = std::filesystem;

namespace {

const char* const header = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:20\tLN:1000\n";

// Two sites, at 100 and 180, both heterozygous in S.
const char* const two_sites =
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS\n"
    "20\t100\t.\tA\tG\t.\t.\t.\tGT\t0|1\n"
    "20\t180\t.\tC\tT\t.\t.\t.\tGT\t0|1\n";

// A 100-base read at 91 showing `base` at 100 and T at 180, both of quality 30.
std::string readAcrossBothSites(const std::string& name, char base) {
    std::string seq(100, 'C'), qual(100, 'I');
    seq[9] = base;
    seq[89] = 'T';
    qual[9] = qual[89] = '?';
    return name + "\t0\t20\t91\t60\t100M\t*\t0\t0\t" + seq + "\t" + qual + "\n";
}

const char* const expected_pir = "MAP 2\n100\tA\tG\n180\tC\tT\nS 1\n0\tA\t30\t1\tT\t30\n";

std::string decompressed(const std::string& path) {
    ifile in(path);
    std::string text, line;
    while (std::getline(in, line)) text += line + "\n";
    return text;
}

// A folder with sites.vcf, reads.bam and a BAM list naming `listed` for sample S.
std::string prepare(const std::string& reads, const std::string& listed = "reads.bam\t20") {
    const std::string dir = freshScratchDir();
    writeFile(dir + "/sites.vcf", two_sites);
    sam_fixture::writeBam(dir, "reads", header + reads);
    writeFile(dir + "/bam.list", "S\t" + listed + "\n");
    return dir;
}

std::vector<std::string> argsWithOut(const std::string& out) {
    return {"--vcf", "sites.vcf", "--bam", "bam.list", "--out", out};
}

TEST(Run, OutputIsCompressedByItsExtension) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    for (const std::string out : {"out.txt", "out.txt.gz", "out.txt.bz2"}) {
        const program_result run = runProgram(argsWithOut(out), dir);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(decompressed(dir + "/" + out), expected_pir) << out;
    }
    EXPECT_EQ(readFile(dir + "/out.txt.gz").substr(0, 2), "\x1f\x8b");
    EXPECT_EQ(readFile(dir + "/out.txt.bz2").substr(0, 3), "BZh");
}

TEST(Run, CramIsReadLikeBam) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    std::string reference = ">20\n";
    for (int i = 0; i < 1000; ++i) reference += "ACGT"[i % 4];
    writeFile(dir + "/ref.fa", reference + "\n");
    sam_fixture::writeCram(dir, "reads", header + readAcrossBothSites("r1", 'A'), dir + "/ref.fa");
    writeFile(dir + "/bam.list", "S\treads.cram\t20\n");
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir + "/out.txt"), expected_pir);
}

// A CRAM from elsewhere: the reference its header names is not there, and htslib must not look
// for it anywhere else (no network in tests).
TEST(Run, CramReferenceIsGivenWithTheOption) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    std::string reference = ">20\n";
    for (int i = 0; i < 1000; ++i) reference += "ACGT"[i % 4];
    fs::create_directories(dir + "/gone");
    writeFile(dir + "/gone/ref.fa", reference + "\n");
    sam_fixture::writeCram(dir, "reads", header + readAcrossBothSites("r1", 'A'), dir + "/gone/ref.fa");
    fs::create_directories(dir + "/here");
    fs::rename(dir + "/gone/ref.fa", dir + "/here/ref.fa");
    fs::rename(dir + "/gone/ref.fa.fai", dir + "/here/ref.fa.fai");
    writeFile(dir + "/here/unindexed.fa", reference + "\n");
    writeFile(dir + "/bam.list", "S\treads.cram\t20\n");
    setenv("REF_PATH", (dir + "/nowhere/%s").c_str(), 1);
    setenv("REF_CACHE", (dir + "/nowhere/%s").c_str(), 1);

    program_result run = runProgram(argsWithOut("out.txt"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: Cannot read BAM file [reads.cram]\n"
                           "  * give its reference with --reference FASTA\n"),
              std::string::npos)
        << run.err;

    std::vector<std::string> args = argsWithOut("out.txt");
    args.insert(args.end(), {"--reference", "here/ref.fa"});
    run = runProgram(args, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir + "/out.txt"), expected_pir);

    args.back() = "here/unindexed.fa";
    run = runProgram(args, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: No index [here/unindexed.fa.fai] for reference [here/unindexed.fa]: "
                       "make one with samtools faidx\n");
    EXPECT_FALSE(fs::exists(dir + "/here/unindexed.fa.fai"));
    unsetenv("REF_PATH");
    unsetenv("REF_CACHE");
}

TEST(Run, FileWithoutIndexIsReportedAndSkipped) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    fs::remove(dir + "/reads.bam.bai");
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("Fail to open BAM index file associated to [reads.bam]\n"),
              std::string::npos);
    EXPECT_EQ(readFile(dir + "/out.txt"), "MAP 2\n100\tA\tG\n180\tC\tT\nS 0\n");
}

TEST(Run, UndecodableBaseAtASiteEndsTheRun) {
    const std::string dir = prepare(readAcrossBothSites("r1", '='));
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "extractNucleotide 0 unknown\n  * read [r1] in [reads.bam] at position 100\n");
    EXPECT_EQ(readFile(dir + "/out.txt"), "MAP 2\n100\tA\tG\n180\tC\tT\n");  // lines so far stay
}

TEST(Run, OutputThatCannotBeCreatedStopsBeforeAnyScan) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    const program_result run = runProgram(argsWithOut("no/such/folder/out.txt"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot create output file [no/such/folder/out.txt]\n");
    EXPECT_EQ(run.out.find("Opening BAM file"), std::string::npos);
}

TEST(Run, WriteErrorIsReportedAtTheEnd) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    for (const std::string out : {"/dev/full"}) {
        const program_result run = runProgram(argsWithOut(out), dir);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "ERROR: Cannot write output file [" + out + "]\n");
    }
    fs::create_symlink("/dev/full", dir + "/full.gz");
    const program_result run = runProgram(argsWithOut("full.gz"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot write output file [full.gz]\n");
}

TEST(Run, DamagedAlignmentFileIsReportedAndTheRunEndsWithStatusOne) {
    // Enough reads for several compressed blocks, so that cutting the file leaves its start.
    std::mt19937 random(5);
    std::string reads;
    for (int i = 0; i < 4000; ++i) {
        std::string seq, qual;
        for (int k = 0; k < 100; ++k) {
            seq += "ACGT"[random() % 4];
            qual += static_cast<char>('#' + random() % 40);
        }
        reads += "r" + std::to_string(i) + "\t0\t20\t" + std::to_string(91 + i / 500) +
                 "\t60\t100M\t*\t0\t0\t" + seq + "\t" + qual + "\n";
    }
    const std::string dir = prepare(reads);
    const std::string bam = readFile(dir + "/reads.bam");
    ASSERT_GT(bam.size(), 200000u);
    writeFile(dir + "/reads.bam", bam.substr(0, bam.size() / 2));
    sam_fixture::writeBam(dir, "good", header + readAcrossBothSites("r1", 'A'));
    writeFile(dir + "/bam.list", "S\treads.bam\t20\nS\tgood.bam\t20\n");

    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: Cannot read BAM file [reads.bam]\n"), std::string::npos);
    EXPECT_NE(run.out.find("Opening BAM file [good.bam]"), std::string::npos);  // goes on
    const std::string out = readFile(dir + "/out.txt");
    EXPECT_EQ(out.substr(0, out.find("S ")), "MAP 2\n100\tA\tG\n180\tC\tT\n");
}

TEST(Run, EachSampleBlockHoldsOnlyItsOwnReads) {
    const std::string dir = freshScratchDir();
    writeFile(dir + "/sites.vcf",
              "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS\tT\tU\n"
              "20\t100\t.\tA\tG\t.\t.\t.\tGT\t0|1\t0|1\t0|1\n"
              "20\t180\t.\tC\tT\t.\t.\t.\tGT\t0|1\t0|1\t0|1\n");
    sam_fixture::writeBam(dir, "s", header + readAcrossBothSites("same", 'A'));
    sam_fixture::writeBam(dir, "u", header + readAcrossBothSites("same", 'G'));
    writeFile(dir + "/bam.list", "S\ts.bam\t20\nU\tu.bam\t20\n");
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir + "/out.txt"), "MAP 2\n100\tA\tG\n180\tC\tT\nS 1\n0\tA\t30\t1\tT\t30\n"
                                          "U 1\n0\tG\t30\t1\tT\t30\n");
}

TEST(Run, VcfWithoutSamplesWritesTheMapAlone) {
    const std::string dir = freshScratchDir();
    writeFile(dir + "/sites.vcf", "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\n"
                                  "20\t100\t.\tA\tC,G\t.\t.\t.\tGT\n");
    writeFile(dir + "/bam.list", "S\ts.bam\t20\n");
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir + "/out.txt"), "MAP 1\n100\tA\tC,G\n");
    EXPECT_EQ(run.out.find("Writing PIRs"), std::string::npos);
}

}  // namespace
