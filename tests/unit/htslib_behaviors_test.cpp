// Pins the htslib behaviours the scan relies on, so that an htslib upgrade that changes one of
// them fails here rather than quietly changing the output.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bamutils.h"
#include "hts_handles.h"
#include "run_program.h"
#include "sam_fixture.h"

namespace {

struct entry {
    std::string name;
    bool isDel;
    bool isRefskip;
    signed char base; // extractBase at the column
};

struct column {
    uint32_t pos;
    std::vector<entry> entries;
};

int collect(uint32_t, uint32_t pos, int n, const bam_pileup1_t* pl, void* data) {
    column c{pos, {}};
    for (int i = 0; i < n; ++i) {
        c.entries.push_back({bamutils::extractName(pl[i].b), pl[i].is_del != 0,
                             pl[i].is_refskip != 0, bamutils::extractBase(pl[i].b, pos)});
    }
    static_cast<std::vector<column>*>(data)->push_back(c);
    return 0;
}

bam1_ptr record(const std::string& name, int flag, int pos1, const std::string& cigar,
                const std::string& seq) {
    return sam_fixture::parseRecord(name + " " + std::to_string(flag) + " chr1 " +
                                    std::to_string(pos1) + " 60 " + cigar + " * 0 0 " + seq +
                                    " " + std::string(seq.size(), 'I'));
}

std::vector<std::string> namesAt(const std::vector<column>& columns, uint32_t pos) {
    std::vector<std::string> names;
    for (const column& c : columns) {
        if (c.pos != pos) continue;
        for (const entry& e : c.entries) names.push_back(e.name);
    }
    return names;
}

TEST(htslib_pileup, bufferDropsMaskedFlagsButHtslibAloneDoesNot) {
    const struct {
        const char* name;
        int flag;
    } reads[] = {{"plain", 0},   {"unmapped", 0x4}, {"secondary", 0x100}, {"qcfail", 0x200},
                 {"dup", 0x400}, {"suppl", 0x800},  {"paired", 0x63}};
    std::vector<column> ours;
    pileup_buffer buffer(collect, &ours);
    bam_plp_t raw = bam_plp_init(nullptr, nullptr);
    for (const auto& r : reads) {
        bam1_ptr b = record(r.name, r.flag, 101, "2M", "AC");
        EXPECT_EQ(buffer.push(b.get()), 0) << r.name;
        EXPECT_EQ(bam_plp_push(raw, b.get()), 0) << r.name;
    }
    buffer.flush();
    EXPECT_EQ(namesAt(ours, 100), (std::vector<std::string>{"plain", "suppl", "paired"}));

    // htslib on its own drops only the unmapped record: that is why the buffer masks.
    bam_plp_push(raw, nullptr);
    int tid = 0, n = 0;
    hts_pos_t pos = 0;
    ASSERT_NE(bam_plp64_next(raw, &tid, &pos, &n), nullptr);
    EXPECT_EQ(pos, 100);
    EXPECT_EQ(n, 6);
    bam_plp_destroy(raw);
}

TEST(htslib_pileup, depthCapOf8000AtTheSameStart) {
    std::vector<column> columns;
    pileup_buffer buffer(collect, &columns);
    bam1_ptr first = record("first", 0, 101, "3M", "ACG");
    bam1_ptr next = record("next", 0, 102, "2M", "CG");
    for (int i = 0; i < pileup_depth_cap + 100; ++i) buffer.push(first.get());
    // One record starting further on is taken, then the cap bites again at its start.
    for (int i = 0; i < 5; ++i) buffer.push(next.get());
    buffer.flush();
    ASSERT_EQ(columns.size(), 3u);
    EXPECT_EQ(columns[0].entries.size(), 8000u);
    EXPECT_EQ(columns[1].entries.size(), 8001u);
    EXPECT_EQ(columns[2].entries.size(), 8001u);
}

TEST(htslib_pileup, columnsIncreaseAndSkipUncoveredPositions) {
    std::vector<column> columns;
    pileup_buffer buffer(collect, &columns);
    bam1_ptr a = record("a", 0, 101, "3M", "ACG");
    bam1_ptr b = record("b", 0, 102, "3M", "CGT");
    bam1_ptr c = record("c", 0, 111, "1M", "T");
    buffer.push(a.get());
    buffer.push(b.get());
    // Columns before b's start are out before the flush: no later record can change them.
    EXPECT_EQ(columns.size(), 1u);
    buffer.push(c.get());
    buffer.flush();
    std::vector<uint32_t> positions;
    std::vector<size_t> depths;
    for (const column& col : columns) {
        positions.push_back(col.pos);
        depths.push_back(col.entries.size());
    }
    EXPECT_EQ(positions, (std::vector<uint32_t>{100, 101, 102, 103, 110}));
    EXPECT_EQ(depths, (std::vector<size_t>{1, 2, 2, 1, 1}));
    EXPECT_EQ(namesAt(columns, 101), (std::vector<std::string>{"a", "b"})); // push order
}

TEST(htslib_pileup, deletionAndSkipEntriesHaveNoBase) {
    std::vector<column> columns;
    pileup_buffer buffer(collect, &columns);
    bam1_ptr del = record("del", 0, 101, "2M2D2M", "ACGT");
    bam1_ptr skip = record("skip", 0, 101, "2M2N2M", "ACGT");
    buffer.push(del.get());
    buffer.push(skip.get());
    buffer.flush();
    ASSERT_EQ(columns.size(), 6u);
    const column& inGap = columns[2];
    ASSERT_EQ(inGap.pos, 102u);
    ASSERT_EQ(inGap.entries.size(), 2u);
    EXPECT_TRUE(inGap.entries[0].isDel);
    EXPECT_FALSE(inGap.entries[0].isRefskip);
    EXPECT_TRUE(inGap.entries[1].isRefskip);
    for (const entry& e : inGap.entries) EXPECT_EQ(e.base, -1) << e.name;
    EXPECT_EQ(columns[4].entries[0].base, 'G');
}

TEST(htslib_pileup, resetAcceptsRecordsThatStartEarlier) {
    std::vector<column> columns;
    pileup_buffer buffer(collect, &columns);
    bam1_ptr late = record("late", 0, 201, "1M", "A");
    bam1_ptr early = record("early", 0, 101, "1M", "C");
    ASSERT_EQ(buffer.push(late.get()), 0);
    buffer.flush();
    buffer.reset();
    ASSERT_EQ(buffer.push(early.get()), 0);
    buffer.flush();
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[1].pos, 100u);
}

TEST(htslib_pileup, outOfOrderRecordIsRefusedUntilReset) {
    std::vector<column> columns;
    pileup_buffer buffer(collect, &columns);
    bam1_ptr late = record("late", 0, 201, "1M", "A");
    bam1_ptr early = record("early", 0, 101, "1M", "C");
    ASSERT_EQ(buffer.push(late.get()), 0);
    EXPECT_LT(buffer.push(early.get()), 0);
    EXPECT_LT(buffer.push(late.get()), 0); // htslib's error sticks
    buffer.flush();
    EXPECT_TRUE(columns.empty());
    buffer.reset();
    ASSERT_EQ(buffer.push(early.get()), 0);
    buffer.flush();
    EXPECT_EQ(namesAt(columns, 100), std::vector<std::string>{"early"});
}

// The reason reset() makes a broken buffer anew.
TEST(htslib_pileup, plpResetKeepsTheErrorOfAnOutOfOrderPush) {
    bam1_ptr late = record("late", 0, 201, "1M", "A");
    bam1_ptr early = record("early", 0, 101, "1M", "C");
    bam_plp_t raw = bam_plp_init(nullptr, nullptr);
    EXPECT_EQ(bam_plp_push(raw, late.get()), 0);
    EXPECT_LT(bam_plp_push(raw, early.get()), 0);
    bam_plp_reset(raw);
    EXPECT_LT(bam_plp_push(raw, early.get()), 0);
    int tid = 0, n = 0;
    hts_pos_t pos = 0;
    EXPECT_EQ(bam_plp64_next(raw, &tid, &pos, &n), nullptr);
    EXPECT_EQ(n, -1); // NULL with -1 is the error, NULL with 0 the end
    bam_plp_destroy(raw);
}

const char* const threeReads = R"(
@HD VN:1.6 SO:coordinate
@SQ SN:chr1 LN:1000
@SQ SN:chr2 LN:1000
before 0 chr1 90 60 10M * 0 0 ACGTACGTAC IIIIIIIIII
over 0 chr1 95 60 2M20N4M * 0 0 ACGTAC IIIIII
cover 0 chr1 100 60 5M * 0 0 ACGTA IIIII
other 0 chr2 100 60 5M * 0 0 ACGTA IIIII
)";

// Names of the records overlapping [beg0, end0) of target tid, and the last sam_itr_next result.
std::pair<std::vector<std::string>, int> fetch(samFile* in, hts_idx_t* idx, int tid, int beg0,
                                               int end0) {
    hts_itr_ptr itr(sam_itr_queryi(idx, tid, beg0, end0));
    EXPECT_NE(itr, nullptr);
    bam1_ptr b(bam_init1());
    std::vector<std::string> names;
    int ret = 0;
    while ((ret = sam_itr_next(in, itr.get(), b.get())) >= 0) names.push_back(bam_get_qname(b));
    return {names, ret};
}

TEST(htslib_fetch, oneBaseRegionEndsWithMinusOne) {
    const std::string bam = sam_fixture::writeBam(freshScratchDir(), "reads", threeReads);
    sam_file_ptr in(sam_open(bam.c_str(), "r"));
    ASSERT_NE(in, nullptr);
    sam_hdr_ptr hdr(sam_hdr_read(in.get()));
    hts_idx_ptr idx(sam_index_load(in.get(), bam.c_str()));
    ASSERT_NE(idx, nullptr);
    using result = std::pair<std::vector<std::string>, int>;
    // The base at 1-based 100: a read whose skip spans it is fetched too; one ending at 99 is not.
    EXPECT_EQ(fetch(in.get(), idx.get(), 0, 99, 100), (result{{"over", "cover"}, -1}));
    EXPECT_EQ(fetch(in.get(), idx.get(), 0, 500, 501), (result{{}, -1}));
    EXPECT_EQ(fetch(in.get(), idx.get(), 1, 99, 100), (result{{"other"}, -1}));
}

TEST(htslib_fetch, cramFixtureReadsBackWithItsReference) {
    const std::string folder = freshScratchDir();
    const std::string fasta = folder + "/ref.fa";
    std::ofstream(fasta) << ">chr1\n" << std::string(1000, 'A') << "\n>chr2\n"
                         << std::string(1000, 'C') << "\n";
    const std::string cram = sam_fixture::writeCram(folder, "reads", threeReads, fasta);
    sam_file_ptr in(sam_open(cram.c_str(), "r"));
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(hts_set_opt(in.get(), CRAM_OPT_REFERENCE, fasta.c_str()), 0);
    sam_hdr_ptr hdr(sam_hdr_read(in.get()));
    hts_idx_ptr idx(sam_index_load(in.get(), cram.c_str()));
    ASSERT_NE(idx, nullptr);
    hts_itr_ptr itr(sam_itr_queryi(idx.get(), 0, 99, 100));
    bam1_ptr b(bam_init1());
    ASSERT_GE(sam_itr_next(in.get(), itr.get(), b.get()), 0);
    ASSERT_GE(sam_itr_next(in.get(), itr.get(), b.get()), 0);
    EXPECT_EQ(bamutils::extractName(b.get()), "cover");
    EXPECT_EQ(bamutils::extractRead(b.get()), "ACGTA");
    EXPECT_EQ(sam_itr_next(in.get(), itr.get(), b.get()), -1);
}

// The index indexedInputs names is the one htslib loads: here the last name it tries, then
// a .csi, which it tries first (and so fails on, as this one is no index).
TEST(htslib_index, loadedFromTheNameIndexedInputsGives) {
    const std::string folder = freshScratchDir();
    const std::string bam = sam_fixture::writeBam(folder, "reads", threeReads);
    const auto loads = [&] {
        sam_file_ptr in(sam_open(bam.c_str(), "r"));
        return hts_idx_ptr(sam_index_load(in.get(), bam.c_str())) != nullptr;
    };
    std::rename((bam + ".bai").c_str(), (folder + "/reads.bai").c_str());
    EXPECT_EQ(indexedInputs(bam, {".bai"})[1], folder + "/reads.bai");
    EXPECT_TRUE(loads());
    writeFile(folder + "/reads.csi", "not an index");
    EXPECT_EQ(indexedInputs(bam, {".bai"})[1], folder + "/reads.csi");
    EXPECT_FALSE(loads());
}

} // namespace
