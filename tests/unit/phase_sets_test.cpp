// The read-backed phasing on fragments drawn from known haplotypes with sequencing errors.
#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "phase_sets.h"

namespace {

struct simulation {
    std::vector<phase_site> sites;
    std::vector<bool> altOnFirst;  // the true phase
    std::vector<std::vector<observation>> fragments;
};

// `count` sites 100 bp apart; reads of 2 to 4 consecutive sites from either haplotype, each
// base wrong with probability `error` (then the other allele, the worst kind of error).
simulation simulate(uint32_t seed, int count, int reads, double error) {
    std::mt19937 rng(seed);
    simulation sim;
    for (int k = 0; k < count; ++k) {
        sim.sites.push_back({100 * (k + 1), 'A', 'G', true});
        sim.altOnFirst.push_back(rng() % 2);
    }
    std::uniform_real_distribution<double> uniform(0, 1);
    for (int r = 0; r < reads; ++r) {
        const int start = static_cast<int>(rng() % static_cast<uint32_t>(count - 1));
        const int length = 2 + static_cast<int>(rng() % 3);
        const bool first = rng() % 2;
        std::vector<observation> obs;
        for (int k = start; k < std::min(count, start + length); ++k) {
            const bool alt = (sim.altOnFirst[k] == first) != (uniform(rng) < error);
            obs.push_back({static_cast<uint32_t>(k), static_cast<uint8_t>(alt ? 'G' : 'A'), 20});
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
