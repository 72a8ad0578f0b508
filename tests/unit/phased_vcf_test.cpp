// The phase sets file's second read of the VCF: only the very file the run read first is used.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <htslib/tbx.h>

#include "data_set.h"
#include "hts_handles.h"
#include "packed_calls.h"
#include "phase_values.h"
#include "phased_vcf.h"
#include "run_program.h"
#include "vcf_fields.h"
#include "vcf_output.h"

namespace {

// The writer and the gather rewrite values alike through these: a value outside the reads'
// blocks keeps everything but the phase its VCF gave, appended after what `out` holds.
TEST(PhaseValues, AValueOutsideTheBlocksLosesOnlyThePhaseItsVcfGave) {
    const struct {
        const char *format, *value, *expected;
    } cases[] = {
        {"GT", "0|1", "0/1"},         {"GT", "1|1", "1|1"},
        {"GT", "0/1", "0/1"},         {"GT", "0|1|1", "0/1/1"},
        {"GT", "1|.", "1/."},         {"GT", ".|.", ".|."},
        {"GT:PS", "1|0:100", "1/0:."}, {"GT:PS", "1|0", "1/0"},
        {"GT:PS", "0/1:.", "0/1:."},   {"DP:GT:PS", "7:0|1:5", "7:0/1:."},
        {"PS:GT", "100:1|0", ".:1/0"}, {"DP", "0|1", "0|1"},
    };
    for (const auto& c : cases) {
        std::string out = "before\t";
        const bool changed = appendUnphased(c.value, keysOf(c.format), out);
        EXPECT_EQ(out, std::string("before\t") + c.expected) << c.format << " " << c.value;
        EXPECT_EQ(changed, std::string(c.value) != c.expected) << c.format << " " << c.value;
    }
}

TEST(PhaseValues, APhasedValueTakesItsPhaseSetWhereTheFormatPutsIt) {
    const phased_call cis{0, 100, false}, trans{0, 5, true};
    format_keys keys;
    // What is appended after the line so far; "none" when nothing is.
    const auto phased = [&](std::string_view value, const phased_call& call) {
        std::string out = "before\t";
        const bool appended = appendPhased(value, keys.gt, phaseSetIndex(keys), call, out);
        EXPECT_EQ(appended, out != "before\t") << value;
        return appended ? out.substr(7) : "none";
    };
    keys = keysOf("GT");
    EXPECT_EQ(phased("0/1", cis), "0|1:100");
    EXPECT_EQ(phased("0/1/1", cis), "none");
    keys = keysOf("DP:GT");
    EXPECT_EQ(phased("7:1/0", trans), "7:1|0:5");
    keys = keysOf("GT:DP:PS");
    EXPECT_EQ(phased("0/1", cis), "0|1:.:100");
    EXPECT_EQ(phased("1|0:3:77", trans), "1|0:3:5");
}

// A line's fields cut on after its first ones are those cut in one go, blanks and all.
TEST(PhaseValues, FieldsCutOnAfterTheFirstOnesAreTheFieldsOfTheLine) {
    for (const std::string line : {"a\tb\t\tc", "a b  c ", "a\t", "\ta\tb", "a", ""})
        for (size_t first = 0; first <= 5; ++first)
            for (size_t limit = 0; limit <= 6; ++limit) {
                std::vector<std::string_view> fields;
                firstFields(line, first, fields);
                moreFields(line, limit, fields);
                EXPECT_EQ(fields, firstFields(line, limit)) << line << " " << first << " " << limit;
            }
}

const std::string sample_line = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2";
const std::string swapped_line = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS2\tS1";

std::string vcfText(const std::string& sampleLine) {
    return "##fileformat=VCFv4.2\n" + sampleLine + "\n20\t100\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0|1\n";
}

// Reads the VCF as the run does, lets `change` act on it, then writes the phase sets, and exits
// 0 when that went through.
void writeAfter(const std::string& dir, void (*change)(const std::string& vcf)) {
    const std::string vcf = dir + "/calls.vcf";
    std::ofstream(vcf) << vcfText(sample_line);
    vcf_identity first = vcf_identity::of(vcf);
    first.sampleLine = sample_line;
    data_set data(13, 10);
    data.readVcf(vcf.c_str(), 0, 1000000000);
    change(vcf);
    phased_vcf out(dir + "/phased.vcf");
    out.write({vcf, nullptr, "20", 0, 1000000000, first}, data.sites, "bridgeScan", nullptr);
    std::exit(0);
}

// The same size, the same inode, the modification time put back: only the sample line tells.
void swapSamples(const std::string& vcf) {
    struct stat before;
    stat(vcf.c_str(), &before);
    std::ofstream(vcf) << vcfText(swapped_line);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    utimensat(AT_FDCWD, vcf.c_str(), times, 0);
}

void touch(const std::string& vcf) {
    struct stat before;
    stat(vcf.c_str(), &before);
    timespec later = before.st_mtim;
    later.tv_sec += 1;
    const timespec times[2] = {before.st_atim, later};
    utimensat(AT_FDCWD, vcf.c_str(), times, 0);
}

// The same bytes in another file put in its place.
void replace(const std::string& vcf) {
    std::ofstream(vcf + ".new") << vcfText(sample_line);
    std::rename((vcf + ".new").c_str(), vcf.c_str());
}

// A sample's calls wait packed for the write: they come back exactly, in the order given, and
// in site order cost a byte or two each, not the twelve of a phased_call.
TEST(PackedCalls, CallsComeBackAsGivenAndTakeAByteOrTwoEach) {
    const std::vector<phased_call> odd = {
        {0, 0, false},        {0, 0, true},         {7, 1, false},  {3, -5, true},
        {UINT32_MAX, INT32_MAX, true}, {1, INT32_MIN, false}, {1, INT32_MIN, true},
    };
    std::vector<phased_call> bySite;
    for (uint32_t k = 0; k < 100000; ++k) {  // blocks of a dozen sites, some inside others
        const uint32_t site = 20 * k + k % 7;
        const int32_t firstOfBlock = static_cast<int32_t>(k / 12 * 12 * 40 + 1000);
        bySite.push_back({site, k % 97 == 3 ? 17 : firstOfBlock, (k * 7919) % 3 == 0});
    }
    for (const auto& calls : {odd, bySite, std::vector<phased_call>()}) {
        const packed_calls packed(calls);
        packed_calls::reader reader(packed);
        std::vector<phased_call> back;
        for (phased_call call; reader.next(call);) back.push_back(call);
        ASSERT_EQ(back.size(), calls.size());
        for (size_t k = 0; k < calls.size(); ++k) {
            EXPECT_EQ(back[k].site, calls[k].site) << k;
            EXPECT_EQ(back[k].ps, calls[k].ps) << k;
            EXPECT_EQ(back[k].altFirst, calls[k].altFirst) << k;
        }
    }
    EXPECT_LT(packed_calls(bySite).bytesUsed(), bySite.size() * 2);
}

TEST(PhasedVcf, AVcfThatIsNoLongerTheFileReadFirstStopsTheRun) {
    for (void (*change)(const std::string&) : {swapSamples, touch, replace})
        EXPECT_EXIT(writeAfter(freshScratchDir(), change), testing::ExitedWithCode(1),
                    "VCF file \\[.*calls.vcf\\] changed during the run: no phase sets written");
    EXPECT_EXIT(writeAfter(freshScratchDir(), [](const std::string&) {}),
                testing::ExitedWithCode(0), "");
}

std::string bytesOf(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

// A file for the index: its records, and the one (or -1) with an INFO/END or with its POS
// written with a leading 0 (which htslib's index reads in octal), which it leaves to htslib.
struct index_case {
    const char* name;
    int records, withEnd, zeroPadded;
};

// Writes a bgzipped VCF of two chromosomes, a record in each 16 kb window of the index, whose lines
// end now and then exactly at the end of a BGZF block (a reader then stands at the next block's
// start); returns its index, and the one htslib builds from a copy of the file.
std::pair<std::string, std::string> indexes(const std::string& dir, hts_tpool* pool,
                                            const index_case& file) {
    const std::string path = dir + "/phased.vcf.gz";
    {
        vcf_output out(path, pool);
        size_t text = 0;
        const auto put = [&](const std::string& line) {
            out.put(line);
            text += line.size() + 1;
        };
        put("##fileformat=VCFv4.2");
        put("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1");
        for (int k = 0; k < file.records; ++k) {
            const int pos = 100 + k * 16411;
            const std::string head = (k < file.records / 2 ? "chr1\t" : "chr2\t") +
                                     std::string(k == file.zeroPadded ? "0" : "") +
                                     std::to_string(pos) + "\t.\tAC\tG\t.\t.\t" +
                                     (k == file.withEnd ? "END=" + std::to_string(pos + 500) + ";"
                                                        : "") +
                                     "X=";
            const std::string tail = "\tGT\t0/1";
            const size_t room = BGZF_BLOCK_SIZE - text % BGZF_BLOCK_SIZE - 1;
            size_t pad = 1 + static_cast<size_t>(k * 7919 % 300);
            if (k % 97 == 0 && room > head.size() + tail.size()) pad = room - head.size() - tail.size();
            put(head + std::string(pad, 'a') + tail);
        }
        out.close();
        safe_output::finishAll(out.outputs());
    }
    const std::string copy = dir + "/copy.vcf.gz";
    std::ofstream(copy, std::ios::binary) << bytesOf(path);
    EXPECT_EQ(tbx_index_build2(copy.c_str(), (copy + ".tbi").c_str(), 0, &tbx_conf_vcf), 0);
    return {bytesOf(path + ".tbi"), bytesOf(copy + ".tbi")};
}

TEST(PhasedVcf, TheIndexBuiltAsTheLinesAreWrittenIsTheOneHtslibBuildsFromTheFile) {
    const hts_tpool_ptr pool = startThreadPool(2);
    const index_case files[] = {{"plain", 6000, -1, -1},
                                {"an INFO/END", 6000, 10, -1},
                                {"a POS with a leading 0", 6000, -1, 0},
                                {"no records", 0, -1, -1}};
    for (hts_tpool* threads : {static_cast<hts_tpool*>(nullptr), pool.get()})
        for (const index_case& file : files) {
            const auto [written, built] = indexes(freshScratchDir(), threads, file);
            EXPECT_FALSE(written.empty());
            EXPECT_TRUE(written == built) << file.name << (threads ? ", threads" : "");
        }
}

}  // namespace
