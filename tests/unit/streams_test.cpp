// Tests of the compressed text streams: compression by name, multi-member input, damage
// detection, length-prefixed records, the close result of an output and its delivery to a
// descriptor.
#include "run_program.h"
#include "utils/streams.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <bzlib.h>
#include <htslib/bgzf.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using lines = std::vector<std::string>;

class Streams : public ::testing::Test {
protected:
    void SetUp() override { dir = freshScratchDir(); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    fs::path dir;
};

std::string slurp(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void spill(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

// Inputs made straight with zlib and libbz2, so the reader is not only checked against itself.
std::string gzipMember(const std::string& text) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string bzip2Stream(const std::string& text) {
    std::string out(text.size() + text.size() / 100 + 700, '\0');
    auto size = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char*>(text.data()),
                                       static_cast<unsigned>(text.size()), 9, 0, 30),
              BZ_OK);
    out.resize(size);
    return out;
}

// The whole decompressed text, or a note that the reader found the file damaged.
std::string readAll(const std::string& name) {
    ifile in(name);
    std::string text;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        text.append(buffer, static_cast<size_t>(in.gcount()));
    return in.failed() ? "<damaged>" : text;
}

lines readLines(ifile& in) {
    lines out;
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// Enough text that the compressed forms span several buffers of the chain.
std::string numberedText(int count) {
    std::string text;
    for (int i = 1; i <= count; ++i) text += "line\t" + std::to_string(i) + "\n";
    return text;
}

}  // namespace

// gzip without name, comment or time, so the same text always gives the same bytes.
TEST_F(Streams, OutputCompressionFollowsTheExactExtension) {
    fs::create_directories(path("out.d"));
    fs::create_directories(path("out.gz"));
    const struct {
        std::string name;
        std::string start;
    } cases[] = {{"calls.vcf.gz", bytes({0x1f, 0x8b, 8, 0, 0, 0, 0, 0})},
                 {"calls.vcf.bz2", "BZh9"},
                 {"calls.VCF.GZ", "text"},
                 {"calls.vcf.bgz", "text"},
                 {"calls.", "text"},
                 {"noextension", "text"},
                 {"out.d/result", "text"},
                 {"out.gz/result", "text"}};
    for (const auto& c : cases) {
        ofile out(path(c.name));
        EXPECT_EQ(out.name(), path(c.name));
        out << "text\n";
        EXPECT_TRUE(out.close()) << c.name;
        EXPECT_EQ(slurp(path(c.name)).substr(0, c.start.size()), c.start) << c.name;
    }
}

// The content decides, not the name: what users' files are called says little.
TEST_F(Streams, InputDecompressionFollowsTheContent) {
    spill(path("calls.vcf.gz"), gzipMember("a\tb\n"));
    spill(path("calls.vcf.bz2"), bzip2Stream("a\tb\n"));
    spill(path("calls.vcf.bgz"), gzipMember("a\tb\n"));
    spill(path("calls.vcf"), bzip2Stream("a\tb\n"));
    spill(path("calls.VCF.GZ"), "a\tb\n");
    spill(path("BZh.txt"), "BZh is text\n");
    for (const std::string name :
         {"calls.vcf.gz", "calls.vcf.bz2", "calls.vcf.bgz", "calls.vcf", "calls.VCF.GZ"})
        EXPECT_EQ(readAll(path(name)), "a\tb\n") << name;
    EXPECT_EQ(readAll(path("BZh.txt")), "BZh is text\n");
}

// Formats that hold no text are refused, named, and read as empty.
TEST_F(Streams, BinaryFormatsAreNamedNotRead) {
    const struct {
        std::string content;
        file_content kind;
    } cases[] = {
        {bytes({0xfd, '7', 'z', 'X', 'Z', 0, 0, 4}), file_content::xz},
        {bytes({0x28, 0xb5, 0x2f, 0xfd, 0x24, 0}), file_content::zstd},
        {"CRAM\3\0rest", file_content::cram},
        {std::string("BCF\2\2", 5) + "rest", file_content::bcf},
        {gzipMember(std::string("BCF\2\2", 5) + "rest"), file_content::bcf},
        {gzipMember(std::string("BAM\1", 4) + "rest"), file_content::bam},
    };
    for (const auto& c : cases) {
        spill(path("input.vcf"), c.content);
        ifile in;
        EXPECT_FALSE(in.open(path("input.vcf")));
        EXPECT_EQ(in.content(), c.kind) << contentName(c.kind);
        EXPECT_EQ(readLines(in), lines{});
        EXPECT_FALSE(in.failed());
    }
}

// Text whose first word begins as a magic number does, without the version bytes after it.
TEST_F(Streams, TextBeginningLikeAMagicNumberIsText) {
    for (const std::string start : {"CRAM1\ta.bam\t20", "CRAMPED\tx", "BCF\2x", "BCF\2\3"}) {
        spill(path("list.txt"), start + "\n");
        ifile in;
        EXPECT_TRUE(in.open(path("list.txt"))) << start;
        EXPECT_EQ(in.content(), file_content::plain);
        EXPECT_EQ(readLines(in), lines{start});
    }
}

// Both compressed forms must be complete without an explicit close, as the readers rely on.
TEST_F(Streams, TextRoundTripsAlsoWhenOnlyTheDestructorCloses) {
    const std::string text = numberedText(30000) + "\n\tlast line without end";
    for (const std::string name : {"plain.txt", "packed.gz", "packed.bz2"}) {
        ofile(path(name)) << text;
        EXPECT_EQ(readAll(path(name)), text) << name;
        ifile in(path(name));
        const lines got = readLines(in);
        ASSERT_EQ(got.size(), 30002u) << name;
        EXPECT_EQ(got[30001], "\tlast line without end");
    }
}

TEST_F(Streams, CloseAndOpenAgain) {
    ofile out(path("first.gz"));
    out << "one\n";
    ASSERT_TRUE(out.open(path("second.txt")));  // closes and completes first.gz
    out << "two\n" << std::flush;
    EXPECT_EQ(slurp(path("second.txt")), "two\n");  // a flush reaches the file at once
    EXPECT_TRUE(out.close());
    EXPECT_TRUE(out.close());  // repeats the answer, touches nothing
    out << "dropped\n";
    EXPECT_EQ(readAll(path("first.gz")), "one\n");
    EXPECT_EQ(slurp(path("second.txt")), "two\n");

    ifile in(path("first.gz"));
    EXPECT_EQ(readLines(in), lines{"one"});
    in.close();
    std::string line;
    EXPECT_FALSE(std::getline(in, line));
    ASSERT_TRUE(in.open(path("second.txt")));
    EXPECT_EQ(readLines(in), lines{"two"});
}

// Block-compressed files are many members with extra header fields and an empty last member.
TEST_F(Streams, ConcatenatedMembersAreReadThrough) {
    spill(path("multi.gz"), gzipMember("a\nb\n") + gzipMember("") + gzipMember("c\nd"));
    EXPECT_EQ(readAll(path("multi.gz")), "a\nb\nc\nd");
    spill(path("multi.bz2"), bzip2Stream("a\n") + bzip2Stream("b\n"));
    EXPECT_EQ(readAll(path("multi.bz2")), "a\nb\n");

    const std::string text = numberedText(40000);
    BGZF* out = bgzf_open(path("blocks.vcf.gz").c_str(), "w");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(bgzf_write(out, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(bgzf_close(out), 0);
    EXPECT_EQ(readAll(path("blocks.vcf.gz")), text);
}

// Each damage must end the reading loop as failed(), never as a clean end of file.
TEST_F(Streams, DamagedInputIsToldApartFromTheEnd) {
    const std::string text = numberedText(20000);
    const std::string gz = gzipMember(text);
    const std::string bz = bzip2Stream(text);
    std::string flipped = gz;
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x55);
    const struct {
        std::string name;
        std::string content;
    } damaged[] = {
        {"cut_in_deflate.gz", gz.substr(0, gz.size() / 2)},
        {"cut_in_footer.gz", gz.substr(0, gz.size() - 4)},
        {"footer_missing.gz", gz.substr(0, gz.size() - 8)},
        {"flipped_byte.gz", flipped},
        {"garbage_after_member.gz", gz + "garbage\n"},
        {"second_member_cut.gz", gz + gz.substr(0, gz.size() - 3)},
        {"cut_in_block.bz2", bz.substr(0, bz.size() / 2)},
        {"cut_at_end.bz2", bz.substr(0, bz.size() - 3)},
        {"garbage_after_stream.bz2", bz + "garbage\n"},
    };
    for (const auto& d : damaged) {
        spill(path(d.name), d.content);
        ifile in(path(d.name));
        readLines(in);
        EXPECT_TRUE(in.failed()) << d.name;
        in.close();
        EXPECT_TRUE(in.failed()) << d.name << " forgotten at close";
    }
}

// A file that cannot be opened (a folder included) reads as empty and is not damaged.
TEST_F(Streams, CleanEndsAndMissingFilesAreNotFailures) {
    spill(path("good.gz"), gzipMember("a\n"));
    spill(path("empty.txt"), "");
    for (const std::string name : {"good.gz", "empty.txt", "missing.gz", "missing.bz2", ""}) {
        ifile in(path(name));
        readLines(in);
        EXPECT_FALSE(in.failed()) << name;
        EXPECT_EQ(in.name(), path(name));
        EXPECT_EQ(in.empty(), name != "good.gz" && name != "empty.txt") << name;
    }
    ifile fresh;
    std::string line;
    EXPECT_FALSE(std::getline(fresh, line));
    EXPECT_FALSE(fresh.failed());

    spill(path("bad.gz"), gzipMember("cut short").substr(0, 12));
    ifile in(path("bad.gz"));
    readLines(in);
    ASSERT_TRUE(in.failed());
    ASSERT_TRUE(in.open(path("good.gz")));
    EXPECT_FALSE(in.failed());
}

TEST_F(Streams, RecordBytesAndRoundTrip) {
    ofile raw(path("records.bin"), true);
    raw.writeString("abc");
    raw.writeString("");
    ASSERT_TRUE(raw.close());
    EXPECT_EQ(slurp(path("records.bin")), bytes({3, 0, 0, 0, 'a', 'b', 'c', 0, 0, 0, 0}));

    const std::string large(70000, 'q');  // longer than one read piece
    ofile packed(path("records.gz"));
    packed.writeString(large);
    packed.writeString(std::string("ab\0cd", 5));
    packed.writeString("z");
    ASSERT_TRUE(packed.close());
    ifile in(path("records.gz"), true);
    std::string s;
    ASSERT_TRUE(in.readString(s));
    EXPECT_EQ(s, large);
    ASSERT_TRUE(in.readString(s));
    EXPECT_EQ(s, "ab");  // up to the NUL, and the rest of that record is consumed
    ASSERT_TRUE(in.readString(s));
    EXPECT_EQ(s, "z");
    EXPECT_FALSE(in.readString(s));
    EXPECT_FALSE(in.failed());
}

// A damaged length must fail and leave the string alone.
TEST_F(Streams, ImpossibleRecordLengthsFail) {
    const std::string cases[] = {
        bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'}),  // negative
        bytes({0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b'}),  // far more than the data
        bytes({4, 0, 0, 0, 'a', 'b', 'c'}),         // one byte short
        bytes({4, 0}),                              // short length itself
    };
    for (const std::string& content : cases) {
        spill(path("record.bin"), content);
        ifile in(path("record.bin"), true);
        std::string s = "kept";
        EXPECT_FALSE(in.readString(s)) << content.size();
        EXPECT_EQ(s, "kept");
    }
}

// Lost text shows in close(): a full disk, whether during the writes or only at close, and
// an output that never opened (whose writes must be dropped without harm).
TEST_F(Streams, CloseSaysWhenTextWasLost) {
    fs::create_symlink("/dev/full", path("full.gz"));
    fs::create_symlink("/dev/full", path("full.txt"));
    for (const std::string name : {"full.gz", "full.txt"}) {
        ofile big(path(name));
        big << numberedText(50000);
        EXPECT_FALSE(big.close()) << name;
        ofile small(path(name));
        small << "x\n";
        EXPECT_FALSE(small.close()) << name;
    }
    for (const std::string name : {"no/such/out.gz", "no/such/out.bz2", "no/such/out.txt"}) {
        ofile out;
        EXPECT_FALSE(out.open(path(name)));
        EXPECT_EQ(out.name(), path(name));
        EXPECT_TRUE(out.empty());
        out << "lost\n";
        out.writeString("lost");
        EXPECT_FALSE(out.close()) << name;
        EXPECT_FALSE(out.close()) << name;
    }
    ofile never;
    EXPECT_FALSE(never.close());
}

// Large blocks hold the text back (the file-size test of a run sees one go out when full);
// close writes the rest and leaves the descriptor open for its owner.
TEST_F(Streams, DescriptorOutputInLargeBlocks) {
    const int fd = ::open(path("blocks.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ofile out;
    out.open(fd, "blocks.txt", ofile::delivery::large_blocks, nullptr);
    out << "line\n" << std::flush;
    EXPECT_EQ(slurp(path("blocks.txt")), "");
    EXPECT_TRUE(out.close());
    EXPECT_EQ(::write(fd, "!", 1), 1);
    ::close(fd);
    EXPECT_EQ(slurp(path("blocks.txt")), "line\n!");
}
