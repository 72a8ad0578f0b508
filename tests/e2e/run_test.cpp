// Whole runs of the program: compressed output, alignment files that fail, CRAM input, the
// fatal paths with their messages and exit statuses, and what each failure leaves behind.
#include <fcntl.h>
#include <linux/fs.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "hts_handles.h"
#include "run_program.h"
#include "sam_fixture.h"
#include "utils/streams.h"
#include "vcf_fixture.h"

namespace fs = std::filesystem;

namespace {

const char* const header = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:20\tLN:1000\n";

// Two sites, at 100 and 180, both heterozygous in S.
const char* const two_sites =
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS\n"
    "20\t100\t.\tA\tG\t.\t.\t.\tGT\t0|1\n"
    "20\t180\t.\tC\tT\t.\t.\t.\tGT\t0|1\n";

// A 100-base read at 91 showing `base` at 100 and T at 180, both of quality 30.
std::string readAcrossBothSites(const std::string& name, char base) {
    std::string seq(100, 'C'), qual(100, 'I');
    seq[9] = base;
    seq[89] = 'T';
    qual[9] = qual[89] = '?';
    return name + "\t0\t20\t91\t60\t100M\t*\t0\t0\t" + seq + "\t" + qual + "\n";
}

const char* const expected_pir = "MAP 2\n100\tA\tG\n180\tC\tT\nS 1\n0\tA\t30\t1\tT\t30\n";

std::string decompressed(const std::string& path) {
    ifile in(path);
    std::string text, line;
    while (std::getline(in, line)) text += line + "\n";
    return text;
}

// A folder with sites.vcf, reads.bam and a BAM list naming `listed` for sample S.
std::string prepare(const std::string& reads, const std::string& listed = "reads.bam\t20") {
    const std::string dir = freshScratchDir();
    writeFile(dir + "/sites.vcf", two_sites);
    sam_fixture::writeBam(dir, "reads", header + reads);
    writeFile(dir + "/bam.list", "S\t" + listed + "\n");
    return dir;
}

std::vector<std::string> argsWithOut(const std::string& out) {
    return {"--vcf", "sites.vcf", "--bam", "bam.list", "--out", out};
}

// The names starting with a dot: temporary files that a run must not leave behind.
std::string hiddenFiles(const std::string& dir) {
    std::string names;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string()[0] == '.') names += entry.path().filename().string();
    return names;
}

TEST(Run, OutputIsCompressedByItsExtension) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    for (const std::string out : {"out.txt", "out.txt.gz", "out.txt.bz2"}) {
        const program_result run = runProgram(argsWithOut(out), dir);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(decompressed(dir + "/" + out), expected_pir) << out;
    }
    EXPECT_EQ(readFile(dir + "/out.txt.gz").substr(0, 2), "\x1f\x8b");
    EXPECT_EQ(readFile(dir + "/out.txt.bz2").substr(0, 3), "BZh");
}

TEST(Run, CramIsReadLikeBam) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    std::string reference = ">20\n";
    for (int i = 0; i < 1000; ++i) reference += "ACGT"[i % 4];
    writeFile(dir + "/ref.fa", reference + "\n");
    sam_fixture::writeCram(dir, "reads", header + readAcrossBothSites("r1", 'A'), dir + "/ref.fa");
    writeFile(dir + "/bam.list", "S\treads.cram\t20\n");
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir + "/out.txt"), expected_pir);
}

// A CRAM from elsewhere: the reference its header names is not there, and htslib must not look
// for it anywhere else (no network in tests).
TEST(Run, CramReferenceIsGivenWithTheOption) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    std::string reference = ">20\n";
    for (int i = 0; i < 1000; ++i) reference += "ACGT"[i % 4];
    fs::create_directories(dir + "/gone");
    writeFile(dir + "/gone/ref.fa", reference + "\n");
    sam_fixture::writeCram(dir, "reads", header + readAcrossBothSites("r1", 'A'),
                           dir + "/gone/ref.fa");
    fs::create_directories(dir + "/here");
    fs::rename(dir + "/gone/ref.fa", dir + "/here/ref.fa");
    fs::rename(dir + "/gone/ref.fa.fai", dir + "/here/ref.fa.fai");
    writeFile(dir + "/here/unindexed.fa", reference + "\n");
    writeFile(dir + "/bam.list", "S\treads.cram\t20\n");
    setenv("REF_PATH", (dir + "/nowhere/%s").c_str(), 1);
    setenv("REF_CACHE", (dir + "/nowhere/%s").c_str(), 1);

    program_result run = runProgram(argsWithOut("out.txt"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: Cannot read BAM file [reads.cram]\n"
                           "  * give its reference with --reference FASTA\n"),
              std::string::npos)
        << run.err;

    std::vector<std::string> args = argsWithOut("out.txt");
    args.insert(args.end(), {"--reference", "here/ref.fa"});
    run = runProgram(args, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir + "/out.txt"), expected_pir);

    writeFile(dir + "/here/other.fa", ">21\nACGT\n");
    writeFile(dir + "/here/other.fa.fai", "21\t4\t4\t4\t5\n");
    args.back() = "here/other.fa";
    run = runProgram(args, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot read BAM file [reads.cram]\n"
                       "  * the reference [here/other.fa] holds no sequence [20]\n"
                       "WARNING: 1 of 1 alignment files could not be read:\n"
                       "  * sample [S], file [reads.cram]: cannot be read: the reference "
                       "[here/other.fa] holds no sequence [20]\n"
                       "ERROR: no alignment file could be read\n");

    args.back() = "here/unindexed.fa";
    run = runProgram(args, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: No index [here/unindexed.fa.fai] for reference [here/unindexed.fa]: "
                       "make one with samtools faidx\n");
    EXPECT_FALSE(fs::exists(dir + "/here/unindexed.fa.fai"));
    unsetenv("REF_PATH");
    unsetenv("REF_CACHE");
}

TEST(Run, FileWithoutIndexIsReportedAndSkipped) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    fs::remove(dir + "/reads.bam.bai");
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    // Its only file skipped, the run scanned nothing: its output is written, its status says so.
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: no alignment file could be read\n"), std::string::npos);
    EXPECT_NE(run.err.find("Fail to open BAM index file associated to [reads.bam]\n"),
              std::string::npos);
    EXPECT_EQ(readFile(dir + "/out.txt"), "MAP 2\n100\tA\tG\n180\tC\tT\nS 0\n");
}

// Its time may be only a copy's, so the index is used, with a word on what to do.
TEST(Run, IndexOlderThanItsAlignmentFileIsWarnedAbout) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    fs::last_write_time(dir + "/reads.bam.bai",
                        fs::last_write_time(dir + "/reads.bam") - std::chrono::hours(1));
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "[W::hts_idx_load3] The index file is older than the data file: "
                       "reads.bam.bai\n  * the index is older than the file: remake it with "
                       "samtools index if reads are missing\n");
    EXPECT_EQ(readFile(dir + "/out.txt"), expected_pir);
}

// The run stops part-way: an older file of the output's name stays as it was.
TEST(Run, UndecodableBaseIsLocatedAndTheRunLeavesNoOutput) {
    const std::string dir = prepare(readAcrossBothSites("r1", '='));
    writeFile(dir + "/out.txt", "older\n");
    std::vector<std::string> args = argsWithOut("out.txt");
    args.insert(args.end(), {"--stats", "stats.tsv"});
    program_result run = runProgram(args, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "extractNucleotide 0 unknown\n  * read [r1] in [reads.bam] at position 100\n");
    EXPECT_EQ(readFile(dir + "/out.txt"), "older\n");
    EXPECT_FALSE(fs::exists(dir + "/stats.tsv"));  // the statistics go with the output
    EXPECT_EQ(hiddenFiles(dir), "");

    args.back() = "./out.txt";
    run = runProgram(args, dir);
    EXPECT_EQ(run.err, "ERROR: Statistics file [./out.txt] is the output file\n");
}

// A name this long still makes a file, but leaves no room for `.NAME.XXXXXX` beside it.
TEST(Run, OutputThatCannotBeCreatedStopsBeforeAnyScanOrIsWrittenDirectly) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    program_result run = runProgram(argsWithOut("no/such/folder/out.txt"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot create output file [no/such/folder/out.txt]: No such file "
                       "or directory\n");
    EXPECT_EQ(run.out.find("Opening BAM file"), std::string::npos);
    const std::string longName(250, 'o');
    run = runProgram(argsWithOut(longName), dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "WARNING: No temporary file can be created beside [" + longName +
                           "] (File name too long): it is written directly, so a run that fails "
                           "leaves it incomplete\n");
    EXPECT_EQ(readFile(dir + "/" + longName), expected_pir);
}

// The first failed write stops the run, whether the file is written directly (/dev/full, each
// line at once), compressed (the compressor holds the text until its end), or to a temporary
// file (under a file-size limit, once the map has filled more than a block: a write error, not
// the SIGXFSZ that would end the run and leave the temporary file).
TEST(Run, WriteErrorStopsTheRunAtOnceWithItsReason) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    program_result run = runProgram(argsWithOut("/dev/full"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot write output file [/dev/full]: No space left on device\n");
    EXPECT_EQ(run.out.find("Opening BAM file"), std::string::npos);
    fs::create_symlink("/dev/full", dir + "/full.gz");
    run = runProgram(argsWithOut("full.gz"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot write output file [full.gz]: No space left on device\n");

    std::string sites = two_sites;
    for (size_t k = 0; k * 1000 < 2 * ofile::large_block; ++k)
        sites += "20\t" + std::to_string(300 + k) + "\t.\tC\t" + std::string(1000, 'A') +
                 "\t.\t.\t.\tGT\t0|1\n";
    writeFile(dir + "/sites.vcf", sites);
    run = runProgram(argsWithOut("out.txt"), dir, [] {
        const rlimit size{ofile::large_block / 2, ofile::large_block / 2};
        setrlimit(RLIMIT_FSIZE, &size);
    });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot write output file [out.txt]: File too large\n");
    EXPECT_EQ(run.out.find("Opening BAM file"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir + "/out.txt"));
    EXPECT_EQ(hiddenFiles(dir), "");
}

// Each kind of input, reached through a link, a hard link or htslib's index search; the
// index is renamed to the last name htslib tries for it.
TEST(Run, OutputThatIsAnInputIsRefusedAndTheInputKept) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    writeFile(dir + "/sites.vcf.tbi", "an index\n");
    fs::rename(dir + "/reads.bam.bai", dir + "/reads.bai");
    fs::create_symlink("bam.list", dir + "/list.link");
    fs::create_hard_link(dir + "/reads.bam", dir + "/hard.bam");
    for (const std::string out :
         {"sites.vcf", "sites.vcf.tbi", "bam.list", "reads.bam", "reads.bai", "list.link",
          "hard.bam"}) {
        const std::string before = readFile(dir + "/" + out);
        const program_result run = runProgram(argsWithOut(out), dir);
        EXPECT_EQ(run.status, 1) << out;
        EXPECT_EQ(run.err, "ERROR: Output file [" + out + "] is also an input file\n");
        EXPECT_EQ(readFile(dir + "/" + out), before) << out;
    }
}

// The link, relative to its own folder, stays; the file it points to is replaced by one with
// the mode of a new file.
TEST(Run, OutputThroughALinkReplacesTheFileItPointsTo) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    fs::create_directories(dir + "/links");
    writeFile(dir + "/real.txt", "older\n");
    fs::create_symlink("../real.txt", dir + "/links/out.txt");
    const program_result run = runProgram(argsWithOut("links/out.txt"), dir, [] { umask(027); });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::is_symlink(dir + "/links/out.txt"));
    EXPECT_EQ(readFile(dir + "/real.txt"), expected_pir);
    EXPECT_EQ(fs::status(dir + "/real.txt").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(hiddenFiles(dir) + hiddenFiles(dir + "/links"), "");
}

// Opens the FIFO for writing once the program has opened it for reading, or has ended.
int openOnceRead(const std::string& fifo, pid_t program) {
    int fd;
    siginfo_t ended{};
    while ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 &&
           waitid(P_PID, static_cast<id_t>(program), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           ended.si_pid == 0)
        usleep(1000);
    return fd;
}

// A FIFO as the second file holds the run there, its temporary file made and the first file
// scanned, until the test opens the other end; then SIGHUP, ignored from the start, must stay
// ignored, and SIGTERM must stop the run and remove the temporary file.
TEST(Run, StoppingSignalPartWayLeavesNoOutputWhileAnIgnoredOneStaysIgnored) {
    const std::string dir =
        prepare(readAcrossBothSites("r1", 'A'), "reads.bam\t20\nS\theld.bam\t20");
    ASSERT_EQ(mkfifo((dir + "/held.bam").c_str(), 0600), 0);
    writeFile(dir + "/out.txt", "older\n");
    const running_program running = startProgram(BRIDGESCAN_BIN, argsWithOut("out.txt"), dir,
                                                 [] { std::signal(SIGHUP, SIG_IGN); });
    const int fifo = openOnceRead(dir + "/held.bam", running.pid);
    kill(running.pid, SIGHUP);
    kill(running.pid, SIGTERM);
    const program_result run = finishProgram(running);
    close(fifo);
    EXPECT_GE(fifo, 0) << run.err;
    EXPECT_EQ(run.status, 128 + SIGTERM);
    EXPECT_EQ(readFile(dir + "/out.txt"), "older\n");
    EXPECT_EQ(hiddenFiles(dir), "");
}

// Progress lines that cannot be written are dropped. A descriptor closed at start is not
// taken by the output, where the problems reported on it would land.
TEST(Run, BrokenOrClosedStandardStreamsLeaveTheOutputWhole) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'), "reads.bam\t20\nS\tno.bam\t20");
    const child_setup brokenPipe = [] {
        int ends[2];
        if (pipe(ends) == 0 && close(ends[0]) == 0) dup2(ends[1], 1);
    };
    for (const child_setup& setup : {brokenPipe, child_setup([] { close(2); })}) {
        fs::remove(dir + "/out.txt");
        const program_result run = runProgram(argsWithOut("out.txt"), dir, setup);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(readFile(dir + "/out.txt"), expected_pir);
    }
}

// One file cut part-way, one cut at a block boundary (its empty last block, the end-of-file
// marker, removed): each is read up to its cut and reported, and the run goes on.
// Enough random reads across both sites for several compressed blocks, so that cutting or
// damaging the file part-way leaves its start.
std::string manyReads() {
    std::mt19937 random(5);
    std::string reads;
    for (int i = 0; i < 4000; ++i) {
        std::string seq, qual;
        for (int k = 0; k < 100; ++k) {
            seq += "ACGT"[random() % 4];
            qual += static_cast<char>('#' + random() % 40);
        }
        reads += "r" + std::to_string(i) + "\t0\t20\t" + std::to_string(91 + i / 500) +
                 "\t60\t100M\t*\t0\t0\t" + seq + "\t" + qual + "\n";
    }
    return reads;
}

// Where each BGZF block of a BAM file starts: a block's size, less one, is the 16-bit value at
// its byte 16.
std::vector<size_t> blockStarts(const std::string& bam) {
    std::vector<size_t> starts;
    for (size_t at = 0; at + 18 <= bam.size();
         at += 1 + (static_cast<unsigned char>(bam[at + 16]) |
                    static_cast<unsigned char>(bam[at + 17]) << 8))
        starts.push_back(at);
    return starts;
}

TEST(Run, DamagedOrTruncatedAlignmentFileIsReportedAndTheRunEndsWithStatusOne) {
    const std::string dir = prepare(manyReads());
    const std::string bam = readFile(dir + "/reads.bam");
    ASSERT_GT(bam.size(), 200000u);
    writeFile(dir + "/reads.bam", bam.substr(0, bam.size() / 2));
    const std::string cut =
        sam_fixture::writeBam(dir, "cut", header + readAcrossBothSites("c", 'A'));
    writeFile(cut, readFile(cut).substr(0, readFile(cut).size() - 28));
    writeFile(dir + "/bam.list", "S\treads.bam\t20\nS\tcut.bam\t20\n");

    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: Cannot read BAM file [reads.bam]\n"), std::string::npos);
    EXPECT_NE(run.err.find("ERROR: Cannot read BAM file [cut.bam]\n  * the file has no "
                           "end-of-file marker: it is truncated\n"),
              std::string::npos);
    const std::string out = readFile(dir + "/out.txt");
    EXPECT_EQ(out.substr(0, out.find("S ")), "MAP 2\n100\tA\tG\n180\tC\tT\n");
    EXPECT_NE(out.find("\n0\tA\t30\t1\tT\t30\n"), std::string::npos);  // read before the cut
}

// For its lifetime, the sanitizer's leak check is off in the programs a test runs: for the
// leaks of htslib itself on paths that end the process.
class htslib_leaks_unreported {
public:
    htslib_leaks_unreported() {
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        kept = sanitizer ? sanitizer : "";
        setenv("ASAN_OPTIONS", (kept + ":detect_leaks=0").c_str(), 1);
    }
    ~htslib_leaks_unreported() { setenv("ASAN_OPTIONS", kept.c_str(), 1); }
    htslib_leaks_unreported(const htslib_leaks_unreported&) = delete;
    htslib_leaks_unreported& operator=(const htslib_leaks_unreported&) = delete;

private:
    std::string kept;
};

// The decompression threads change nothing a user sees but the time: not the output, not the
// messages (htslib's included), not the status, also for files cut at a block boundary or
// damaged part-way.
TEST(Run, ThreadCountsChangeNothing) {
    const std::string dir = freshScratchDir();
    const std::string sam = header + manyReads();
    writeFile(dir + "/ref.fa", ">20\n" + std::string(1000, 'C') + "\n");
    sam_fixture::writeBam(dir, "good", sam);
    sam_fixture::writeCram(dir, "good", sam, dir + "/ref.fa");
    const std::string bam = readFile(dir + "/good.bam");
    const std::vector<size_t> blocks = blockStarts(bam);
    ASSERT_GT(blocks.size(), 6u);
    sam_fixture::writeBam(dir, "cut", sam);
    writeFile(dir + "/cut.bam", bam.substr(0, blocks[blocks.size() / 2]));
    sam_fixture::writeBam(dir, "damaged", sam);
    std::string damaged = bam;
    damaged[blocks[blocks.size() / 2] + 100] ^= 0x5a;
    writeFile(dir + "/damaged.bam", damaged);
    writeFile(dir + "/sites.vcf", "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\tC\n"
                                  "20\t100\t.\tA\tG\t.\t.\t.\tGT\t0|1\t0|1\t0|1\n"
                                  "20\t180\t.\tC\tT\t.\t.\t.\tGT\t0|1\t0|1\t0|1\n");
    writeFile(dir + "/bam.list", "A\tgood.bam\t20\nA\tgood.cram\t20\nB\tcut.bam\t20\n"
                                 "C\tdamaged.bam\t20\n");
    std::vector<std::string> args = argsWithOut("out.txt");
    args.insert(args.end(), {"--reference", "ref.fa", "--threads", "1"});
    const program_result one = runProgram(args, dir);
    const std::string output = readFile(dir + "/out.txt");
    EXPECT_EQ(one.status, 1);
    EXPECT_GT(std::count(output.begin(), output.end(), '\n'), 1000);
    // htslib 1.16 leaks one result of its pool after a damaged block: not ours to report.
    const htslib_leaks_unreported quiet;
    for (const char* threads : {"2", "3", "4"}) {
        args.back() = threads;
        const program_result many = runProgram(args, dir);
        EXPECT_EQ(many.status, one.status) << threads;
        EXPECT_EQ(many.out, one.out) << threads;
        EXPECT_EQ(many.err, one.err) << threads;
        EXPECT_EQ(readFile(dir + "/out.txt"), output) << threads;
    }
}

// A small tmpfs on a new `folder`, mounted in this test's own mount namespace, so that nothing
// outlives the test; false where none can be mounted.
bool mountSmallFileSystem(const std::string& folder, const char* options) {
    fs::create_directories(folder);
    return unshare(CLONE_NEWNS) == 0 &&
           mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("bridgescan", folder.c_str(), "tmpfs", 0, options) == 0;
}

// A filesystem without a free inode refuses the temporary file for want of room, which a direct
// write would meet too: an error before any scan, and the older file stays.
TEST(Run, OutputFolderWithoutFreeInodesKeepsTheOlderFile) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    const std::string full = dir + "/full";
    if (!mountSmallFileSystem(full, "size=1m,nr_inodes=2"))
        GTEST_SKIP() << "no small tmpfs can be mounted here: " << std::strerror(errno);
    writeFile(full + "/out.txt", "older\n");  // the last free inode
    const program_result run = runProgram(argsWithOut("full/out.txt"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "ERROR: Cannot create output file [full/out.txt]: No space left on device\n");
    EXPECT_EQ(run.out.find("Opening BAM file"), std::string::npos);
    EXPECT_EQ(readFile(full + "/out.txt"), "older\n");
    EXPECT_EQ(hiddenFiles(full), "");
    umount(full.c_str());
}

// What a name leads to decides, not its folder: a file under /dev/shm is replaced whole, and a
// signal part-way (SIGQUIT, which the run held by a FIFO gets) leaves the older file in place.
TEST(Run, OutputUnderDevShmIsReplacedWholeAndSigquitLeavesTheOlderOne) {
    const std::string dir =
        prepare(readAcrossBothSites("r1", 'A'), "reads.bam\t20\nS\theld.bam\t20");
    const std::string shm = "/dev/shm/bridgescan-test-" + std::to_string(getpid());
    fs::create_directories(shm);
    writeFile(shm + "/out.txt", "older\n");
    ASSERT_EQ(mkfifo((dir + "/held.bam").c_str(), 0600), 0);
    const running_program running =
        startProgram(BRIDGESCAN_BIN, argsWithOut(shm + "/out.txt"), dir, [] {
            const rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
        });
    const int fifo = openOnceRead(dir + "/held.bam", running.pid);
    kill(running.pid, SIGQUIT);
    program_result run = finishProgram(running);
    close(fifo);
    EXPECT_GE(fifo, 0) << run.err;
    EXPECT_EQ(run.status, 128 + SIGQUIT);
    EXPECT_EQ(readFile(shm + "/out.txt"), "older\n");
    EXPECT_EQ(hiddenFiles(shm), "");

    fs::remove(dir + "/held.bam");
    run = runProgram(argsWithOut(shm + "/out.txt"), dir);
    EXPECT_EQ(readFile(shm + "/out.txt"), "MAP 2\n100\tA\tG\n180\tC\tT\nS 1\n0\tA\t30\t1\tT\t30\n");
    EXPECT_EQ(hiddenFiles(shm), "");
    fs::remove_all(shm);
}

// Into a file (the shell's `> file`, whose offset the output must share) and into a pipe: the
// output alone, the progress lines on standard error.
TEST(Run, OutputOnStandardOutputHoldsTheOutputAlone) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    program_result run = runProgram(argsWithOut("/dev/stdout"), dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expected_pir);
    EXPECT_NE(run.err.find("Writing PIRs ...\n"), std::string::npos);
    run = runProgramAt("/bin/sh", {"-c", std::string(BRIDGESCAN_BIN) +
                                             " --vcf sites.vcf --bam bam.list"
                                             " --out /proc/self/fd/1 | cat"},
                       dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expected_pir);
}

// Two names of one file are found out, also through a dangling link; a name that leads nowhere
// is an error line, never an abort.
TEST(Run, OutputNamesAreComparedByTheFileTheyLeadTo) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    fs::create_symlink("out.txt", dir + "/stats.lnk");
    std::vector<std::string> args = argsWithOut("out.txt");
    args.insert(args.end(), {"--stats", "stats.lnk"});
    program_result run = runProgram(args, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Statistics file [stats.lnk] is the output file\n");
    EXPECT_FALSE(fs::exists(dir + "/out.txt"));

    fs::create_symlink("loop.b", dir + "/loop.a");
    fs::create_symlink("loop.a", dir + "/loop.b");
    for (const std::string option : {"--out", "--stats"}) {
        args = argsWithOut("out.txt");
        args.insert(args.end(), {"--stats", "stats.txt"});
        *(std::find(args.begin(), args.end(), option) + 1) = "loop.a";
        run = runProgram(args, dir);
        EXPECT_EQ(run.status, 1) << option;
        EXPECT_EQ(run.err,
                  "ERROR: Cannot create output file [loop.a]: Too many levels of symbolic links\n");
    }
    args.back() = std::string(300, 'n');
    run = runProgram(args, dir);
    EXPECT_EQ(run.err, "ERROR: Cannot create output file [" + args.back() +
                           "]: File name too long\n");
}

// htslib opens a BCF by its name again: through a pipe, whose first bytes the content check has
// read, it is refused in so many words.
TEST(Run, BcfThroughAPipeIsRefusedClearly) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    writeFile(dir + "/full.vcf", std::string("##fileformat=VCFv4.2\n##contig=<ID=20,length=1000>\n"
                                                 "##FORMAT=<ID=GT,Number=1,Type=String,"
                                                 "Description=\"Genotype\">\n") +
                                     two_sites);
    vcf_fixture::writeBcf(dir + "/full.vcf", dir + "/sites.bcf");
    const program_result run = runProgramAt(
        "/bin/bash", {"-c", std::string(BRIDGESCAN_BIN) +
                                " --vcf <(cat sites.bcf) --bam bam.list --out out.txt"},
        dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(": BCF from a pipe, give a file\n"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir + "/out.txt"));
}

// A header line of a million and a half sample names outgrows the memory allowed. Sanitizers
// reserve more address space than any such limit.
TEST(Run, RunningOutOfMemoryEndsTheRunWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address space limit cannot hold a sanitizer's reservations";
#endif
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    ofile vcf(dir + "/many.vcf.gz");
    vcf << "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
    const std::string names = [] {
        std::string chunk;
        for (int k = 0; k < 32768; ++k) chunk += "\tSAMPLE_NAME_LONGER_THAN_A_SHORT_ONE";
        return chunk;
    }();
    for (int k = 0; k < 40; ++k) vcf << names;
    vcf << "\n";
    ASSERT_TRUE(vcf.close());
    std::vector<std::string> args = argsWithOut("out.txt");
    args[1] = "many.vcf.gz";
    const program_result run = runProgram(args, dir, [] {
        const rlimit space{size_t{180} << 20, size_t{180} << 20};
        setrlimit(RLIMIT_AS, &space);
    });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Out of memory\n");
}

TEST(Run, EachSampleBlockHoldsOnlyItsOwnReads) {
    const std::string dir = freshScratchDir();
    writeFile(dir + "/sites.vcf",
              "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS\tT\tU\n"
              "20\t100\t.\tA\tG\t.\t.\t.\tGT\t0|1\t0|1\t0|1\n"
              "20\t180\t.\tC\tT\t.\t.\t.\tGT\t0|1\t0|1\t0|1\n");
    sam_fixture::writeBam(dir, "s", header + readAcrossBothSites("same", 'A'));
    sam_fixture::writeBam(dir, "u", header + readAcrossBothSites("same", 'G'));
    writeFile(dir + "/bam.list", "S\ts.bam\t20\nU\tu.bam\t20\n");
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir + "/out.txt"), "MAP 2\n100\tA\tG\n180\tC\tT\nS 1\n0\tA\t30\t1\tT\t30\n"
                                          "U 1\n0\tG\t30\t1\tT\t30\n");
}

TEST(Run, VcfWithoutSamplesWritesTheMapAlone) {
    const std::string dir = freshScratchDir();
    writeFile(dir + "/sites.vcf", "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\n"
                                  "20\t100\t.\tA\tC,G\t.\t.\t.\tGT\n");
    writeFile(dir + "/bam.list", "S\ts.bam\t20\n");
    const program_result run = runProgram(argsWithOut("out.txt"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir + "/out.txt"), "MAP 1\n100\tA\tC,G\n");
    EXPECT_EQ(run.out.find("Writing PIRs"), std::string::npos);
}

std::vector<std::string> argsWithPhaseSets(const std::string& out, const std::string& phased) {
    std::vector<std::string> args = argsWithOut(out);
    args.insert(args.end(), {"--phase-sets", phased});
    return args;
}

std::string notAFile(const std::string& name, const std::string& what) {
    return "ERROR: --phase-sets [" + name + "] is " + what +
           ": the phase sets go only to a regular file, which their index reads back\n";
}

// Standard output, a device, appended to or not, and a FIFO, which the index builder would
// open again and wait on for ever (the alarm ends a run that hangs): each refused before the
// VCF is read, nothing written anywhere, no index beside /dev/null.
TEST(Run, PhaseSetsGoOnlyToARegularFile) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    ASSERT_EQ(mkfifo((dir + "/fifo.vcf.gz").c_str(), 0600), 0);
    for (const auto& [name, what] : {std::pair<std::string, std::string>{"-", "standard output"},
                                     {"/dev/null", "a character device"},
                                     {"fifo.vcf.gz", "a pipe"}}) {
        const program_result run =
            runProgram(argsWithPhaseSets("out.txt", name), dir, [] { alarm(20); });
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_EQ(run.err, notAFile(name, what));
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(fs::exists("/dev/null.tbi"));
    writeFile(dir + "/app.bin", "app\n");
    const program_result run = runProgramAt(
        "/bin/sh",
        {"-c", std::string(BRIDGESCAN_BIN) +
                   " --vcf sites.vcf --bam bam.list --out out.txt --phase-sets /dev/stdout"
                   " >> app.bin"},
        dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, notAFile("/dev/stdout", "standard output"));
    EXPECT_EQ(readFile(dir + "/app.bin"), "app\n");
    EXPECT_FALSE(fs::exists(dir + "/out.txt"));
    EXPECT_EQ(hiddenFiles(dir), "");
}

// A bgzipped phase sets file that cannot be written (a file-size limit, its lines' INFO text
// random, so that it compresses little) stops the run with its name and the reason, and
// leaves no output nor temporary file.
TEST(Run, PhaseSetsThatCannotBeWrittenStopTheRunWithTheirReason) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    std::mt19937 random(7);
    std::string sites = two_sites;
    for (int k = 0; k < 800; ++k) {
        std::string info = "X=";
        for (int c = 0; c < 4000; ++c) info += static_cast<char>('A' + random() % 26);
        sites += "20\t" + std::to_string(300 + k) + "\t.\tC\tA\t.\t.\t" + info + "\tGT\t0/1\n";
    }
    writeFile(dir + "/sites.vcf", sites);
    const program_result run =
        runProgram(argsWithPhaseSets("out.txt", "phased.vcf.gz"), dir, [] {
            const rlimit size{1 << 20, 1 << 20};
            setrlimit(RLIMIT_FSIZE, &size);
        });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot write output file [phased.vcf.gz]: File too large\n");
    for (const char* name : {"out.txt", "phased.vcf.gz", "phased.vcf.gz.tbi"})
        EXPECT_FALSE(fs::exists(dir + "/" + name)) << name;
    EXPECT_EQ(hiddenFiles(dir), "");
}

TEST(Run, DashIsStandardOutputForTheOutputAndTheStatistics) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    std::vector<std::string> args = argsWithOut("out.txt");
    args.insert(args.end(), {"--stats", "stats.tsv"});
    ASSERT_EQ(runProgram(args, dir).status, 0);
    program_result run = runProgram(argsWithOut("-"), dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, readFile(dir + "/out.txt"));
    EXPECT_NE(run.err.find("Writing PIRs ...\n"), std::string::npos);
    args.back() = "-";
    run = runProgram(args, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, readFile(dir + "/stats.tsv"));
    EXPECT_FALSE(fs::exists(dir + "/-"));
}

// The records of chromosome 20 that htslib finds through the index it loads for `path`, or -1
// when it loads none.
int indexedRecords(const std::string& path) {
    const hts_file_ptr file(hts_open(path.c_str(), "r"));
    if (!file) return -1;
    int count = 0;
    if (hts_get_format(file.get())->format == bcf) {
        const bcf_hdr_ptr vcfHeader(bcf_hdr_read(file.get()));
        const hts_idx_ptr index(bcf_index_load(path.c_str()));
        const hts_itr_ptr records(index ? bcf_itr_querys(index.get(), vcfHeader.get(), "20")
                                        : nullptr);
        const bcf1_ptr record(bcf_init());
        while (records && bcf_itr_next(file.get(), records.get(), record.get()) >= 0) ++count;
        return records ? count : -1;
    }
    const tbx_ptr index(tbx_index_load(path.c_str()));
    const hts_itr_ptr records(index ? tbx_itr_querys(index.get(), "20") : nullptr);
    kstring_buffer line;
    while (records && tbx_itr_next(file.get(), index.get(), records.get(), &line.ks) >= 0) ++count;
    return records ? count : -1;
}

// An older phase sets file of one record, with a .csi.
void olderPhaseSets(const std::string& path) {
    writeFile(path + ".txt", std::string(two_sites).substr(0, std::string(two_sites).rfind("20\t")));
    vcf_fixture::bgzip(path + ".txt", path);
    ASSERT_EQ(tbx_index_build(path.c_str(), 14, &tbx_conf_vcf), 0);
    ASSERT_EQ(indexedRecords(path), 1);
}

// htslib loads a .csi before a .tbi: an older .csi left beside the new file would hide its
// records. Through a link, the file it points to gets the index, and loses its older one.
TEST(Run, PhaseSetsIndexLiesBesideTheFileAndAnOlderOneOfTheOtherKindGoes) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    olderPhaseSets(dir + "/phased.vcf.gz");
    fs::create_directories(dir + "/real");
    fs::create_directories(dir + "/links");
    olderPhaseSets(dir + "/real/phased.vcf.gz");
    fs::create_symlink("../real/phased.vcf.gz", dir + "/links/phased.vcf.gz");
    for (const std::string name : {"phased.vcf.gz", "links/phased.vcf.gz"}) {
        const program_result run = runProgram(argsWithPhaseSets("out.txt", name), dir);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    for (const std::string file : {"phased.vcf.gz", "real/phased.vcf.gz"}) {
        EXPECT_TRUE(fs::exists(dir + "/" + file + ".tbi")) << file;
        EXPECT_FALSE(fs::exists(dir + "/" + file + ".csi")) << file;
        EXPECT_EQ(indexedRecords(dir + "/" + file), 2) << file;
    }
    EXPECT_TRUE(fs::is_symlink(dir + "/links/phased.vcf.gz"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/links"), fs::directory_iterator()), 1);
}

TEST(Run, BcfPhaseSetsAreReadBackByHtslibThroughACsi) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    writeFile(dir + "/phased.bcf.tbi", "an older index\n");
    const program_result run = runProgram(argsWithPhaseSets("out.txt", "phased.bcf"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(indexedRecords(dir + "/phased.bcf"), 2);
    EXPECT_FALSE(fs::exists(dir + "/phased.bcf.tbi"));
    const hts_file_ptr file(hts_open((dir + "/phased.bcf").c_str(), "r"));
    const bcf_hdr_ptr vcfHeader(bcf_hdr_read(file.get()));
    const bcf1_ptr record(bcf_init());
    ASSERT_EQ(bcf_read(file.get(), vcfHeader.get(), record.get()), 0);
    int32_t* ps = nullptr;
    int size = 0;
    ASSERT_EQ(bcf_get_format_int32(vcfHeader.get(), record.get(), "PS", &ps, &size), 1);
    EXPECT_EQ(ps[0], 100);
    free(ps);
}

// Sets or clears the immutable flag; false when the file system has none.
bool setImmutable(const std::string& path, bool immutable) {
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = 0;
    const bool set = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                     (flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                      ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) close(fd);
    return set;
}

// The second output, the statistics, cannot be replaced: the run stops before any scan, and
// every output keeps its older file.
void expectRefusedWithOlderFiles(const std::string& dir, const std::string& folder,
                                 const std::string& why, const child_setup& setup) {
    std::vector<std::string> args = argsWithOut(folder + "/out.txt");
    args.insert(args.end(), {"--stats", folder + "/stats.tsv"});
    const program_result run = runProgram(args, dir, setup);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Cannot replace output file [" + folder + "/stats.tsv]: " + why +
                           "\n");
    EXPECT_EQ(run.out.find("Opening BAM file"), std::string::npos);
    EXPECT_EQ(readFile(dir + "/" + folder + "/out.txt"), "older out\n");
    EXPECT_EQ(readFile(dir + "/" + folder + "/stats.tsv"), "older stats\n");
    EXPECT_EQ(hiddenFiles(dir + "/" + folder), "");
}

TEST(Run, OutputThatCannotBeReplacedStopsTheRunBeforeAnyScan) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    fs::create_directories(dir + "/kept");
    writeFile(dir + "/kept/out.txt", "older out\n");
    writeFile(dir + "/kept/stats.tsv", "older stats\n");
    if (!setImmutable(dir + "/kept/stats.tsv", true))
        GTEST_SKIP() << "no immutable flag here: " << std::strerror(errno);
    expectRefusedWithOlderFiles(dir, "kept", "it is immutable (chattr +i)", {});
    setImmutable(dir + "/kept/stats.tsv", false);

    // A sticky folder where the statistics belong to root, the run to nobody.
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody) GTEST_SKIP() << "another user's file needs root to make";
    fs::create_directories(dir + "/sticky");
    fs::permissions(dir + "/sticky", fs::perms::all | fs::perms::sticky_bit);
    writeFile(dir + "/sticky/out.txt", "older out\n");
    writeFile(dir + "/sticky/stats.tsv", "older stats\n");
    ASSERT_EQ(chown((dir + "/sticky/out.txt").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const uid_t user = nobody->pw_uid;
    const gid_t group = nobody->pw_gid;
    expectRefusedWithOlderFiles(
        dir, "sticky",
        "its folder is sticky (chmod +t) and neither the folder nor the file is yours",
        [user, group] {
            if (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(user) != 0) _exit(125);
        });
}

// A folder with room for the phase sets file but not for its index (a 4 KiB file system):
// htslib's reason is named, and nothing is published.
TEST(Run, IndexThatCannotBeWrittenIsNamedWithItsReason) {
    const std::string dir = prepare(readAcrossBothSites("r1", 'A'));
    const std::string small = dir + "/small";
    if (!mountSmallFileSystem(small, "size=4k"))
        GTEST_SKIP() << "no small tmpfs can be mounted here: " << std::strerror(errno);
    // htslib 1.16 keeps the index's handle when its close fails to write.
    const htslib_leaks_unreported quiet;
    const program_result run = runProgram(argsWithPhaseSets("out.txt", "small/p.vcf.gz"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: Cannot write output file [small/p.vcf.gz.tbi]: No space "
                           "left on device\n"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir + "/out.txt"));
    EXPECT_TRUE(fs::is_empty(small));
    umount(small.c_str());
}

}  // namespace
