// The generator must give the same sequence for a seed on every platform; the helpers their sums.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "utils/putils.h"

namespace {
// Prints three draws to stderr and exits, so a death test can read them from a fresh process.
void printThreeDraws() {
    for (int i = 0; i < 3; ++i) std::fprintf(stderr, "%.6f ", putils::getRandom());
    std::exit(0);
}

void expectDraws(long seed, const std::vector<double>& expected) {
    putils::initRandom(seed);
    for (double e : expected) EXPECT_NEAR(putils::getRandom(), e, 5e-7) << "seed " << seed;
}
}  // namespace

TEST(putils, sequencesInAFreshProcess) {
    // A forked child would inherit whatever earlier tests drew; a re-executed one starts clean.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(printThreeDraws(), testing::ExitedWithCode(0), "^0.911977 0.061727 0.396988 $");
    EXPECT_EXIT((putils::initRandom(-1), printThreeDraws()), testing::ExitedWithCode(0),
                "^0.415999 0.091965 0.756410 $");
}

TEST(putils, seededSequences) {
    expectDraws(1, {0.415999, 0.091965, 0.756410});
    expectDraws(0, {0.415999, 0.091965, 0.756410});
    expectDraws(5, {0.172861, 0.680409, 0.917078});
}

TEST(putils, seedEqualToModulusDrawsZeroOnceThenRestartsFromOne) {
    putils::initRandom(2147483647);
    EXPECT_EQ(putils::getRandom(), 0.0);
    EXPECT_NEAR(putils::getRandom(), 0.415999, 5e-7);
    EXPECT_NEAR(putils::getRandom(), 0.091965, 5e-7);
}

TEST(putils, stateAfterSeeding) {
    putils::initRandom(5);
    EXPECT_EQ(putils::getSeed(), -5);
    putils::getRandom();
    EXPECT_GT(putils::getSeed(), 0);
    // A negative seed after draws keeps the table: the next draw is one plain step from 1.
    putils::initRandom(-1);
    EXPECT_EQ(putils::getSeed(), 1);
    putils::getRandom();
    EXPECT_EQ(putils::getSeed(), 16807);
}

TEST(putils, hugeSeedsStayInRange) {
    for (long seed : {LONG_MAX, LONG_MIN, 1000000000000L, -1000000000000L}) {
        putils::initRandom(5);
        putils::getRandom();
        putils::initRandom(seed);
        for (int i = 0; i < 1000; ++i) {
            const double u = putils::getRandom();
            ASSERT_GT(u, 0.0) << seed;
            ASSERT_LE(u, 0.99999988) << seed;
        }
    }
}

TEST(putils, integerDrawIsFloorOfScaledDraw) {
    putils::initRandom(5);
    EXPECT_EQ(putils::getRandom(10), 1);
    EXPECT_EQ(putils::getRandom(10), 6);
    EXPECT_EQ(putils::getRandom(10), 9);
}

TEST(putils, sampleBoundaries) {
    std::vector<double> P{0.2, 0.3, 0.5};
    std::vector<double> unnormalised{2, 3, 5};
    putils::initRandom(5);  // draws 0.172861, 0.680409
    EXPECT_EQ(putils::sample(P, 1.0), 0);
    EXPECT_EQ(putils::sample(unnormalised, 10.0), 2);
    putils::initRandom(1);  // draws 0.415999
    EXPECT_EQ(putils::sample(P, 1.0), 1);

    // A running sum equal to the draw is not enough, and a zero weight is only reached by falling
    // through to the last index.
    putils::initRandom(1);
    std::vector<double> exact{putils::getRandom(), 0.0, 0.0};
    putils::initRandom(1);
    EXPECT_EQ(putils::sample(exact, 1.0), 2);
}

TEST(putils, sampleTakesOneDrawEvenWhenTheAnswerIsFixed) {
    putils::initRandom(5);
    putils::getRandom();
    const long afterOne = putils::getSeed();
    std::vector<double> single{0.7};
    std::vector<double> none;
    putils::initRandom(5);
    EXPECT_EQ(putils::sample(single, 0.7), 0);
    EXPECT_EQ(putils::getSeed(), afterOne);
    putils::initRandom(5);
    EXPECT_EQ(putils::sample(none, 0.0), -1);
    EXPECT_EQ(putils::getSeed(), afterOne);
}

TEST(putils, normalise) {
    std::vector<double> zeros{0, 0}, empty, P{1, 3};
    putils::normalise(zeros);
    putils::normalise(empty);
    putils::normalise(P);
    EXPECT_EQ(zeros, (std::vector<double>{0, 0}));
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(P, (std::vector<double>{0.25, 0.75}));
}

TEST(putils, entropyAndDivergenceSkipNonPositiveTerms) {
    std::vector<double> half{0.5, 0.5}, skipped{1.0, 0.0, -1.0}, empty;
    EXPECT_NEAR(putils::entropy(half), -std::log(2.0), 1e-12);
    EXPECT_EQ(putils::entropy(skipped), 0.0);
    EXPECT_EQ(putils::entropy(empty), 0.0);

    std::vector<double> P{0.5, 0.5, 0.0}, Q{0.25, 0.5, 0.25}, R{0.5, 0.0, 0.5};
    EXPECT_NEAR(putils::KLdistance(P, Q), 0.5 * std::log(2.0), 1e-12);
    EXPECT_NEAR(putils::KLdistance(P, R), 0.0, 1e-12);
    EXPECT_EQ(putils::KLdistance(P, P), 0.0);
    EXPECT_EQ(putils::KLdistance(empty, empty), 0.0);
}

TEST(putilsDeathTest, divergenceOfUnequalSizesStops) {
    std::vector<double> P{0.5, 0.5}, Q{1.0};
    EXPECT_DEATH(putils::KLdistance(P, Q), "src/utils\\.cpp:[0-9]+: .*KLdistance.*"
                                           "Assertion `P\\.size\\(\\) == Q\\.size\\(\\)' failed");
}

TEST(putils, randomIdIsAVersion4UuidIndependentOfTheSeed) {
    putils::initRandom(5);
    const std::string a = putils::getRandomID();
    const std::string b = putils::getRandomID();
    EXPECT_EQ(putils::getSeed(), -5);
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 36u) << a;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const std::string allowed = dash ? "-" : "0123456789abcdef";
        EXPECT_NE(allowed.find(a[i]), std::string::npos) << a;
    }
    EXPECT_EQ(a[14], '4') << a;
    EXPECT_NE(std::string("89ab").find(a[19]), std::string::npos) << a;
}
