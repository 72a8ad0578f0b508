// Pedigree tables checked in full, with every allele order, and the windows decompose draws.
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "utils/autils.h"
#include "utils/putils.h"

namespace {
using blocks = std::vector<std::vector<int>>;
enum genotype { hom0, het, hom1 };

// Every allele-code pair that spells the genotype; het in both orders.
std::vector<std::pair<int, int>> spellings(genotype g) {
    if (g == hom0) return {{0, 0}};
    if (g == hom1) return {{1, 1}};
    return {{0, 1}, {1, 0}};
}

blocks items(int n) {
    blocks B;
    for (int i = 0; i < n; ++i) B.push_back({i, 10 * i});
    return B;
}
}  // namespace

TEST(autils, maxTakesTheFirstLargest) {
    std::vector<double> d{3, 7, 7}, tiny{-2e300}, none;
    std::vector<int> i{-5, 4, 9, 9}, low{-2000000000, -1};
    EXPECT_EQ(autils::max(d), 1);
    EXPECT_EQ(autils::max(tiny), 0);
    EXPECT_EQ(autils::max(none), 0);
    EXPECT_EQ(autils::max(i), 2);
    EXPECT_EQ(autils::max(low), 1);
}

TEST(autils, duoTable) {
    const int table[3][3] = {{0, 0, -1}, {1, 0, 1}, {-1, 0, 0}};
    for (genotype p : {hom0, het, hom1})
        for (genotype c : {hom0, het, hom1})
            for (auto [p0, p1] : spellings(p))
                for (auto [c0, c1] : spellings(c))
                    EXPECT_EQ(autils::checkDuo(p0, p1, c0, c1), table[p][c])
                        << p0 << p1 << " " << c0 << c1;
}

TEST(autils, trioTable) {
    const int table[3][3][3] = {{{0, -1, -1}, {1, 1, -1}, {-1, 0, -1}},
                                {{1, 1, -1}, {2, 0, 2}, {-1, 1, 1}},
                                {{-1, 0, -1}, {-1, 1, 1}, {-1, -1, 0}}};
    for (genotype f : {hom0, het, hom1})
        for (genotype m : {hom0, het, hom1})
            for (genotype c : {hom0, het, hom1})
                for (auto [f0, f1] : spellings(f))
                    for (auto [m0, m1] : spellings(m))
                        for (auto [c0, c1] : spellings(c))
                            EXPECT_EQ(autils::checkTrio(f0, f1, m0, m1, c0, c1), table[f][m][c])
                                << f0 << f1 << " " << m0 << m1 << " " << c0 << c1;
}

TEST(autils, anyCodeOtherThanZeroOrOneGivesZero) {
    // Starts from inconsistent genotypes, so a code that slipped through would show as -1.
    for (int bad : {-1, 2}) {
        for (int at = 0; at < 4; ++at) {
            int a[4] = {0, 0, 1, 1};
            a[at] = bad;
            EXPECT_EQ(autils::checkDuo(a[0], a[1], a[2], a[3]), 0) << at;
        }
        for (int at = 0; at < 6; ++at) {
            int a[6] = {0, 0, 0, 0, 1, 1};
            a[at] = bad;
            EXPECT_EQ(autils::checkTrio(a[0], a[1], a[2], a[3], a[4], a[5]), 0) << at;
        }
    }
}

TEST(autils, findUniqueSet) {
    std::vector<bool> B{false, true, true, false, true}, none(3, false);
    std::vector<int> I{7};
    autils::findUniqueSet(B, I);
    EXPECT_EQ(I, (std::vector<int>{1, 2, 4}));
    autils::findUniqueSet(none, I);
    EXPECT_TRUE(I.empty());
}

TEST(autils, decomposeShortSequencesWhole) {
    blocks three = items(3);
    std::vector<blocks> R{items(1)};
    putils::initRandom(5);
    autils::decompose(2, three, R);
    EXPECT_EQ(R, (std::vector<blocks>{items(1), three}));
    EXPECT_EQ(putils::getSeed(), -5);
}

TEST(autils, decomposeFourIntoTwoWindowsWithOneDraw) {
    blocks B = items(4);
    std::vector<blocks> R;
    putils::initRandom(5);
    autils::decompose(2, B, R);
    EXPECT_EQ(R, (std::vector<blocks>{{B[0], B[1], B[2]}, {B[1], B[2], B[3]}}));
    const long after = putils::getSeed();
    putils::initRandom(5);
    putils::getRandom();
    EXPECT_EQ(putils::getSeed(), after);
}

TEST(autils, decomposeWindowsOverlapByTwoAndCoverTheSequence) {
    const blocks B = items(40);
    for (long seed = 1; seed <= 20; ++seed) {
        blocks copy = B;
        std::vector<blocks> earlier{items(2)}, R = earlier;
        putils::initRandom(seed);
        autils::decompose(3, copy, R);
        const long after = putils::getSeed();
        ASSERT_GT(R.size(), 2u);
        EXPECT_EQ(R.front(), earlier.front()) << "what R held is kept";
        EXPECT_EQ(R[1].front(), B.front());
        EXPECT_EQ(R.back().back(), B.back());
        for (std::size_t w = 1; w < R.size(); ++w) {
            EXPECT_LT(R[w].size(), 6u);
            if (w + 1 < R.size()) {
                EXPECT_EQ(blocks(R[w].end() - 2, R[w].end()),
                          blocks(R[w + 1].begin(), R[w + 1].begin() + 2));
            }
        }
        // One draw per split, and a split adds one window.
        putils::initRandom(seed);
        for (std::size_t w = 2; w < R.size(); ++w) putils::getRandom();
        EXPECT_EQ(putils::getSeed(), after) << seed;
    }
}

TEST(autils, decomposeWithTooSmallAMinimumStillEnds) {
    blocks three = items(3), empty;
    std::vector<blocks> R;
    autils::decompose(1, three, R);
    autils::decompose(0, empty, R);
    EXPECT_EQ(R, (std::vector<blocks>{three, empty}));
}
