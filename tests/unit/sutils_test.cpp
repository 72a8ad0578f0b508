// Tests of the string helpers: the three field splitters and the number, vector and date texts.
#include "utils/sutils.h"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <string>
#include <vector>

namespace {

using tokens = std::vector<std::string>;

tokens blankSplit(const std::string& line) {
    tokens out;
    const int count = sutils::tokenize(line, out);
    EXPECT_EQ(count, static_cast<int>(out.size()));
    return out;
}

tokens setSplit(const std::string& line, const std::string& delimiters) {
    tokens out;
    const int count = sutils::tokenize(line, out, delimiters);
    EXPECT_EQ(count, static_cast<int>(out.size()));
    return out;
}

tokens cappedSplit(const std::string& line, int maximum) {
    tokens out;
    const int count = sutils::tokenize(line, out, maximum);
    EXPECT_EQ(count, static_cast<int>(out.size()));
    return out;
}

}  // namespace

// Rule of the readers: runs of blanks are one separator, the ends are kept even when empty.
TEST(TokenizeBlanks, KeepsPositionalEmptyEnds) {
    EXPECT_EQ(blankSplit("a\t\tb"), (tokens{"a", "b"}));
    EXPECT_EQ(blankSplit("\ta "), (tokens{"", "a", ""}));
    EXPECT_EQ(blankSplit(""), (tokens{""}));
    EXPECT_EQ(blankSplit("  "), (tokens{"", ""}));
    EXPECT_EQ(blankSplit(" \t \t"), (tokens{"", ""}));
    EXPECT_EQ(blankSplit("abc"), (tokens{"abc"}));
    EXPECT_EQ(blankSplit("20\t100\t.\tA\tG"), (tokens{"20", "100", ".", "A", "G"}));
}

TEST(TokenizeBlanks, OnlySpaceAndTabSeparate) {
    EXPECT_EQ(blankSplit("a b\r"), (tokens{"a", "b\r"}));
    EXPECT_EQ(blankSplit("a\nb\vc\fd"), (tokens{"a\nb\vc\fd"}));
    EXPECT_EQ(blankSplit(std::string("a\0b c", 5)), (tokens{std::string("a\0b", 3), "c"}));
}

TEST(TokenizeDelimiterSet, SkipsRunsAndEnds) {
    EXPECT_EQ(setSplit("a\t\tb", " \t"), (tokens{"a", "b"}));
    EXPECT_EQ(setSplit("\ta ", " \t"), (tokens{"a"}));
    EXPECT_TRUE(setSplit("", " \t").empty());
    EXPECT_TRUE(setSplit("  ", " \t").empty());
    EXPECT_EQ(setSplit("0|1:35,2", "|:,"), (tokens{"0", "1", "35", "2"}));
    EXPECT_EQ(setSplit("::a::b::", ":"), (tokens{"a", "b"}));
    EXPECT_EQ(setSplit("a b", ""), (tokens{"a b"}));
    EXPECT_EQ(setSplit("x\xffy", "\xff"), (tokens{"x", "y"}));
}

TEST(TokenizeCapped, StopsAtTheMaximumAndDropsTheRest) {
    EXPECT_EQ(cappedSplit("x y z", 2), (tokens{"x", "y"}));
    EXPECT_EQ(cappedSplit("  x \t y  z ", 2), (tokens{"x", "y"}));
    EXPECT_TRUE(cappedSplit("x y z", 0).empty());
    EXPECT_EQ(cappedSplit("x y z", -1), (tokens{"x", "y", "z"}));
    EXPECT_EQ(cappedSplit("x y z", 7), (tokens{"x", "y", "z"}));
    EXPECT_TRUE(cappedSplit(" \t ", 3).empty());
}

// Readers keep one vector across lines: each call must replace, never append to, its content.
TEST(TokenizeReuse, ReplacesThePreviousContent) {
    tokens out{"stale", "stale", "stale", "stale", "stale"};
    EXPECT_EQ(sutils::tokenize("a b", out), 2);
    EXPECT_EQ(out, (tokens{"a", "b"}));
    EXPECT_EQ(sutils::tokenize("a much longer first field\tx y z w", out), 9);
    EXPECT_EQ(out.front(), "a");
    EXPECT_EQ(out.back(), "w");
    EXPECT_EQ(sutils::tokenize("q", out, " "), 1);
    EXPECT_EQ(out, (tokens{"q"}));
    EXPECT_EQ(sutils::tokenize(" ", out, " "), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(sutils::tokenize("1 2 3", out, 0), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(sutils::tokenize("", out), 1);
    EXPECT_EQ(out, (tokens{""}));
}

TEST(NumberTexts, Integers) {
    EXPECT_EQ(sutils::int2str(0), "0");
    EXPECT_EQ(sutils::int2str(-42), "-42");
    EXPECT_EQ(sutils::int2str(INT_MIN), "-2147483648");
    EXPECT_EQ(sutils::long2str(LONG_MIN), "-9223372036854775808");
    EXPECT_EQ(sutils::long2str(1234567890123L), "1234567890123");
}

TEST(NumberTexts, IntegerVectorsShowNegativesAsDashes) {
    EXPECT_EQ(sutils::int2str(std::vector<int>{0, 1, -1, 12}), "01-12");
    EXPECT_EQ(sutils::int2str(std::vector<int>{1, -5}), "1-");
    EXPECT_EQ(sutils::int2str(std::vector<int>{-1, -1}), "--");
    EXPECT_EQ(sutils::int2str(std::vector<int>{}), "");
}

// The scalar form falls back to 6 digits at precision 0, the vector form prints none.
TEST(NumberTexts, FixedPointPrecision) {
    EXPECT_EQ(sutils::double2str(3.14159, 2), "3.14");
    EXPECT_EQ(sutils::double2str(3.14159, 0), "3.141590");
    EXPECT_EQ(sutils::double2str(3.14159, -3), "3.141590");
    EXPECT_EQ(sutils::double2str(-0.5, 1), "-0.5");
    EXPECT_EQ(sutils::double2str(1e20, 1), "100000000000000000000.0");
    EXPECT_EQ(sutils::double2str(std::vector<double>{1.5, 2.0}, 1), "1.5 2.0 ");
    EXPECT_EQ(sutils::double2str(std::vector<double>{1.7}, 0), "2 ");
    EXPECT_EQ(sutils::double2str(std::vector<double>{0.25}, -1), "0.250000 ");
    EXPECT_EQ(sutils::double2str(std::vector<double>{}, 3), "");
}

TEST(NumberTexts, BoolVectors) {
    EXPECT_EQ(sutils::bool2str({true, false, false, true}), "1001");
    EXPECT_EQ(sutils::bool2str({}), "");
}

// Far from a new year, so the year is the same in every time zone.
TEST(DateText, FormatsLocalTimeAndRefusesOversizedResults) {
    const time_t t = 1000000000 + 100 * 86400;
    EXPECT_EQ(sutils::date2str(&t, "%Y"), "2001");
    EXPECT_EQ(sutils::date2str(&t, ""), "");
    EXPECT_EQ(sutils::date2str(nullptr, "%Y"), "");
    // The buffer holds 127 characters and the NUL; a longer result is no result at all.
    EXPECT_EQ(sutils::date2str(&t, std::string(127, 'x')), std::string(127, 'x'));
    EXPECT_EQ(sutils::date2str(&t, std::string(128, 'x')), "");
    EXPECT_EQ(sutils::date2str(&t, std::string(124, 'x') + "%Y"), "");
}
