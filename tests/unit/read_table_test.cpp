// The read table: observations gather under a read name, in the order made, across growth.
#include <gtest/gtest.h>

#include <algorithm>

#include "read_table.h"

namespace {

using seen = std::vector<std::pair<std::string, std::vector<uint32_t>>>;

std::vector<uint32_t> indicesOf(const std::vector<observation>& obs) {
    std::vector<uint32_t> indices;
    for (const observation& o : obs) indices.push_back(o.idx);
    return indices;
}

// The reads as the PIR file sees them.
seen contents(const read_table& reads) {
    seen out;
    reads.forEach([&](std::string_view name, const std::vector<observation>& obs) {
        out.emplace_back(std::string(name), indicesOf(obs));
    });
    return out;
}

// The reads' sites as the phasing takes them, which empties the table.
std::vector<std::vector<uint32_t>> taken(read_table& reads) {
    std::vector<std::vector<uint32_t>> out;
    reads.takeForPhasing([&](const std::vector<observation>& obs) { out.push_back(indicesOf(obs)); });
    EXPECT_EQ(reads.size(), 0u);
    EXPECT_EQ(reads.observations(), 0u);
    return out;
}

TEST(ReadTable, NamesGatherObservationsInTheOrderMade) {
    read_table reads;
    reads.add("pair", 2, 'A', 30);
    reads.add("single", 1, 'C', 20);
    reads.add("pair", 7, 'G', 27);
    reads.add("pai", 3, 'T', 10);  // a prefix is another name
    EXPECT_EQ(contents(reads), (seen{{"pair", {2, 7}}, {"single", {1}}, {"pai", {3}}}));

    bool checked = false;
    reads.forEach([&](std::string_view name, const std::vector<observation>& obs) {
        if (name != "pair") return;
        EXPECT_EQ(obs[1].base, 'G');
        EXPECT_EQ(obs[1].qual, 27);
        checked = true;
    });
    EXPECT_TRUE(checked);
}

TEST(ReadTable, ManyReadsSurviveGrowthAndClear) {
    read_table reads;
    for (uint32_t round = 0; round < 2; ++round) {
        for (uint32_t i = 0; i < 100000; ++i) reads.add("read" + std::to_string(i), i, 'A', 1);
        for (uint32_t i = 0; i < 100000; i += 3) reads.add("read" + std::to_string(i), i + 1, 'C', 2);
        // Phase-only observations in every block of the pool, found again by their reads.
        for (uint32_t i = 0; i < 100000; i += 5)
            reads.add("read" + std::to_string(i), i + 2, 'G', 9, false, true);
        ASSERT_EQ(reads.size(), 100000u);
        const seen all = contents(reads);
        EXPECT_EQ(all[3], (seen::value_type{"read3", {3, 4}}));
        EXPECT_EQ(all[4], (seen::value_type{"read4", {4}}));
        reads.clear();
        EXPECT_EQ(reads.size(), 0u);
        EXPECT_TRUE(contents(reads).empty());
        reads.add("read99995", 0, 'A', 1);  // the name added last before: a new read all the same
        EXPECT_EQ(contents(reads), (seen{{"read99995", {0}}}));
        reads.clear();
    }
}

// Taking the reads for the phasing gives their blocks back as it passes them: each read comes
// whole all the same, however its observations lie across blocks passed or not (reads made in
// the pool's second block with bases in its third, the first read with one in the last block);
// the table is then as new.
TEST(ReadTable, TakingForPhasingGivesEveryReadWhole) {
    read_table reads;
    constexpr uint32_t count = 200000;
    for (uint32_t round = 0; round < 2; ++round) {
        for (uint32_t i = 0; i < count; ++i) reads.add("read" + std::to_string(i), i, 'A', 1);
        for (uint32_t i = 0; i < count; i += 3) reads.add("read" + std::to_string(i), i + 1, 'C', 2);
        for (uint32_t i = 0; i < count; i += 5)
            reads.add("read" + std::to_string(i), i + 2, 'G', 9, false, true);
        reads.add("read0", count + 1, 'T', 30);
        const auto linking = taken(reads);
        ASSERT_EQ(linking.size(), 66667u + 40000u - 13334u);
        EXPECT_EQ(linking[0], (std::vector<uint32_t>{0, 1, 2, count + 1}));
        EXPECT_EQ(linking[1], (std::vector<uint32_t>{3, 4}));
        for (uint32_t first : {174999u, 175005u, 199995u}) {
            const auto read = std::find_if(linking.begin(), linking.end(),
                                           [&](const auto& sites) { return sites[0] == first; });
            ASSERT_NE(read, linking.end());
            EXPECT_EQ(read->size(), first % 5 == 0 ? 3u : 2u) << first;
        }
        reads.add("read7", 3, 'A', 1);
        EXPECT_EQ(contents(reads), (seen{{"read7", {3}}}));
        reads.clear();
    }
}

TEST(ReadTable, SortingPutsOnlyTheLaterObservationsInSiteOrder) {
    read_table reads;
    reads.add("r", 9, 'A', 1);  // made before the mark: stays first
    reads.add("s", 4, 'A', 1);
    const size_t mark = reads.observations();
    reads.add("r", 5, 'A', 1);
    reads.add("r", 3, 'C', 1);
    reads.add("r", 5, 'G', 2);  // the same site twice keeps its order
    reads.add("r", 1, 'T', 1);
    reads.sortObservationsSince(mark);
    EXPECT_EQ(contents(reads), (seen{{"r", {9, 1, 3, 5, 5}}, {"s", {4}}}));
    std::string bases;
    reads.forEach([&](std::string_view name, const std::vector<observation>& obs) {
        if (name == "r")
            for (const observation& o : obs) bases += static_cast<char>(o.base);
    });
    EXPECT_EQ(bases, "ATCAG");
}

// Phase-only observations stay out of the reads' order of sites as it is sorted, and are merged
// into it for the phasing, however the sites came.
TEST(ReadTable, SortingLeavesPhaseOnlyObservationsWithTheirRead) {
    read_table reads;
    const size_t mark = reads.observations();
    reads.add("r", 5, 'A', 30);
    reads.add("r", 4, 'A', 9, false, true);
    reads.add("s", 6, 'A', 9, false, true);
    reads.add("r", 2, 'A', 30);
    reads.add("r", 1, 'A', 8, false, true);
    reads.add("s", 3, 'A', 30);
    reads.sortObservationsSince(mark);
    EXPECT_EQ(contents(reads), (seen{{"r", {2, 5}}, {"s", {3}}}));
    EXPECT_EQ(taken(reads), (std::vector<std::vector<uint32_t>>{{1, 2, 4, 5}, {3, 6}}));
}

// Phase-only observations change nothing the PIR file and the statistics read: not the reads,
// not their order (a read first met by a phase-only base comes where its first other base
// puts it), not the count; the phasing sees them all, in each read's order.
TEST(ReadTable, PhaseOnlyObservationsAreSeenByThePhasingAlone) {
    read_table reads;
    for (int round = 0; round < 2; ++round) {  // taking them leaves none behind
        reads.add("early", 1, 'A', 30);
        reads.add("late", 2, 'A', 9, false, true);  // met first by a phase-only base
        reads.add("hidden", 2, 'C', 8, false, true);
        reads.add("middle", 3, 'G', 30);
        reads.add("late", 4, 'T', 30);
        reads.add("early", 5, 'C', 10, false, true);
        reads.add("hidden", 6, 'A', 9, false, true);
        EXPECT_EQ(contents(reads), (seen{{"early", {1}}, {"middle", {3}}, {"late", {4}}}));
        EXPECT_EQ(reads.size(), 3u);
        EXPECT_EQ(taken(reads), (std::vector<std::vector<uint32_t>>{{1, 5}, {2, 4}, {2, 6}}));
        reads.add("after", 7, 'A', 30);
        EXPECT_EQ(contents(reads), (seen{{"after", {7}}}));
        EXPECT_EQ(reads.size(), 1u);
        reads.clear();
    }
}

}  // namespace
