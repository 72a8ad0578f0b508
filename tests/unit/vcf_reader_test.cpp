// The VCF reader: window, fatal errors, the GT key, the het test, line splitting, compression.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data_set.h"
#include "run_program.h"
#include "utils/streams.h"
#include "utils/sutils.h"

namespace {

// Blanks separate fields as well as tabs, which keeps the fixtures readable.
const std::string header = "##fileformat=VCFv4.2\n#CHROM POS ID REF ALT QUAL FILTER INFO FORMAT";

std::string scratchFile(const std::string& name) { return freshScratchDir() + "/" + name; }

// Writes the text through our own (compressing) output stream, so the name picks the format.
std::string writeVcf(const std::string& text, const std::string& name = "calls.vcf") {
    const std::string path = scratchFile(name);
    ofile out(path);
    static_cast<std::ostream&>(out) << text;
    EXPECT_TRUE(out.close());
    return path;
}

// Reads the file and returns what the reader printed.
std::string read(data_set& data, const std::string& path, int from = 0, int to = 1000000000) {
    testing::internal::CaptureStdout();
    data.readVcf(path.c_str(), from, to);
    return testing::internal::GetCapturedStdout();
}

// The flags of one site as a text of 0s and 1s, one per sample.
std::string flags(const data_set& data, size_t site) {
    std::string text;
    for (size_t k = 0; k < data.hetFlags.rowSize(site); ++k)
        text += data.hetFlags.get(site, k) ? '1' : '0';
    return text;
}

std::vector<int32_t> positions(const data_set& data) {
    std::vector<int32_t> result;
    for (int i = 0; i < data.sites.size(); ++i) result.push_back(data.sites[i].pos);
    return result;
}

void readAndExit(const std::string& path, int from = 0, int to = 1000000000) {
    data_set data(13, 10);
    data.readVcf(path.c_str(), from, to);
    std::exit(0);
}

}  // namespace

TEST(vcf_reader, windowIncludesFromAndExcludesTo) {
    const std::string path = writeVcf(header + " S1\n"
                                               "20 99 . A G . . . GT 0|1\n"
                                               "20 100 . A G . . . GT 0|1\n"
                                               "20 199 . A G . . . GT 1|1\n"
                                               "20 200 . A G . . . GT 0|1\n");
    data_set data(13, 10);
    read(data, path, 100, 200);
    EXPECT_EQ(positions(data), (std::vector<int32_t>{100, 199}));
    ASSERT_EQ(data.hetFlags.rows(), 2u);
    EXPECT_EQ(flags(data, 0), "1");
    EXPECT_EQ(flags(data, 1), "0");
    EXPECT_EQ(data.sites[1].idx, 1u);
}

TEST(vcf_reader, linesOutsideTheWindowAreNeverExamined) {
    // A duplicate, a missing GT and a short line, all outside the window: none is noticed.
    const std::string path = writeVcf(header + " S1\n"
                                               "20 10 . A G . . . GT 0|1\n"
                                               "20 10 . A G . . . GT 0|1\n"
                                               "20 20 . A G . . . DP 7\n"
                                               "20 30 . A\n");
    data_set data(13, 10);
    testing::internal::CaptureStderr();
    const std::string out = read(data, path, 100, 200);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(out, "\nReading genotypes in [" + path +
                       "] in VCF format\n"
                       "  * 1 samples\n"
                       "  * 0 bi-allelic SNPs\n");
    EXPECT_EQ(data.sites.size(), 0);
}

TEST(vcf_reader, countLines) {
    // A second #CHROM line appends its names and prints the running total.
    const std::string path = writeVcf(header +
                                      " S1 S2 S3\n"
                                      "20 100 . A G . . . GT 0|1 0|0 1|0\n"
                                      "20 150 . AT A . . . GT 0/1 1/0 0/0\n"
                                      "20 160 . A C,G . . . GT 0/1 1/0 0/0\n" +
                                      header +
                                      " S4\n"
                                      "20 200 . C T . . . GT:DP 1/1:5 1|0:3 0|0 0|1\n");
    data_set data(13, 10);
    EXPECT_EQ(read(data, path), "\nReading genotypes in [" + path +
                                    "] in VCF format\n"
                                    "  * 3 samples\n"
                                    "  * 4 samples\n"
                                    "  * 2 bi-allelic SNPs\n"
                                    "  * 2 non bi-allelic SNPs rejected\n");
    EXPECT_EQ(data.sampleNames, (std::vector<std::string>{"S1", "S2", "S3", "S4"}));
    // Each row has as many flags as names known when its line was read.
    EXPECT_EQ(flags(data, 0), "101");
    EXPECT_EQ(flags(data, 1), "110");
    EXPECT_EQ(flags(data, 3), "0101");
}

TEST(vcf_reader, nonSnpSitesAreKeptAndFlagged) {
    const std::string path = writeVcf(header + " S1\n"
                                               "20 100 . AT A . . . GT 0/1\n"
                                               "20 110 . A C,G . . . GT 0/1\n"
                                               "20 120 . A <DEL> . . . GT 0/1\n"
                                               "20 130 . A * . . . GT 0/1\n"
                                               "20 140 . A . . . . GT 0/1\n");
    data_set data(13, 10);
    read(data, path);
    ASSERT_EQ(data.sites.size(), 5);
    const std::vector<bool> snp{false, false, false, true, true};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(data.sites[i].snp, snp[static_cast<size_t>(i)]) << "site " << i;
        EXPECT_EQ(flags(data, static_cast<size_t>(i)), "1") << "site " << i;
    }
    EXPECT_EQ(data.sites[1].alt, "C,G");
}

TEST(vcf_reader, fatalDuplicateSite) {
    const std::string path = writeVcf(header + " S1\n"
                                               "20 500 . A G . . . GT 0|1\n"
                                               "20 500 . A T . . . GT 0|1\n"
                                               "20 500 . A G . . . GT 0|1\n");
    EXPECT_EXIT(readAndExit(path), testing::ExitedWithCode(1),
                "^ERROR: Duplicate site pos=500 ref=A alt=G\n$");
}

TEST(vcf_reader, sameSiteWithOtherAllelesIsKept) {
    const std::string path = writeVcf(header + " S1\n"
                                               "20 500 . A G . . . GT 0|1\n"
                                               "20 500 . A T . . . GT 1|1\n"
                                               "20 500 . a G . . . GT 1|0\n");
    data_set data(13, 10);
    read(data, path);
    EXPECT_EQ(data.sites.size(), 3);
    EXPECT_EQ(data.sites.getP(500, "A", "T"), &data.sites[1]);
    EXPECT_EQ(flags(data, 2), "1");
}

TEST(vcf_reader, fatalMissingGt) {
    const std::string noKey = writeVcf(header + " S1\n"
                                                "20 100 . A G . . . GT 0|1\n"
                                                "20 7 . A G . . . DP:GQ 3:4\n",
                                       "nokey.vcf");
    EXPECT_EXIT(readAndExit(noKey), testing::ExitedWithCode(1),
                "^ERROR: No GT found at site pos=7\n$");
    // No key at all, and keys that only contain GT, are no GT either.
    for (const std::string format : {"::", "GTX:gt:DP"}) {
        const std::string path = writeVcf(header + "\n20 8 . A G . . . " + format + "\n", "k.vcf");
        EXPECT_EXIT(readAndExit(path), testing::ExitedWithCode(1), "pos=8\n$") << format;
    }
}

TEST(vcf_reader, crLfLineEnds) {
    // The CR stays in the last field: it ends the last sample name, ends a genotype without
    // changing its first and third characters, and spoils a FORMAT that ends the line.
    const std::string path = writeVcf("#CHROM POS ID REF ALT QUAL FILTER INFO FORMAT S1 S2\r\n"
                                      "20 100 . A G . . . GT 0|0 0|1\r\n"
                                      "\r\n"
                                      "20 200 . A G . . . GT:DP 1|0 0/0:3\r\n");
    data_set data(13, 10);
    testing::internal::CaptureStderr();
    read(data, path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(data.sampleNames, (std::vector<std::string>{"S1", "S2\r"}));
    EXPECT_EQ(flags(data, 0), "01");
    EXPECT_EQ(flags(data, 1), "10");

    const std::string noSamples = writeVcf("20 300 . A G . . . GT\r\n", "nosamples.vcf");
    EXPECT_EXIT(readAndExit(noSamples), testing::ExitedWithCode(1), "No GT found at site pos=300");
}

TEST(vcf_reader, genotypeKeyIndex) {
    // The last GT key wins; runs of ':' are one separator and leading ones are ignored, in the
    // keys and in the values alike. A value too short for the GT index is a missing call.
    const std::string path =
        writeVcf(header + " S1 S2 S3\n"
                          "20 100 . A G . . . DP:GT 7:1|0 0/1:7 .\n"
                          "20 200 . A G . . . GT:DP:GT 0/0:5:0/1 0/1:5:0/0 0/1:5\n"
                          "20 300 . A G . . . ::DP::GT: 7::1|0 :7:0|1 7:0|1::\n"
                          "20 400 . A G . . . GT:DP 0/1:12 ./.:3 1\n");
    data_set data(13, 10);
    read(data, path);
    EXPECT_EQ(flags(data, 0), "100");
    EXPECT_EQ(flags(data, 1), "100");
    EXPECT_EQ(flags(data, 2), "111");
    EXPECT_EQ(flags(data, 3), "100");
}

TEST(vcf_reader, heterozygousTestReadsFirstAndThirdCharacters) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"0|1", true},   {"1|0", true},  {"0/1", true},  {"1/0", true},  {"0x1", true},
        {"0/1/1", true}, {"0/0", false}, {"1/1", false}, {"./.", false}, {"0/2", false},
        {"2/1", false},  {"1/2", false}, {"0", false},   {"1", false},   {"01", false},
        {"0/", false},   {"1:0", false}, {"0|1\r", true}};
    std::string names, values;
    for (size_t k = 0; k < cases.size(); ++k) {
        names += " S" + std::to_string(k);
        values += " " + cases[k].first;
    }
    const std::string path = writeVcf(header + names + "\n20 100 . A G . . . GT" + values + "\n");
    data_set data(13, 10);
    read(data, path);
    for (size_t k = 0; k < cases.size(); ++k)
        EXPECT_EQ(data.hetFlags.get(0, k), cases[k].second) << cases[k].first;
}

TEST(vcf_reader, fieldsAreSplitAsTheLineSplitterDoes) {
    // Random lines with runs of blanks and tabs, leading and trailing runs, CRs and runs of
    // ':': the flags must be those found by splitting with sutils::tokenize.
    std::mt19937 random(20240611);
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    const std::vector<std::string> seps{" ", "\t", "  ", "\t \t"};
    const std::vector<std::string> colons{":", "::"};
    const std::vector<std::string> genotypes{"0|1", "1/0", "0/0", "1|1", "./.",
                                             "0",   "1",   "01",  "2|0", "0/1\r"};
    const int samples = 150;  // more than two words of 64 flags
    std::string text = "#CHROM POS ID REF ALT QUAL FILTER INFO FORMAT";
    for (int k = 0; k < samples; ++k) text += " S" + std::to_string(k);
    text += "\n";
    std::vector<std::string> lines;
    for (int pos = 1; pos <= 300; ++pos) {
        const std::vector<std::string> keys = random() % 2
                                                  ? std::vector<std::string>{"GT"}
                                                  : std::vector<std::string>{"DP", "GT", "GQ"};
        // A leading run makes an empty first field, which then stands for the chromosome.
        std::string line = random() % 5 ? "20" : pick(seps);
        line += pick(seps) + std::to_string(pos) + pick(seps) + "." + pick(seps) + "A" +
                pick(seps) + "G" + pick(seps) + "." + pick(seps) + "." + pick(seps) + ".";
        line += pick(seps) + (random() % 4 ? "" : ":");
        for (size_t j = 0; j < keys.size(); ++j) line += (j ? pick(colons) : "") + keys[j];
        const int fieldsWritten = samples - 1 + static_cast<int>(random() % 3);
        for (int k = 0; k < fieldsWritten; ++k) {
            line += pick(seps) + (random() % 4 ? "" : ":");
            const size_t parts = keys.size() - random() % 2;  // sometimes one part short
            for (size_t j = 0; j < parts; ++j)
                line += (j ? pick(colons) : "") + (keys[j] == "GT" ? pick(genotypes) : "9");
        }
        if (random() % 5 == 0) line += pick(seps);
        lines.push_back(line);
        text += line + "\n";
    }
    const std::string path = writeVcf(text);
    data_set data(13, 10);
    testing::internal::CaptureStderr();
    read(data, path);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(data.sites.size(), static_cast<int>(lines.size()));

    std::vector<std::string> fields, keys, parts;
    for (size_t i = 0; i < lines.size(); ++i) {
        sutils::tokenize(lines[i], fields);
        sutils::tokenize(fields[8], keys, ":");
        const size_t gt =
            static_cast<size_t>(std::find(keys.rbegin(), keys.rend(), "GT") - keys.rbegin());
        const size_t g = keys.size() - 1 - gt;
        std::string expected;
        for (size_t k = 0; k < samples; ++k) {
            bool het = false;
            if (9 + k < fields.size() &&
                sutils::tokenize(fields[9 + k], parts, ":") > static_cast<int>(g)) {
                const std::string& v = parts[g];
                het =
                    v.size() >= 3 && ((v[0] == '0' && v[2] == '1') || (v[0] == '1' && v[2] == '0'));
            }
            expected += het ? '1' : '0';
        }
        EXPECT_EQ(data.sites[static_cast<int>(i)].pos, std::stoi(fields[1])) << lines[i];
        EXPECT_EQ(flags(data, i), expected) << lines[i];
    }
}

TEST(vcf_reader, malformedLinesAreSkippedAndReported) {
    // Blank lines pass silently; a short line is skipped; genotypes beyond the names, also on
    // lines before the #CHROM line, are ignored; each kind is reported once, with its count.
    const std::string path = writeVcf("20 50 . A G . . . GT 0|1\n"
                                      "#CHROM POS ID REF ALT QUAL FILTER INFO FORMAT S1 S2\n"
                                      "\n"
                                      " \t \n"
                                      "20 100 . A G . . . GT 0|1 1|0 0|1\n"
                                      "20 110 . A G . . . GT 0|1\n"
                                      "20 120 . A G . . .\n"
                                      "20 130\n"
                                      "20 140 . A G . . . GT 0|1 1|0\n");
    data_set data(13, 10);
    testing::internal::CaptureStderr();
    const std::string out = read(data, path);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "WARNING: Skipped 2 lines with fewer than 9 fields in [" + path +
                       "]\n"
                       "WARNING: 3 lines in [" +
                       path +
                       "] hold more or fewer genotypes than there are "
                       "samples: extra ones were ignored, missing ones read as not heterozygous\n");
    EXPECT_EQ(positions(data), (std::vector<int32_t>{50, 100, 110, 140}));
    EXPECT_EQ(flags(data, 0), "");
    EXPECT_EQ(flags(data, 1), "11");
    EXPECT_EQ(flags(data, 2), "10");
    EXPECT_EQ(flags(data, 3), "11");
}

TEST(vcf_reader, compressedInputs) {
    const std::string text =
        header + " S1 S2\n20 100 . A G . . . GT 0|1 0|0\n20 200 . C T . . . GT 1|1 1|0\n";
    for (const std::string name : {"calls.vcf.gz", "calls.vcf.bz2"}) {
        data_set data(13, 10);
        read(data, writeVcf(text, name));
        EXPECT_EQ(positions(data), (std::vector<int32_t>{100, 200})) << name;
        EXPECT_EQ(flags(data, 0) + flags(data, 1), "1001") << name;
    }
    // Block-compressing tools write many gzip members one after the other.
    const std::string first = writeVcf(header + " S1\n20 100 . A G . . . GT 0|1\n", "a.gz");
    const std::string second = writeVcf("20 200 . C T . . . GT 1|0\n", "b.gz");
    const std::string joined = scratchFile("joined.vcf.gz");
    writeFile(joined, readFile(first) + readFile(second));
    data_set data(13, 10);
    read(data, joined);
    EXPECT_EQ(positions(data), (std::vector<int32_t>{100, 200}));
}

TEST(vcf_reader, fatalUnopenableOrDamagedInput) {
    const std::string missing = scratchFile("missing.vcf.gz");
    EXPECT_EXIT(readAndExit(missing), testing::ExitedWithCode(1),
                "^ERROR: Cannot open VCF file \\[" + missing + "\\]\n$");

    std::string lines = header + " S1\n";
    for (int pos = 1; pos <= 20000; ++pos)
        lines += "20 " + std::to_string(pos) + " . A G . . . GT 0|1\n";
    for (const std::string name : {"calls.vcf.gz", "calls.vcf.bz2"}) {
        const std::string whole = readFile(writeVcf(lines, name));
        const std::string cut = scratchFile("cut." + name);
        writeFile(cut, whole.substr(0, whole.size() - 10));
        EXPECT_EXIT(readAndExit(cut), testing::ExitedWithCode(1),
                    "^ERROR: Cannot read VCF file \\[" + cut + "\\]\n$")
            << name;
    }
    const std::string notGzip = scratchFile("plain.vcf.gz");
    writeFile(notGzip, lines);
    EXPECT_EXIT(readAndExit(notGzip), testing::ExitedWithCode(1), "Cannot read VCF file");
}
