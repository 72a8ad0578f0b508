// The BAM list reader: matching lines to samples, the count line, incomplete lines, compression.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data_set.h"
#include "run_program.h"
#include "utils/streams.h"

namespace {

using names = std::vector<std::string>;

std::string writeList(const std::string& text, const std::string& name = "bam.list") {
    const std::string path = freshScratchDir() + "/" + name;
    ofile out(path);
    static_cast<std::ostream&>(out) << text;
    EXPECT_TRUE(out.close());
    return path;
}

// Reads the list for these samples and returns what the reader printed.
std::string read(data_set& data, const names& samples, const std::string& path) {
    data.sampleNames = samples;
    testing::internal::CaptureStdout();
    data.readBam(path.c_str());
    return testing::internal::GetCapturedStdout();
}

void readAndExit(const std::string& path) {
    data_set data(13, 10);
    data.sampleNames = {"S1"};
    data.readBam(path.c_str());
    std::exit(0);
}

}  // namespace

TEST(bam_list, linesGoToTheSampleOfExactlyThatName) {
    // S1 is a prefix of S10 and s1 differs in case; the duplicated name S2 takes every line to
    // its first column; a leading blank is passed over, as if the line were not indented.
    const std::string path = writeList("S10 /d/S10.bam chr20\n"
                                       "S1 /d/S1a.bam 20 extra fields\n"
                                       "s1 /d/lower.bam 20\n"
                                       "S2\t\t/d/S2.bam  20\n"
                                       " S1 /d/indented.bam 20\n"
                                       "S1 /d/S1b.bam chr20\r\n"
                                       "S1 /d/S1a.bam 20");
    data_set data(13, 10);
    const std::string out = read(data, {"S1", "S2", "S10", "S2", "S3"}, path);
    EXPECT_EQ(out, "\nReading list of BAM files in [" + path + "]\n  * 3 samples have BAM files\n");
    EXPECT_EQ(
        data.bamFiles,
        (std::vector<names>{
            {"/d/S1a.bam", "/d/indented.bam", "/d/S1b.bam", "/d/S1a.bam"}, {"/d/S2.bam"},
            {"/d/S10.bam"}, {}, {}}));
    EXPECT_EQ(data.sequenceNames,
              (std::vector<names>{{"20", "20", "chr20\r", "20"}, {"20"}, {"chr20"}, {}, {}}));
}

TEST(bam_list, replacesEarlierListsAndNeedsSamples) {
    data_set data(13, 10);
    data.bamFiles = {{"old.bam"}};
    data.sequenceNames = {{"1"}};
    const std::string path = writeList("S1 /d/S1.bam 20\n");
    EXPECT_EQ(read(data, {}, path), "\nReading list of BAM files in [" + path +
                                        "]\n"
                                        "  * 0 samples have BAM files\n");
    EXPECT_TRUE(data.bamFiles.empty());
    EXPECT_TRUE(data.sequenceNames.empty());
}

TEST(bam_list, incompleteLinesAddNothingAndAreReported) {
    const std::string path = writeList("S1 /d/S1.bam\n"
                                       "S2\n"
                                       "S3 only\n"
                                       "\n"
                                       "S2 /d/S2.bam 20\n");
    data_set data(13, 10);
    testing::internal::CaptureStderr();
    const std::string out = read(data, {"S1", "S2"}, path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: Skipped 2 lines with fewer than 3 fields in [" + path + "]\n");
    EXPECT_EQ(out.substr(out.find("  *")), "  * 1 samples have BAM files\n");
    EXPECT_EQ(data.bamFiles, (std::vector<names>{{}, {"/d/S2.bam"}}));
    EXPECT_EQ(data.sequenceNames, (std::vector<names>{{}, {"20"}}));
}

// A VCF may leave a sample without a name (a tab at the end of its #CHROM line): blank lines
// name no sample all the same, and the list that names none of the VCF's is still reported.
TEST(bam_list, blankLinesNameNoSampleNotEvenAnUnnamedOne) {
    const std::string path = writeList("\n \t\nX /d/X.bam 20\n");
    data_set data(13, 10);
    testing::internal::CaptureStderr();
    read(data, {"S1", ""}, path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: none of the 1 samples named in [" + path + "] is a sample of the VCF\n");
    EXPECT_EQ(data.bamFiles, (std::vector<names>{{}, {}}));
}

TEST(bam_list, compressedLists) {
    for (const std::string name : {"bam.list.gz", "bam.list.bz2"}) {
        data_set data(13, 10);
        read(data, {"S1", "S2"}, writeList("S2 /d/S2.bam 20\n", name));
        EXPECT_EQ(data.bamFiles, (std::vector<names>{{}, {"/d/S2.bam"}})) << name;
    }
}

TEST(bam_list, fatalUnopenableOrDamagedList) {
    const std::string missing = freshScratchDir() + "/missing.list";
    EXPECT_EXIT(readAndExit(missing), testing::ExitedWithCode(1),
                "^ERROR: Cannot open BAM list file \\[" + missing + "\\]\n$");

    std::string lines;
    for (int k = 0; k < 20000; ++k) lines += "S" + std::to_string(k) + " /d/x.bam 20\n";
    for (const std::string name : {"bam.list.gz", "bam.list.bz2"}) {
        const std::string whole = readFile(writeList(lines, name));
        const std::string cut = freshScratchDir() + "/cut." + name;
        writeFile(cut, whole.substr(0, whole.size() - 10));
        EXPECT_EXIT(readAndExit(cut), testing::ExitedWithCode(1),
                    "^ERROR: Cannot read BAM list file \\[" + cut + "\\]\n$")
            << name;
    }
}
