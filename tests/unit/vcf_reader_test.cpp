// The VCF reader: window, fatal errors, the GT key, the het test, line splitting, compression.
#include <algorithm>
#include <cstdint>
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

// A data line with every kind of separator run the splitter must handle. A leading run makes
// an empty first field, which then stands for the chromosome: every line gets one, since the
// lines of one VCF must name one chromosome.
std::string randomLine(std::mt19937& random, int pos, size_t samples) {
    auto pick = [&](std::vector<std::string> from) { return from[random() % from.size()]; };
    auto sep = [&] { return pick({" ", "\t", "  ", "\t \t"}); };
    auto colons = [&] { return pick({":", "::"}); };
    const std::vector<std::string> keys =
        random() % 2 ? std::vector<std::string>{"GT"} : std::vector<std::string>{"DP", "GT", "GQ"};
    std::string line = sep();
    line += sep() + std::to_string(pos) + sep() + "." + sep() + "A" + sep() + "G" + sep() + "." +
            sep() + "." + sep() + "." + sep() + (random() % 4 ? "" : ":");
    for (size_t j = 0; j < keys.size(); ++j) line += (j ? colons() : "") + keys[j];
    const size_t fields = samples - 1 + random() % 3;
    for (size_t k = 0; k < fields; ++k) {
        line += sep() + (random() % 4 ? "" : ":");
        const size_t parts = keys.size() - random() % 2;  // sometimes one part short
        for (size_t j = 0; j < parts; ++j) {
            line += j ? colons() : "";
            line += keys[j] != "GT" ? "9"
                                    : pick({"0|1", "1/0", "0/0", "1|1", "./.", "0", "1", "01",
                                            "2|0", "0/1\r"});
        }
    }
    return line + (random() % 5 ? "" : sep());
}

// The flags of one line, found the plain way: split with sutils::tokenize, last GT key, first
// and third characters of the genotype.
std::string expectedFlags(const std::string& line, size_t samples) {
    std::vector<std::string> fields, keys, parts;
    sutils::tokenize(line, fields);
    sutils::tokenize(fields[8], keys, ":");
    const size_t g = static_cast<size_t>(std::find(keys.rbegin(), keys.rend(), "GT").base() -
                                         keys.begin()) - 1;
    std::string expected;
    for (size_t k = 0; k < samples; ++k) {
        bool het = false;
        if (9 + k < fields.size() &&
            static_cast<size_t>(sutils::tokenize(fields[9 + k], parts, ":")) > g) {
            const std::string& v = parts[g];
            het = v.size() >= 3 && ((v[0] == '0' && v[2] == '1') || (v[0] == '1' && v[2] == '0'));
        }
        expected += het ? '1' : '0';
    }
    return expected;
}

}  // namespace

TEST(vcf_reader, windowIncludesFromAndExcludesTo) {
    // Lines outside the window are never examined: their duplicate, missing GT and missing
    // fields go unnoticed.
    const std::string path = writeVcf(header + " S1\n"
                                      "20 10 . A G . . . GT 0|1\n"
                                      "20 10 . A G . . . DP 7\n"
                                      "20 30 . A\n"
                                      "20 100 . A G . . . GT 0|1\n"
                                      "20 199 . A G . . . GT 1|1\n"
                                      "20 200 . A G . . . GT 0|1\n");
    data_set data(13, 10);
    testing::internal::CaptureStderr();
    read(data, path, 100, 200);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(positions(data), (std::vector<int32_t>{100, 199}));
    EXPECT_EQ(data.sites[1].idx, 1u);
    ASSERT_EQ(data.hetFlags.rows(), 2u);
    EXPECT_EQ(flags(data, 0) + flags(data, 1), "10");

    data_set none(13, 10);
    EXPECT_EQ(read(none, path, 300, 400), "\nReading genotypes in [" + path + "] in VCF format\n"
                                          "  * 1 samples\n"
                                          "  * 0 bi-allelic SNPs\n");
}

TEST(vcf_reader, countLinesAndSiteKinds) {
    // A second #CHROM line appends its names and prints the running total. Sites that are not
    // bi-allelic SNPs are kept, with their flags; an ALT of one character is a SNP.
    const std::string path = writeVcf(header + " S1 S2 S3\n"
                                      "20 100 . A G . . . GT 0|1 0|0 1|0\n"
                                      "20 150 . AT A . . . GT 0/1 1/0 0/0\n"
                                      "20 160 . A C,G . . . GT 0/1 1/0 0/0\n"
                                      "20 170 . A * . . . GT 0/1 1/0 0/0\n" + header + " S4\n"
                                      "20 200 . C T . . . GT:DP 1/1:5 1|0:3 0|0 0|1\n");
    data_set data(13, 10);
    EXPECT_EQ(read(data, path), "\nReading genotypes in [" + path + "] in VCF format\n"
                                "  * 3 samples\n"
                                "  * 4 samples\n"
                                "  * 3 bi-allelic SNPs\n"
                                "  * 2 non bi-allelic SNPs rejected\n");
    EXPECT_EQ(data.sampleNames, (std::vector<std::string>{"S1", "S2", "S3", "S4"}));
    std::string snp;
    for (int i = 0; i < data.sites.size(); ++i) snp += data.sites[i].snp ? '1' : '0';
    EXPECT_EQ(snp, "10011");
    EXPECT_EQ(data.sites[2].alt, "C,G");
    // Each row has as many flags as names known when its line was read.
    EXPECT_EQ(flags(data, 0), "101");
    EXPECT_EQ(flags(data, 1), "110");
    EXPECT_EQ(flags(data, 4), "0101");
}

TEST(vcf_reader, fatalDuplicateSite) {
    // The same position with other alleles, or alleles in another case, is another site.
    const std::string sites = header + " S1\n"
                              "20 500 . A G . . . GT 0|1\n"
                              "20 500 . A T . . . GT 1|1\n"
                              "20 500 . a G . . . GT 1|0\n";
    data_set data(13, 10);
    read(data, writeVcf(sites));
    EXPECT_EQ(data.sites.size(), 3);
    EXPECT_EQ(flags(data, 2), "1");

    const std::string path = writeVcf(sites + "20 500 . A G . . . GT 0|1\n", "dup.vcf");
    EXPECT_EXIT(readAndExit(path), testing::ExitedWithCode(1),
                "^ERROR: Duplicate site pos=500 ref=A alt=G\n$");
}

TEST(vcf_reader, fatalMissingGt) {
    const std::string path = writeVcf(header + " S1\n"
                                      "20 100 . A G . . . GT 0|1\n"
                                      "20 7 . A G . . . DP:GQ 3:4\n");
    EXPECT_EXIT(readAndExit(path), testing::ExitedWithCode(1),
                "^ERROR: No GT found at site pos=7\n$");
    // No key at all, keys that only contain GT, and a GT spoilt by the CR of a CR-LF line end
    // are no GT either.
    for (const std::string format : {"::", "GTX:gt:DP", "GT\r"}) {
        const std::string text = header + "\n20 8 . A G . . . " + format + "\n";
        EXPECT_EXIT(readAndExit(writeVcf(text, "k.vcf")), testing::ExitedWithCode(1), "pos=8\n$")
            << format;
    }
}

TEST(vcf_reader, crLfLineEnds) {
    // The CR stays in the last field: it ends the last sample name, and ends a genotype
    // without changing its first and third characters. A CR-only line is a blank line.
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
    // Random lines with runs of blanks and tabs, leading and trailing runs, CRs, runs of ':',
    // short values, and one genotype too few or too many: the flags must be those found by
    // splitting with sutils::tokenize.
    const size_t samples = 150;  // more than two words of 64 flags
    std::string text = "#CHROM POS ID REF ALT QUAL FILTER INFO FORMAT";
    for (size_t k = 0; k < samples; ++k) text += " S" + std::to_string(k);
    text += "\n";
    std::mt19937 random(20240611);
    std::vector<std::string> lines;
    for (int pos = 1; pos <= 300; ++pos) {
        lines.push_back(randomLine(random, pos, samples));
        text += lines.back() + "\n";
    }
    data_set data(13, 10);
    testing::internal::CaptureStderr();
    read(data, writeVcf(text));
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(data.sites.size(), static_cast<int>(lines.size()));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(data.sites[static_cast<int>(i)].pos, static_cast<int>(i + 1)) << lines[i];
        EXPECT_EQ(flags(data, i), expectedFlags(lines[i], samples)) << lines[i];
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
    read(data, path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: Skipped 2 lines with fewer than 9 fields in [" + path + "]\n"
              "WARNING: 3 lines in [" + path + "] hold more or fewer genotypes than there are"
              " samples: extra ones were ignored, missing ones read as not heterozygous\n");
    EXPECT_EQ(positions(data), (std::vector<int32_t>{50, 100, 110, 140}));
    EXPECT_EQ(flags(data, 0), "");
    EXPECT_EQ(flags(data, 1), "11");
    EXPECT_EQ(flags(data, 2), "10");
    EXPECT_EQ(flags(data, 3), "11");
}

TEST(vcf_reader, compressedInputs) {
    const std::string text = header + " S1 S2\n"
                             "20 100 . A G . . . GT 0|1 0|0\n"
                             "20 200 . C T . . . GT 1|1 1|0\n";
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
    const std::string xz = scratchFile("calls.vcf");
    writeFile(xz, std::string("\xfd" "7zXZ\0\0\4", 8));
    EXPECT_EXIT(readAndExit(xz), testing::ExitedWithCode(1),
                "^ERROR: Cannot read VCF file \\[" + xz + "\\]: xz content\n$");
    // Found by fuzzing: a damaged BCF header claiming 4 GB of text, which htslib would allocate.
    const std::string bcf = scratchFile("damaged.bcf");
    writeFile(bcf, std::string("BCF\2\2\n\n\xff\xff", 9) + std::string(100, 'x'));
    EXPECT_EXIT(readAndExit(bcf), testing::ExitedWithCode(1),
                "^ERROR: Cannot read VCF file \\[" + bcf + "\\]\n$");
}
