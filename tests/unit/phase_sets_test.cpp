// The read-backed phasing on fragments drawn from known haplotypes with sequencing errors.
#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "phase_sets.h"

namespace {

struct simulation {
    std::vector<phase_site> sites;
    std::vector<bool> altOnFirst;  // the true phase
    std::vector<std::vector<observation>> fragments;
};

// What the reads of a simulation look like: how many consecutive sites each shows, and the
// quality of its bases; with a gap, each is a pair of such reads that many sites apart.
struct read_shape {
    int minSites = 2, maxSites = 4;
    uint8_t quality = 20;
    int gap = 0;
};

// `count` sites 100 bp apart; reads of consecutive sites from either haplotype, each base wrong
// with probability `error` (then the other allele, the worst kind of error).
simulation simulate(uint32_t seed, int count, int reads, double error, read_shape shape = {}) {
    std::mt19937 rng(seed);
    simulation sim;
    for (int k = 0; k < count; ++k) {
        sim.sites.push_back({100 * (k + 1), 'A', 'G', true});
        sim.altOnFirst.push_back(rng() % 2);
    }
    std::uniform_real_distribution<double> uniform(0, 1);
    for (int r = 0; r < reads; ++r) {
        const int start = static_cast<int>(rng() % static_cast<uint32_t>(count - 1));
        const auto spread = static_cast<uint32_t>(shape.maxSites - shape.minSites + 1);
        const int length = shape.minSites + static_cast<int>(rng() % spread);
        const bool first = rng() % 2;
        std::vector<observation> obs;
        const int end = shape.gap > 0 ? start + 2 * length + shape.gap : start + length;
        for (int k = start; k < std::min(count, end); ++k) {
            if (k >= start + length && k < start + length + shape.gap) continue;
            const bool alt = (sim.altOnFirst[k] == first) != (uniform(rng) < error);
            obs.push_back({static_cast<uint32_t>(k), static_cast<uint8_t>(alt ? 'G' : 'A'),
                           shape.quality});
        }
        sim.fragments.push_back(obs);
    }
    return sim;
}

std::vector<phased_call> phaseAll(const simulation& sim, double minLod = 2.0) {
    phaser p(sim.sites, minLod);
    for (const auto& f : sim.fragments) p.addFragment(f);
    return p.phase();
}

// Adjacent sites of a block whose relative phase differs from the truth.
int switchErrors(const simulation& sim, const std::vector<phased_call>& calls) {
    int switches = 0;
    for (size_t k = 1; k < calls.size(); ++k) {
        if (calls[k].ps != calls[k - 1].ps) continue;
        const bool before = calls[k - 1].altFirst != sim.altOnFirst[calls[k - 1].site];
        const bool now = calls[k].altFirst != sim.altOnFirst[calls[k].site];
        switches += before != now;
    }
    return switches;
}

TEST(PhaseSets, DeepFragmentsWithErrorsGiveOneCorrectBlock) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        const simulation sim = simulate(seed, 200, 3000, 0.01);
        const std::vector<phased_call> calls = phaseAll(sim);
        ASSERT_EQ(calls.size(), 200u);
        EXPECT_EQ(switchErrors(sim, calls), 0);
        EXPECT_TRUE(std::all_of(calls.begin(), calls.end(),
                                [](const phased_call& c) { return c.ps == 100; }));
        EXPECT_FALSE(calls[0].altFirst);  // the first site of a block is written 0|1
    }
}

TEST(PhaseSets, SameBlocksWhateverTheOrderOfTheReads) {
    simulation sim = simulate(7, 300, 400, 0.05);  // thin: many blocks, some conflicts
    const std::vector<phased_call> calls = phaseAll(sim);
    EXPECT_GT(calls.size(), 100u);
    std::mt19937 rng(11);
    for (int round = 0; round < 3; ++round) {
        std::shuffle(sim.fragments.begin(), sim.fragments.end(), rng);
        const std::vector<phased_call> again = phaseAll(sim);
        ASSERT_EQ(again.size(), calls.size());
        for (size_t k = 0; k < calls.size(); ++k) {
            EXPECT_EQ(again[k].site, calls[k].site);
            EXPECT_EQ(again[k].ps, calls[k].ps);
            EXPECT_EQ(again[k].altFirst, calls[k].altFirst);
        }
    }
}

TEST(PhaseSets, WeakLinksAndUnusableBasesJoinNothing) {
    const std::vector<phase_site> sites = {
        {100, 'A', 'G', true}, {200, 'C', 'T', true}, {300, 'G', 'A', false}};
    phaser p(sites, 2.0);
    p.addFragment({{0, 'A', 15}, {1, 'C', 15}});  // one weak read: LOD about 1.2
    p.addFragment({{0, 'A', 40}, {1, 'G', 40}});  // a third allele gives no vote
    p.addFragment({{0, 'A', 40}, {2, 'G', 40}});  // a site that is not phasable gives none
    EXPECT_TRUE(p.phase().empty());
    p.addFragment({{0, 'A', 30}, {1, 'T', 30}});  // the phaser forgot the earlier reads
    const std::vector<phased_call> calls = p.phase();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[0].altFirst);
    EXPECT_TRUE(calls[1].altFirst);
}

// The sites that some fragment shows: every one of them is linked to another.
size_t sitesShown(const simulation& sim) {
    std::set<uint32_t> shown;
    for (const auto& fragment : sim.fragments)
        for (const observation& o : fragment) shown.insert(o.idx);
    return shown.size();
}

// Short fragments at about 5x and long ones at about 10x, with errors at the rate their
// qualities claim: nearly every linked site placed, and few switches.
TEST(PhaseSets, RandomFragmentsFromKnownHaplotypesArePhasedCompletelyAndRightly) {
    struct {
        const char* name;
        int reads;
        double error;
        read_shape shape;
        double leastPlaced;  // of the sites shown
        int mostSwitches;
    } sets[] = {
        {"short, Q20", 2000, 0.01, {2, 3, 20}, 0.99, 6},
        {"pairs, Q20", 1000, 0.01, {1, 3, 20, 4}, 0.99, 6},
        {"long, Q15", 120, 0.03, {40, 120, 15}, 0.97, 2},
        {"long, Q30", 100, 0.001, {60, 150, 30}, 0.995, 0},
    };
    for (const auto& set : sets)
        for (uint32_t seed : {5u, 6u}) {
            const simulation sim = simulate(seed, 1000, set.reads, set.error, set.shape);
            const std::vector<phased_call> calls = phaseAll(sim, 1.5);
            EXPECT_GE(calls.size(), set.leastPlaced * sitesShown(sim)) << set.name << ", " << seed;
            EXPECT_LE(switchErrors(sim, calls), set.mostSwitches) << set.name << ", " << seed;
        }
}

// log10 of the fragments' likelihood under a placement (bit k set: ALT on the first haplotype
// at site k), each fragment drawn from either haplotype.
double logLikelihood(const simulation& sim, uint32_t placement) {
    double total = 0;
    for (const auto& fragment : sim.fragments) {
        double first = 0, second = 0;
        for (const observation& o : fragment) {
            const double error = std::pow(10.0, -o.qual / 10.0);
            const bool asFirst = (o.base == 'G') == static_cast<bool>(placement >> o.idx & 1);
            first += std::log10(asFirst ? 1 - error : error);
            second += std::log10(asFirst ? error : 1 - error);
        }
        total += std::log10(std::pow(10.0, first) + std::pow(10.0, second));
    }
    return total;
}

// Eleven sites on ten read pairs: a search stopped at a placement that no single flip or cut
// improves, less likely than another, and called its sites sure. Each block is as the
// likeliest placement of all has it: set into that placement, it loses nothing.
TEST(PhaseSets, AThinBlockIsPlacedTheLikeliestWay) {
    simulation sim;
    for (int k = 0; k < 11; ++k) sim.sites.push_back({100 * (k + 1), 'A', 'G', true});
    sim.fragments = {{{4, 'A', 26}, {5, 'A', 28}, {9, 'G', 13}},
                     {{0, 'G', 37}, {1, 'G', 30}, {5, 'G', 31}},
                     {{7, 'A', 20}, {8, 'G', 40}},
                     {{8, 'G', 22}, {9, 'A', 38}},
                     {{0, 'A', 21}, {1, 'G', 34}, {6, 'A', 23}, {7, 'A', 10}},
                     {{9, 'G', 16}, {10, 'G', 32}},
                     {{7, 'A', 14}, {10, 'G', 22}},
                     {{2, 'G', 14}, {7, 'G', 39}},
                     {{3, 'G', 35}, {4, 'G', 32}, {8, 'A', 20}},
                     {{2, 'G', 28}, {6, 'G', 21}}};
    uint32_t best = 0;
    for (uint32_t placement = 1; placement < 1u << 10; ++placement)
        if (logLikelihood(sim, placement) > logLikelihood(sim, best)) best = placement;
    uint32_t phased = best;
    std::map<int32_t, bool> blockFlipped;  // against the likeliest placement, by its first site
    for (const phased_call& c : phaseAll(sim, 1.5)) {
        const bool flipped = c.altFirst != static_cast<bool>(best >> c.site & 1);
        if (flipped != blockFlipped.emplace(c.ps, flipped).first->second) phased ^= 1u << c.site;
    }
    EXPECT_GE(logLikelihood(sim, phased), logLikelihood(sim, best) - 1e-9);
}

// A long read counts once: its one wrong base loses to two right reads at that site, and the
// site is placed as they say.
TEST(PhaseSets, OneWrongBaseOfALongReadIsOutvotedByTwoRightReads) {
    std::vector<phase_site> sites;
    for (int k = 0; k < 100; ++k) sites.push_back({100 * (k + 1), 'A', 'G', true});
    phaser p(sites, 1.5);
    std::vector<observation> longRead;
    for (uint32_t k = 0; k < 100; ++k) longRead.push_back({k, 'A', 40});
    longRead[50] = {50, 'G', 13};
    p.addFragment(longRead);
    for (int copy = 0; copy < 2; ++copy)
        p.addFragment({{49, 'G', 30}, {50, 'G', 30}, {51, 'G', 30}});
    const std::vector<phased_call> calls = p.phase();
    ASSERT_EQ(calls.size(), 100u);
    for (const phased_call& c : calls) EXPECT_FALSE(c.altFirst) << c.site;
}

// In a block too large to try every placement, a site that the reads around it show half one
// way, half the other, while two reads tie it to a far site that nothing else shows: the two
// are sure of each other, not of the block, and form a block of their own. The reads around
// keep the rest one block.
TEST(PhaseSets, TwoSitesSureOfEachOtherAloneFormTheirOwnBlockWhereverTheyAre) {
    std::vector<phase_site> sites;
    for (int k = 0; k < 12; ++k) sites.push_back({100 * (k + 1), 'A', 'G', true});
    phaser p(sites, 1.5);
    for (uint32_t start = 0; start + 3 <= 11; ++start)
        for (uint8_t atSix : {'A', 'G'}) {
            std::vector<observation> read;
            for (uint32_t k = start; k < start + 3; ++k)
                read.push_back({k, static_cast<uint8_t>(k == 6 ? atSix : 'A'), 30});
            p.addFragment(read);
        }
    for (int copy = 0; copy < 2; ++copy) p.addFragment({{6, 'A', 30}, {11, 'A', 30}});
    const std::vector<phased_call> calls = p.phase();
    ASSERT_EQ(calls.size(), 12u);
    for (const phased_call& c : calls) {
        EXPECT_EQ(c.ps, c.site == 6 || c.site == 11 ? 700 : 100) << c.site;
        EXPECT_FALSE(c.altFirst) << c.site;
    }
}

// Mates that span two middle sites link the outer ones; the middle two are sure of each other,
// but as often cis as trans to their neighbours: they form a block of their own.
TEST(PhaseSets, TwoSitesUnsureOfTheRestAsAPairFormTheirOwnBlock) {
    std::vector<phase_site> sites;
    for (int pos : {100, 200, 300, 400}) sites.push_back({pos, 'A', 'G', true});
    phaser p(sites, 1.5);
    for (int copy = 0; copy < 2; ++copy) {
        p.addFragment({{0, 'A', 30}, {3, 'G', 30}});
        p.addFragment({{1, 'A', 30}, {2, 'A', 30}});
    }
    for (uint8_t other : {'A', 'G'}) {
        p.addFragment({{0, 'A', 30}, {1, other, 30}});
        p.addFragment({{2, 'A', 30}, {3, other, 30}});
    }
    const std::vector<phased_call> calls = p.phase();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].ps, 100);
    EXPECT_EQ(calls[3].ps, 100);
    EXPECT_TRUE(calls[3].altFirst);
    EXPECT_EQ(calls[1].ps, 200);
    EXPECT_EQ(calls[2].ps, 200);
    EXPECT_FALSE(calls[2].altFirst);
}

// Counted twice, the second base would make the pair sure enough.
TEST(PhaseSets, OverlappingMatesCountOnceAndNotAtAllWhenTheyDisagree) {
    const std::vector<phase_site> sites = {{100, 'A', 'G', true}, {200, 'C', 'T', true}};
    phaser p(sites, 1.5);
    p.addFragment({{0, 'A', 30}, {1, 'C', 30}, {1, 'T', 30}});
    EXPECT_TRUE(p.phase().empty());
    p.addFragment({{0, 'A', 20}, {1, 'C', 13}, {1, 'C', 13}});  // LOD 1.20, not 1.89
    EXPECT_TRUE(p.phase().empty());
    p.addFragment({{0, 'A', 20}, {1, 'C', 13}, {1, 'C', 30}});  // the better base: LOD 1.95
    EXPECT_EQ(p.phase().size(), 2u);
}

TEST(PhaseSets, SupplementaryObservationsAndAVeryLargeThresholdPlaceNothing) {
    const std::vector<phase_site> sites = {{100, 'A', 'G', true}, {200, 'C', 'T', true}};
    phaser p(sites, 1.5);
    p.addFragment({{0, 'A', 40}, {1, 'C', 40, true}});
    EXPECT_TRUE(p.phase().empty());
    phaser sure(sites, 1e300);
    for (int copy = 0; copy < 50; ++copy) sure.addFragment({{0, 'A', 40}, {1, 'C', 40}});
    EXPECT_TRUE(sure.phase().empty());
}

TEST(PhaseSets, SummaryCountsBlocksAndTheirN50) {
    std::vector<phase_site> sites;
    for (int pos : {100, 200, 1000, 1100, 5000, 9000}) sites.push_back({pos, 'A', 'G', true});
    // Blocks of spans 101, 101 and 4001.
    const std::vector<phased_call> calls = {{0, 100, false}, {1, 100, true},  {2, 1000, false},
                                            {3, 1000, true}, {4, 5000, false}, {5, 5000, false}};
    const block_summary summary = summarize(calls, sites);
    EXPECT_EQ(summary.phasedSnps, 6u);
    EXPECT_EQ(summary.blocks, 3u);
    EXPECT_EQ(summary.n50, 4001);
    EXPECT_EQ(summarize({}, sites).n50, 0);
}

}  // namespace
