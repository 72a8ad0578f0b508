// The record accessors: CIGAR walks to a reference position, decoding, and the fatal base code.
#include "bamutils.h"

#include <gtest/gtest.h>

#include "sam_fixture.h"

namespace {

// Read base i carries quality i + 10, so a quality names the offset the walk found.
std::string qualities(size_t length) {
    std::string q;
    for (size_t i = 0; i < length; ++i) q += static_cast<char>(33 + 10 + i);
    return q;
}

std::string cycleSequence(size_t length) {
    std::string s;
    for (size_t i = 0; i < length; ++i) s += "ACGTN"[i % 5];
    return s;
}

// A mapped record at 0-based pos0 whose sequence is as long as its CIGAR needs.
bam1_ptr aligned(int pos0, const std::string& cigar, size_t readLength) {
    const std::string seq = cycleSequence(readLength);
    return sam_fixture::parseRecord("r 0 chr1 " + std::to_string(pos0 + 1) + " 60 " + cigar +
                                    " * 0 0 " + seq + " " + qualities(readLength));
}

constexpr int noOffset = -1;

struct walk_case {
    const char* cigar;
    size_t readLength;
    int pos0;
    int offset;       // read offset expected, or noOffset
    signed char base; // with noOffset: the negative code expected from extractBase
};

const walk_case walkCases[] = {
    // All records start at 100.
    {"10M", 10, 105, 5, 0},
    {"10M", 10, 100, 0, 0},
    {"10M", 10, 109, 9, 0},
    {"10M", 10, 99, noOffset, -3},  // starts after pos
    {"10M", 10, 110, noOffset, -1}, // just past the end
    {"10M", 10, 111, noOffset, -2}, // beyond it
    {"5S10M", 15, 100, 5, 0},
    {"4M2D4M", 8, 104, noOffset, -1},
    {"4M2D4M", 8, 105, noOffset, -1},
    {"4M2D4M", 8, 106, 4, 0},
    {"4M2D", 4, 106, noOffset, -1}, // a trailing deletion counts towards the end
    {"4M2D", 4, 107, noOffset, -2},
    {"3M1I3M", 7, 103, 4, 0},
    {"5M100N5M", 10, 150, noOffset, -1},
    {"5M100N5M", 10, 205, 5, 0},
    {"5M100N5M", 10, 210, noOffset, -1},
    {"5M100N5M", 10, 211, noOffset, -2},
    {"2H3M1P2M2H", 5, 104, 4, 0}, // clips and padding move nothing
    // = and X are aligned bases like M.
    {"3=1X3M", 7, 101, 1, 0},
    {"3=1X3M", 7, 103, 3, 0},
    {"3=1X3M", 7, 104, 4, 0},
    {"2S3=2D2X", 7, 105, 5, 0},
    {"2S3=2D2X", 7, 103, noOffset, -1},
    {"4X", 4, 104, noOffset, -1},
};

TEST(bamutils_walk, baseAndQualityFollowTheCigar) {
    for (const walk_case& c : walkCases) {
        SCOPED_TRACE(std::string(c.cigar) + " at " + std::to_string(c.pos0));
        bam1_ptr b = aligned(100, c.cigar, c.readLength);
        if (c.offset == noOffset) {
            EXPECT_EQ(bamutils::extractBase(b.get(), c.pos0), c.base);
            EXPECT_EQ(bamutils::extractQuality(b.get(), c.pos0), -1);
        } else {
            const char letter = cycleSequence(c.readLength)[c.offset];
            EXPECT_EQ(bamutils::extractBase(b.get(), c.pos0), letter);
            EXPECT_EQ(bamutils::extractQuality(b.get(), c.pos0), c.offset + 10);
        }
    }
}

TEST(bamutils_walk, recordWithoutCigar) {
    bam1_ptr b = sam_fixture::parseRecord("r 0 chr1 101 60 * * 0 0 ACGT IIII");
    EXPECT_EQ(bamutils::extractBase(b.get(), 100), -1);
    EXPECT_EQ(bamutils::extractBase(b.get(), 101), -2);
    EXPECT_EQ(bamutils::extractBase(b.get(), 99), -3);
    EXPECT_EQ(bamutils::extractQuality(b.get(), 100), -1);
    EXPECT_EQ(bamutils::extractCigar(b.get(), 100), "");
}

// A CIGAR covering more bases than stored must not send the walk outside the record.
TEST(bamutils_walk, basesBeyondTheStoredSequenceAreAbsent) {
    bam1_ptr b = aligned(100, "4M", 4);
    bam_get_cigar(b.get())[0] = bam_cigar_gen(10, BAM_CMATCH);
    EXPECT_EQ(bamutils::extractBase(b.get(), 103), 'T');
    EXPECT_EQ(bamutils::extractQuality(b.get(), 103), 13);
    for (int pos0 = 104; pos0 < 110; ++pos0) {
        EXPECT_EQ(bamutils::extractBase(b.get(), pos0), -1) << pos0;
        EXPECT_EQ(bamutils::extractQuality(b.get(), pos0), -1) << pos0;
    }
    EXPECT_EQ(bamutils::extractBase(b.get(), 111), -2);
}

TEST(bamutils_walk, recordWithoutSequenceHasNoBase) {
    bam1_ptr b = sam_fixture::parseRecord("r 0 chr1 101 60 10M * 0 0 * *");
    ASSERT_EQ(b->core.l_qseq, 0);
    EXPECT_EQ(bamutils::extractBase(b.get(), 100), -1);
    EXPECT_EQ(bamutils::extractQuality(b.get(), 100), -1);
    EXPECT_EQ(bamutils::extractBase(b.get(), 111), -2);
    EXPECT_EQ(bamutils::extractRead(b.get()), "");
}

TEST(bamutils_quality, isASignedByte) {
    bam1_ptr b = aligned(100, "3M", 3);
    bam_get_qual(b.get())[1] = 200;
    bam_get_qual(b.get())[2] = 255;
    EXPECT_EQ(bamutils::extractQuality(b.get(), 101), -56);
    EXPECT_EQ(bamutils::extractQuality(b.get(), 102), -1);
}

TEST(bamutils_decode, readNameAndSequence) {
    bam1_ptr b = sam_fixture::parseRecord("pair7/1 0 chr1 101 60 5M * 0 0 ACGTN IIIII");
    EXPECT_EQ(bamutils::extractName(b.get()), "pair7/1");
    EXPECT_EQ(bamutils::extractRead(b.get()), "ACGTN");
    EXPECT_EQ(bamutils::extractNucleotide(b.get(), 3), 'T');
}

TEST(bamutils_decode, flagText) {
    const struct {
        int flag;
        const char* text;
    } cases[] = {
        {99, "(PAI=1 PRO=1 UNM=0 MUN=0 REV=0 MRE=1 RE1=1 RE2=0 SEC=0 QCF=0 DUP=0 MAS=0)"},
        {4, "(PAI=0 PRO=0 UNM=1 MUN=0 REV=0 MRE=0 RE1=0 RE2=0 SEC=0 QCF=0 DUP=0 MAS=1)"},
        {0x59c, "(PAI=0 PRO=0 UNM=1 MUN=1 REV=1 MRE=0 RE1=0 RE2=1 SEC=1 QCF=0 DUP=1 MAS=1)"},
        {0x200, "(PAI=0 PRO=0 UNM=0 MUN=0 REV=0 MRE=0 RE1=0 RE2=0 SEC=0 QCF=1 DUP=0 MAS=1)"},
        {0x800, "(PAI=0 PRO=0 UNM=0 MUN=0 REV=0 MRE=0 RE1=0 RE2=0 SEC=0 QCF=0 DUP=0 MAS=0)"},
    };
    for (const auto& c : cases) {
        bam1_ptr b = aligned(100, "1M", 1);
        b->core.flag = static_cast<uint16_t>(c.flag);
        EXPECT_EQ(bamutils::extractFlag(b.get()), c.text) << c.flag;
    }
}

TEST(bamutils_decode, cigarTextHighlightsOnePosition) {
    const std::string on = "\x1b[33m";
    const std::string off = "\x1b[0m";
    const auto cigarText = [](const std::string& cigar, size_t readLength, int pos0) {
        return bamutils::extractCigar(aligned(10, cigar, readLength).get(), pos0);
    };
    EXPECT_EQ(cigarText("2M1D1M", 3, 12), "MM" + on + "D" + off + "M");
    EXPECT_EQ(cigarText("2M1D1M", 3, 20), "MMDM");
    EXPECT_EQ(cigarText("2M3N1M", 3, 99), "MMRRRM");
    // Only M and D move the highlight: N, = and X do not.
    EXPECT_EQ(cigarText("1M2N1M", 2, 11), "MRR" + on + "M" + off);
    EXPECT_EQ(cigarText("2=1X1M", 4, 10), "NNN" + on + "M" + off);
    EXPECT_EQ(cigarText("2H1S2M1I1P2H", 4, 99), "HHSMMIPHH");
}

TEST(bamutils_phred, errorProbability) {
    EXPECT_DOUBLE_EQ(bamutils::phred2double(0), 1.0);
    EXPECT_NEAR(bamutils::phred2double(20), 0.01, 1e-17);
    EXPECT_NEAR(bamutils::phred2double(30), 0.001, 1e-18);
}

TEST(bamutils_DeathTest, equalsSignInTheSequenceIsFatal) {
    bam1_ptr b = sam_fixture::parseRecord("r 0 chr1 101 60 3M * 0 0 A=G III");
    EXPECT_EQ(bamutils::extractBase(b.get(), 100), 'A');
    EXPECT_EXIT(bamutils::extractBase(b.get(), 101), testing::ExitedWithCode(1),
                "^extractNucleotide 0 unknown\n$");
}

TEST(bamutils_DeathTest, ambiguityCodeIsFatal) {
    bam1_ptr b = sam_fixture::parseRecord("r 0 chr1 101 60 5M * 0 0 ACGTR IIIII");
    EXPECT_EXIT(bamutils::extractRead(b.get()), testing::ExitedWithCode(1),
                "^extractNucleotide 5 unknown\n$");
}

} // namespace
