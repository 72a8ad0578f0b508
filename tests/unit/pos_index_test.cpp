// The site collection: lookups by index and by position and alleles, and the map section.
#include <gtest/gtest.h>

#include "pos_index.h"
#include "run_program.h"
#include "utils/streams.h"

namespace {

TEST(PosIndex, LookupsByIndexAndByPositionAndAlleles) {
    pos_index sites;
    EXPECT_EQ(sites.size(), 0);
    EXPECT_EQ(sites.getI(0), nullptr);

    site g{500, "A", "G", 0, true}, t{500, "A", "T", 1, true}, negative{-7, "C", "A", 2, true};
    sites.push(&g);
    sites.push(&t);
    sites.push(&negative);
    EXPECT_EQ(sites.size(), 3);
    EXPECT_EQ(sites.getI(1), &t);
    EXPECT_EQ(sites.getI(-1), nullptr);
    EXPECT_EQ(sites.getI(3), nullptr);
    EXPECT_EQ(sites.getP(500, "A", "T"), &t);
    EXPECT_EQ(sites.getP(500, "A", "G"), &g);
    EXPECT_EQ(sites.getP(500, "A", "C"), nullptr);
    EXPECT_EQ(sites.getP(500, "a", "G"), nullptr);  // alleles compare case-sensitively
    EXPECT_EQ(sites.getP(501, "A", "G"), nullptr);
    EXPECT_EQ(sites.getP(-7, "C", "A"), &negative);
}

TEST(PosIndex, EqualSitesAtOnePositionAnswerTheFirstAdded) {
    pos_index sites;
    site first{10, "A", "G", 0, true}, second{10, "A", "G", 1, true};
    sites.push(&first);
    sites.push(&second);
    EXPECT_EQ(sites.getP(10, "A", "G"), &first);
}

TEST(PosIndex, MapSectionListsEverySiteInOrderAdded) {
    pos_index sites;
    site a{100, "A", "G", 0, true}, b{250, "AT", "A", 1, false}, c{250, "A", "C,T", 2, false},
        d{-3, "G", "C", 3, true};
    for (site* s : {&a, &b, &c, &d}) sites.push(s);
    const std::string path = freshScratchDir() + "/map.gz";
    ofile out(path);
    sites.writeMAP(out);
    ASSERT_TRUE(out.close());
    ifile in(path);
    std::string text, line;
    while (std::getline(in, line)) text += line + "\n";
    EXPECT_EQ(text, "MAP 4\n100\tA\tG\n250\tAT\tA\n250\tA\tC,T\n-3\tG\tC\n");
}

TEST(PosIndex, EmptyMapSectionIsTheHeaderAlone) {
    pos_index sites;
    const std::string path = freshScratchDir() + "/map.txt";
    ofile out(path);
    sites.writeMAP(out);
    ASSERT_TRUE(out.close());
    EXPECT_EQ(readFile(path), "MAP 0\n");
}

}  // namespace
