// Every SAM, BAM and CRAM file of htslib's own test data, scanned by the built program at a few
// sites on each of its references: the run must end with status 0 or a clear message, never a
// signal or a sanitizer report, and a finished run must leave a well-formed output file.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <htslib/hts.h>

#include "hts_handles.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

// Where Debian's htslib-test package puts the data; HTSLIB_TEST_DATA points elsewhere.
fs::path dataFolder() {
    const char* folder = std::getenv("HTSLIB_TEST_DATA");
    return folder ? fs::path(folder) : fs::path("/usr/share/htslib-test/test");
}

bool isAlignmentFile(const fs::path& file) {
    const std::string extension = file.extension().string();
    return extension == ".sam" || extension == ".bam" || extension == ".cram";
}

// Paths relative to the data folder, sorted, so that test names stay stable.
std::vector<std::string> alignmentFiles() {
    std::vector<std::string> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(dataFolder(), error), end; !error && it != end;
         it.increment(error))
        if (it->is_regular_file() && isAlignmentFile(it->path()))
            files.push_back(fs::relative(it->path(), dataFolder()).string());
    std::sort(files.begin(), files.end());
    if (files.empty()) files.push_back("");  // one test, which says why nothing ran
    return files;
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
    if (info.param.empty()) return "no_htslib_test_data";
    std::string name = info.param;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// --- References for CRAM: the FASTA files beside the data, stored under their MD5 --------------

// The sequences of a FASTA file, keyed by name, as CRAM checksums them: upper case, printable.
std::map<std::string, std::string> fastaSequences(const fs::path& fasta) {
    std::map<std::string, std::string> sequences;
    std::ifstream in(fasta);
    std::string line, name;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '>') {
            std::istringstream words(line.substr(1));
            words >> name;
            sequences[name];
            continue;
        }
        for (char c : line)
            if (c > 32 && c < 127) sequences[name] += static_cast<char>(std::toupper(c));
    }
    return sequences;
}

std::string md5Hex(const std::string& text) {
    hts_md5_context* md5 = hts_md5_init();
    if (!md5) throw std::runtime_error("hts_md5_init failed");
    hts_md5_update(md5, text.data(), static_cast<unsigned long>(text.size()));
    unsigned char digest[16];
    hts_md5_final(digest, md5);
    hts_md5_destroy(md5);
    char hex[33];
    hts_md5_hex(hex, digest);
    return hex;
}

// CRAM files name their reference by the MD5 of each sequence (M5 tags). Storing the FASTA
// files found beside a CRAM file under those names and pointing REF_PATH and REF_CACHE there
// lets htslib, here and in the program, decode it without ever looking on the network.
void useLocalReferences(const fs::path& input, const fs::path& scratch) {
    const fs::path refs = scratch / "refs";
    fs::create_directories(refs);
    const std::string pattern = (refs / "%s").string();
    setenv("REF_PATH", pattern.c_str(), 1);
    setenv("REF_CACHE", pattern.c_str(), 1);
    if (input.extension() != ".cram") return;
    for (const auto& entry : fs::directory_iterator(input.parent_path())) {
        if (entry.path().extension() != ".fa") continue;
        for (const auto& [name, sequence] : fastaSequences(entry.path()))
            std::ofstream(refs / md5Hex(sequence), std::ios::binary) << sequence;
    }
}

// --- Reading and converting through htslib ----------------------------------------------------

struct alignments {
    sam_hdr_ptr header;
    std::vector<bam1_ptr> records;
    std::string problem;  // why htslib could not read the file; empty when it could
};

alignments readAll(const fs::path& path) {
    alignments in;
    sam_file_ptr file(sam_open(path.c_str(), "r"));
    if (file) in.header.reset(sam_hdr_read(file.get()));
    if (!in.header) {
        in.problem = file ? "sam_hdr_read fails" : "sam_open fails";
        return in;
    }
    for (;;) {
        bam1_ptr b(bam_init1());
        const int status = sam_read1(file.get(), in.header.get(), b.get());
        if (status == -1) break;
        if (status < -1) {
            in.problem = "sam_read1 fails at record " + std::to_string(in.records.size() + 1) +
                         " (status " + std::to_string(status) + ")";
            break;
        }
        in.records.push_back(std::move(b));
    }
    return in;
}

// Coordinate order puts records without a reference (tid -1) last.
bool before(const bam1_ptr& a, const bam1_ptr& b) {
    const auto key = [](const bam1_t* r) {
        return std::make_pair(static_cast<uint32_t>(r->core.tid), r->core.pos);
    };
    return key(a.get()) < key(b.get());
}

bool isSorted(const std::vector<bam1_ptr>& records) {
    return std::is_sorted(records.begin(), records.end(), before);
}

// Writes a coordinate-sorted BAM with its index; returns what failed, or an empty string.
std::string writeIndexedBam(const std::string& path, alignments& in) {
    std::stable_sort(in.records.begin(), in.records.end(), before);
    sam_file_ptr out(sam_open(path.c_str(), "wb"));
    if (!out) return "cannot create " + path;
    if (sam_hdr_write(out.get(), in.header.get()) < 0) return "sam_hdr_write fails";
    for (size_t k = 0; k < in.records.size(); ++k)
        if (sam_write1(out.get(), in.header.get(), in.records[k].get()) < 0)
            return "sam_write1 fails at record " + std::to_string(k + 1);
    if (sam_close(out.release()) < 0) return "closing the BAM fails";
    if (sam_index_build(path.c_str(), 0) < 0) return "sam_index_build fails";
    return "";
}

// --- The run's inputs -----------------------------------------------------------------------

// A few 1-based positions per reference around the first, middle and last read: just before
// it, on its first bases, inside it, on its last base and just after it, so that the pile-up
// meets bases, clips, insertions, deletions and both ends of reads. At most eight references.
std::map<std::string, std::set<int32_t>> chooseSites(const alignments& in) {
    std::map<int32_t, std::vector<const bam1_t*>> mapped;
    for (const bam1_ptr& b : in.records)
        if (b->core.tid >= 0 && b->core.pos >= 0 && bam_endpos(b.get()) < INT32_MAX - 20 &&
            !(b->core.flag & BAM_FUNMAP))
            mapped[b->core.tid].push_back(b.get());
    std::map<std::string, std::set<int32_t>> sites;
    for (const auto& [tid, reads] : mapped) {
        if (sites.size() == 8) break;
        std::set<int32_t>& here = sites[sam_hdr_tid2name(in.header.get(), tid)];
        for (size_t pick : {size_t{0}, reads.size() / 2, reads.size() - 1}) {
            const int64_t start = reads[pick]->core.pos + 1, end = bam_endpos(reads[pick]);
            for (int64_t pos : {start - 1, start, start + 1, start + 20, end, end + 1})
                if (pos > 0) here.insert(static_cast<int32_t>(pos));
        }
    }
    return sites;
}

const char* const sample_names[] = {"converted", "original"};

// Every sample is heterozygous at every site.
void writeVcf(const std::string& path, const std::map<std::string, std::set<int32_t>>& sites) {
    std::ofstream out(path);
    out << "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t"
        << sample_names[0] << '\t' << sample_names[1] << '\n';
    for (const auto& [reference, positions] : sites)
        for (int32_t pos : positions)
            out << reference << '\t' << pos << "\t.\tA\tC\t.\t.\t.\tGT\t0|1\t1/0\n";
}

// Each file, to be scanned on `reference`.
void writeBamList(const std::string& path, const std::string& reference,
                  const std::vector<std::string>& files) {
    std::ofstream out(path);
    for (size_t s = 0; s < files.size(); ++s)
        if (!files[s].empty())
            out << sample_names[s] << ' ' << files[s] << ' ' << reference << '\n';
}

// --- The output ------------------------------------------------------------------------------

std::vector<std::string> fields(const std::string& line, char separator) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, separator);) out.push_back(f);
    return out;
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() < 10 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A PIR line: two or more (site, base, quality) triples at increasing sites of the map.
std::string pirLineProblem(const std::string& line, int siteCount) {
    const std::vector<std::string> f = fields(line, '\t');
    if (f.size() < 6 || f.size() % 3 != 0) return "a PIR line without two or more triples";
    long last = -1;
    for (size_t k = 0; k < f.size(); k += 3) {
        if (!isNumber(f[k]) || !isNumber(f[k + 2])) return "a PIR field that is not a number";
        const long site = std::stol(f[k]);
        if (site <= last || site >= siteCount) return "PIR sites out of order or out of the map";
        if (f[k + 1].size() != 1 || std::string("ACGTN").find(f[k + 1]) == std::string::npos)
            return "a PIR base that is not a letter of ACGTN";
        if (std::stol(f[k + 2]) > 255) return "a base quality above 255";
        last = site;
    }
    return "";
}

// The map of every site, then one block per listed sample in VCF order. Fills the PIR lines of
// each sample, sorted, and returns what is wrong, or an empty string.
std::string outputProblem(const std::string& text, int siteCount,
                          const std::vector<std::string>& samples,
                          std::map<std::string, std::vector<std::string>>& pirs) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != "MAP " + std::to_string(siteCount)) return "no MAP line";
    for (int k = 0; k < siteCount; ++k)
        if (!std::getline(in, line) || fields(line, '\t').size() != 3) return "a short map";
    for (const std::string& sample : samples) {
        if (!std::getline(in, line)) return "no block for " + sample;
        const std::vector<std::string> head = fields(line, ' ');
        if (head.size() != 2 || head[0] != sample || !isNumber(head[1])) return "a bad block head";
        std::vector<std::string>& lines = pirs[sample];
        for (long k = std::stol(head[1]); k > 0; --k) {
            if (!std::getline(in, line)) return "a block shorter than its count";
            const std::string problem = pirLineProblem(line, siteCount);
            if (!problem.empty()) return problem + ": " + line;
            lines.push_back(line);
        }
        std::sort(lines.begin(), lines.end());
    }
    return std::getline(in, line) ? "text after the last block" : "";
}

bool isSanitizerReport(const std::string& err) {
    return err.find("Sanitizer") != std::string::npos || err.find("runtime error") != std::string::npos;
}

std::string lastLine(const std::string& text) {
    std::string last;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) last = line;
    return last;
}

// The outcome goes to the test's log and to outcome.txt in its scratch folder.
void recordOutcome(const std::string& dir, const std::string& file, const std::string& outcome) {
    std::ofstream(fs::path(dir) / "outcome.txt") << file << '\t' << outcome << '\n';
    testing::Test::RecordProperty("outcome", outcome);
    std::cout << "[ OUTCOME  ] " << file << ": " << outcome << std::endl;
}

// The file as it is, linked into the scratch folder with an index of its own, when the program
// can take it (BAM or CRAM, coordinate-sorted, indexable): its name there, or empty. `note`
// says which.
std::string asItIs(const fs::path& input, const std::string& dir, bool sorted, std::string& note) {
    if (input.extension() == ".sam") {
        note = "not scanned as it is (SAM text)";
        return "";
    }
    const std::string name = "original" + input.extension().string();
    const fs::path link = fs::path(dir) / name;
    fs::create_symlink(input, link);
    if (!sorted) {
        note = "not scanned as it is (not coordinate-sorted)";
        return "";
    }
    if (sam_index_build(link.c_str(), 0) < 0) {
        note = "not scanned as it is (htslib cannot index it)";
        return "";
    }
    note = "also scanned as it is";
    return name;
}

// Scans the files on one reference, with thresholds that let every mapped base through, a
// missing quality (255) included, so that every record covering a site goes through the
// accessors. Adds what happened to `outcome`.
void scanReference(const std::string& dir, const std::string& reference, int siteCount,
                   bool original, std::ostringstream& outcome) {
    const program_result run =
        runProgram({"--vcf", "sites.vcf", "--bam", "bam.list", "--out", "out.txt", "--chrom",
                    reference, "--base-quality", "-1", "--read-quality", "0"}, dir);
    outcome << "status " << run.status;
    ASSERT_LT(run.status, 128) << "killed by signal " << run.status - 128 << "\n" << run.err;
    ASSERT_FALSE(isSanitizerReport(run.err)) << run.err;
    if (run.status != 0) {
        ASSERT_EQ(run.status, 1) << run.err;
        EXPECT_FALSE(lastLine(run.err).empty()) << "stopped without a message";
        outcome << " with \"" << lastLine(run.err) << "\"";
        return;
    }
    std::vector<std::string> scanned = {sample_names[0]};
    if (original) scanned.push_back(sample_names[1]);
    std::map<std::string, std::vector<std::string>> pirs;
    const std::string problem = outputProblem(readFile(dir + "/out.txt"), siteCount, scanned, pirs);
    EXPECT_EQ(problem, "") << reference;
    // The same records, read from the file as it is and from its BAM copy, give the same PIRs.
    if (original) {
        EXPECT_EQ(pirs[sample_names[0]], pirs[sample_names[1]]) << reference;
    }
    outcome << ", " << pirs[sample_names[0]].size() << " PIRs";
}

class RealWorld : public testing::TestWithParam<std::string> {};

TEST_P(RealWorld, ScanEndsCleanlyWithAWellFormedFile) {
    if (GetParam().empty()) GTEST_SKIP() << "no alignment files under " << dataFolder() << " (package htslib-test)";
    const fs::path input = dataFolder() / GetParam();
    const std::string dir = freshScratchDir();
    useLocalReferences(input, dir);

    alignments in = readAll(input);
    if (!in.problem.empty()) {
        recordOutcome(dir, GetParam(), "skipped: htslib cannot read it: " + in.problem);
        GTEST_SKIP() << "htslib cannot read " << input << ": " << in.problem;
    }
    const std::map<std::string, std::set<int32_t>> sites = chooseSites(in);

    std::string originalNote;
    const std::string original = asItIs(input, dir, isSorted(in.records), originalNote);
    const std::string converted = dir + "/converted.bam";
    const std::string writeProblem = writeIndexedBam(converted, in);
    if (!writeProblem.empty()) {
        recordOutcome(dir, GetParam(), "skipped: htslib cannot make an indexed BAM of it: " + writeProblem);
        GTEST_SKIP() << "htslib cannot convert " << input << ": " << writeProblem;
    }

    writeVcf(dir + "/sites.vcf", sites);
    std::ostringstream outcome;
    outcome << in.records.size() << " records, " << sites.size() << " references, "
            << originalNote;
    // One run per reference, as the VCF holds sites on each of them.
    for (const auto& [reference, positions] : sites) {
        writeBamList(dir + "/bam.list", reference, {"converted.bam", original});
        outcome << "; " << reference << ": " << positions.size() << " sites, ";
        scanReference(dir, reference, static_cast<int>(positions.size()), !original.empty(),
                      outcome);
    }
    recordOutcome(dir, GetParam(), outcome.str());
}

INSTANTIATE_TEST_SUITE_P(HtslibTestData, RealWorld, testing::ValuesIn(alignmentFiles()), testName);

}  // namespace
