// The group split (--split-groups): each group's file holds the lines a scan of its samples would
// see, whatever the separators, and the bytes htslib's own writer would write at level 1.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hts_handles.h"
#include "run_program.h"

namespace {

const std::string header_line = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";

std::string fixedFields(int pos) {
    return "1\t" + std::to_string(pos) + "\t.\tA\tG\t.\t.\t.\tGT";
}

std::string bgzfText(const std::string& path) {
    bgzf_ptr in(bgzf_open(path.c_str(), "r"));
    EXPECT_TRUE(in) << path;
    if (!in) return "";
    EXPECT_EQ(bgzf_check_EOF(in.get()), 1) << path << " lacks its end-of-file block";
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = bgzf_read(in.get(), buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

// The bytes htslib writes for `text` at level 1, in one file of its own.
std::string htslibBytes(const std::string& dir, const std::string& text) {
    const std::string path = dir + "/htslib.gz";
    bgzf_ptr out(bgzf_open(path.c_str(), "w1"));
    EXPECT_EQ(bgzf_write(out.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_EQ(bgzf_close(out.release()), 0);
    return readFile(path);
}

program_result split(const std::string& dir, const std::string& groups, int threads) {
    writeFile(dir + "/groups.tsv", groups);
    return runProgram({"--split-groups", dir + "/groups.tsv", "--threads",
                       std::to_string(threads), "--vcf", dir + "/cohort.vcf"});
}

TEST(VcfSplit, GroupsTakeTheirColumnsWhateverTheSeparators) {
    const std::string dir = freshScratchDir();
    writeFile(dir + "/cohort.vcf",
              "##fileformat=VCFv4.2\n" + header_line + "\tA\tB\tC\tD\n" +
                  fixedFields(10) + "\t0|1\t1|1\t0/0\t./.\n" +
                  fixedFields(20) + "\t0|1  1|1\t\t0/0 \t./.\n" +  // blanks cut as the scan cuts
                  fixedFields(30) + "\t0|1\t1|1\n" +               // lacks C and D
                  "1\t40\t.\tA\n");                                // too short: as it stands
    const program_result run = split(dir, dir + "/ab.gz\tA\tB\n" + dir + "/db.gz\tD\tB\n" +
                                              dir + "/c.gz\tC\n", 2);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string shortLine = "1\t40\t.\tA\n";
    EXPECT_EQ(bgzfText(dir + "/ab.gz"),
              "##fileformat=VCFv4.2\n" + header_line + "\tA\tB\n" + fixedFields(10) +
                  "\t0|1\t1|1\n" + fixedFields(20) + "\t0|1\t1|1\n" + fixedFields(30) +
                  "\t0|1\t1|1\n" + shortLine);
    EXPECT_EQ(bgzfText(dir + "/db.gz"),
              "##fileformat=VCFv4.2\n" + header_line + "\tD\tB\n" + fixedFields(10) +
                  "\t./.\t1|1\n" + fixedFields(20) + "\t./.\t1|1\n" + fixedFields(30) +
                  "\t1|1\n" + shortLine);
    EXPECT_EQ(bgzfText(dir + "/c.gz"),
              "##fileformat=VCFv4.2\n" + header_line + "\tC\n" + fixedFields(10) + "\t0/0\n" +
                  fixedFields(20) + "\t0/0\n" + fixedFields(30) + "\n" + shortLine);
}

// Thousands of lines, so that each file takes many blocks and the pool many batches: every
// number of threads writes what htslib's writer would.
TEST(VcfSplit, ManyBlocksAsHtslibWritesThem) {
    const std::string dir = freshScratchDir();
    constexpr int samples = 30;
    std::string vcf = header_line, first = header_line, reversed = header_line;
    for (int s = 0; s < samples; ++s) vcf += "\tS" + std::to_string(s);
    for (int s = 0; s < 10; ++s) first += "\tS" + std::to_string(s);
    for (int s = samples; s-- > 10;) reversed += "\tS" + std::to_string(s);
    vcf += '\n', first += '\n', reversed += '\n';
    const char* calls[] = {"0|0", "0|1", "1|0", "1|1", "0/1"};
    for (int line = 0; line < 20000; ++line) {
        std::vector<std::string> row;
        for (int s = 0; s < samples; ++s) row.push_back(calls[(line * 7 + s * s) % 5]);
        const std::string fixed = fixedFields(100 + line);
        vcf += fixed, first += fixed, reversed += fixed;
        for (int s = 0; s < samples; ++s) vcf += '\t' + row[s];
        for (int s = 0; s < 10; ++s) first += '\t' + row[s];
        for (int s = samples; s-- > 10;) reversed += '\t' + row[s];
        vcf += '\n', first += '\n', reversed += '\n';
    }
    writeFile(dir + "/cohort.vcf", vcf);
    std::string groups = dir + "/first.gz", backwards = dir + "/reversed.gz";
    for (int s = 0; s < 10; ++s) groups += "\tS" + std::to_string(s);
    for (int s = samples; s-- > 10;) backwards += "\tS" + std::to_string(s);
    const std::string expectedFirst = htslibBytes(dir, first);
    const std::string expectedReversed = htslibBytes(dir, reversed);
    for (int threads : {1, 3}) {
        const program_result run = split(dir, groups + '\n' + backwards + '\n', threads);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(readFile(dir + "/first.gz"), expectedFirst) << threads << " threads";
        EXPECT_EQ(readFile(dir + "/reversed.gz"), expectedReversed) << threads << " threads";
    }
}

TEST(VcfSplit, AFileThatCannotBeCreatedStopsTheSplit) {
    const std::string dir = freshScratchDir();
    writeFile(dir + "/cohort.vcf", header_line + "\tA\n");
    const program_result run = split(dir, dir + "/missing/a.gz\tA\n", 2);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot create [" + dir +
                           "/missing/a.gz]: No such file or directory\n");
}

}  // namespace
