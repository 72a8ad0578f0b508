// Tests of the compressed text streams: compression by name, multi-member input, damage
// detection, length-prefixed records and the close result of an output.
#include "utils/streams.h"

#include <gtest/gtest.h>

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

// A fresh folder per test, so tests never see each other's files.
class Streams : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::path(TEST_SCRATCH_DIR) / "streams" / info->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
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
    std::ostringstream text;
    text << in.rdbuf();
    return in.failed() ? "<damaged>" : text.str();
}

lines readLines(ifile& in) {
    lines out;
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

lines readLines(const std::string& name) {
    ifile in(name);
    return readLines(in);
}

// Enough text that the compressed forms span several buffers of the chain.
std::string numberedText(int count) {
    std::string text;
    for (int i = 1; i <= count; ++i) text += "line\t" + std::to_string(i) + "\n";
    return text;
}

}  // namespace

TEST_F(Streams, OutputCompressionFollowsTheExactExtension) {
    fs::create_directories(path("out.d"));
    fs::create_directories(path("out.gz"));
    const struct {
        std::string name;
        std::string magic;
    } cases[] = {{"calls.vcf.gz", "\x1f\x8b"}, {"calls.vcf.bz2", "BZh9"},
                 {"calls.VCF.GZ", "text"},     {"calls.vcf.bgz", "text"},
                 {"calls.gzip", "text"},       {"calls.", "text"},
                 {"noextension", "text"},      {"out.d/result", "text"},
                 {"out.gz/result", "text"}};
    for (const auto& c : cases) {
        ofile out(path(c.name));
        EXPECT_EQ(out.name(), path(c.name));
        out << "text\n";
        EXPECT_TRUE(out.close()) << c.name;
        EXPECT_EQ(slurp(path(c.name)).substr(0, c.magic.size()), c.magic) << c.name;
    }
}

TEST_F(Streams, InputDecompressionFollowsTheExactExtension) {
    const std::string text = "a\tb\nc\n";
    spill(path("calls.vcf.gz"), gzipMember(text));
    spill(path("calls.vcf.bz2"), bzip2Stream(text));
    spill(path("calls.VCF.GZ"), text);
    spill(path("calls.vcf.bgz"), gzipMember(text));
    EXPECT_EQ(readLines(path("calls.vcf.gz")), (lines{"a\tb", "c"}));
    EXPECT_EQ(readLines(path("calls.vcf.bz2")), (lines{"a\tb", "c"}));
    EXPECT_EQ(readLines(path("calls.VCF.GZ")), (lines{"a\tb", "c"}));
    const lines raw = readLines(path("calls.vcf.bgz"));
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw[0].substr(0, 2), "\x1f\x8b");
}

TEST_F(Streams, TextRoundTripsInEveryForm) {
    const std::string text = numberedText(30000) + "\n\tlast line without end";
    for (const std::string name : {"plain.txt", "packed.gz", "packed.bz2"}) {
        ofile out(path(name));
        out << text;
        ASSERT_TRUE(out.close()) << name;
        ifile in(path(name));
        const lines got = readLines(in);
        EXPECT_FALSE(in.failed()) << name;
        ASSERT_EQ(got.size(), 30002u) << name;
        EXPECT_EQ(got[29999], "line\t30000");
        EXPECT_EQ(got[30000], "");
        EXPECT_EQ(got[30001], "\tlast line without end");
    }
    EXPECT_EQ(gunzipFile(path("packed.gz")), text);
    EXPECT_EQ(bunzip2File(path("packed.bz2")), text);
    EXPECT_EQ(slurp(path("plain.txt")), text);
}

// No name, no comment and time 0: the same text always gives the same bytes.
TEST_F(Streams, GzipHeaderCarriesNoNameAndNoTime) {
    ofile out(path("h.gz"));
    out << "x\n";
    ASSERT_TRUE(out.close());
    const std::string header = slurp(path("h.gz")).substr(0, 8);
    EXPECT_EQ(header, bytes({0x1f, 0x8b, 8, 0, 0, 0, 0, 0}));
}

TEST_F(Streams, DestructorCompletesTheCompressedFile) {
    const std::string text = numberedText(5000);
    {
        ofile gz(path("d.gz"));
        ofile bz(path("d.bz2"));
        gz << text;
        bz << text;
    }
    EXPECT_EQ(gunzipFile(path("d.gz")), text);
    EXPECT_EQ(bunzip2File(path("d.bz2")), text);
}

TEST_F(Streams, CloseAndOpenAgain) {
    ofile out(path("first.gz"));
    out << "one\n";
    ASSERT_TRUE(out.open(path("second.txt")));  // closes and completes first.gz
    out << "two\n";
    EXPECT_TRUE(out.close());
    EXPECT_TRUE(out.close());  // repeats the answer, touches nothing
    EXPECT_EQ(gunzipFile(path("first.gz")), "one\n");
    EXPECT_EQ(slurp(path("second.txt")), "two\n");
    out << "dropped\n";
    EXPECT_EQ(slurp(path("second.txt")), "two\n");

    ifile in(path("first.gz"));
    EXPECT_EQ(readLines(in), lines{"one"});
    in.close();
    std::string line;
    EXPECT_FALSE(std::getline(in, line));
    ASSERT_TRUE(in.open(path("second.txt")));
    EXPECT_EQ(readLines(in), lines{"two"});
}

// Writers flush every line: the text must reach the file then, not at close.
TEST_F(Streams, FlushReachesThePlainFile) {
    ofile out(path("live.txt"));
    out << "site\t1" << std::endl;
    EXPECT_EQ(slurp(path("live.txt")), "site\t1\n");
    EXPECT_TRUE(out.close());
}

TEST_F(Streams, ConcatenatedMembersAreReadThrough) {
    spill(path("multi.gz"), gzipMember("a\nb\n") + gzipMember("") + gzipMember("c\nd"));
    ifile in(path("multi.gz"));
    EXPECT_EQ(readLines(in), (lines{"a", "b", "c", "d"}));
    EXPECT_FALSE(in.failed());

    spill(path("multi.bz2"), bzip2Stream("a\n") + bzip2Stream("b\n"));
    ifile bz(path("multi.bz2"));
    EXPECT_EQ(readLines(bz), (lines{"a", "b"}));
    EXPECT_FALSE(bz.failed());
}

// Block-compressed files are many members with extra header fields and an empty last member.
TEST_F(Streams, BlockCompressedFileIsReadThrough) {
    const std::string text = numberedText(40000);
    BGZF* out = bgzf_open(path("blocks.vcf.gz").c_str(), "w");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(bgzf_write(out, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(bgzf_close(out), 0);
    ifile in(path("blocks.vcf.gz"));
    const lines got = readLines(in);
    EXPECT_FALSE(in.failed());
    ASSERT_EQ(got.size(), 40000u);
    EXPECT_EQ(got.back(), "line\t40000");
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
        {"not_gzip.gz", text},
        {"empty.gz", ""},
        {"cut_in_block.bz2", bz.substr(0, bz.size() / 2)},
        {"cut_at_end.bz2", bz.substr(0, bz.size() - 3)},
        {"garbage_after_stream.bz2", bz + "garbage\n"},
        {"not_bzip2.bz2", text},
    };
    for (const auto& d : damaged) {
        spill(path(d.name), d.content);
        ifile in(path(d.name));
        const lines got = readLines(in);
        EXPECT_TRUE(in.failed()) << d.name;
        EXPECT_LT(got.size(), 20000u + (d.name.rfind("second", 0) == 0 ? 20000u : 0u)) << d.name;
        in.close();
        EXPECT_TRUE(in.failed()) << d.name << " forgot after close";
    }
}

TEST_F(Streams, CleanEndsAreNotFailures) {
    spill(path("good.gz"), gzipMember("a\n"));
    spill(path("empty.txt"), "");
    for (const std::string name : {"good.gz", "empty.txt", "missing.gz", "missing.txt"}) {
        ifile in(path(name));
        readLines(in);
        EXPECT_FALSE(in.failed()) << name;
    }
    ifile fresh;
    std::string line;
    EXPECT_FALSE(std::getline(fresh, line));
    EXPECT_FALSE(fresh.failed());

    spill(path("bad.gz"), "not gzip");
    ifile in(path("bad.gz"));
    readLines(in);
    ASSERT_TRUE(in.failed());
    ASSERT_TRUE(in.open(path("good.gz")));
    EXPECT_FALSE(in.failed());
}

// A missing file or a folder reads as empty; no decompressor is left to trip over.
TEST_F(Streams, InputThatCannotBeOpenedReadsAsEmpty) {
    for (const std::string name : {"missing.gz", "missing.bz2", "missing.txt", ""}) {
        ifile in;
        EXPECT_FALSE(in.open(path(name)));
        EXPECT_EQ(in.name(), path(name));
        EXPECT_TRUE(in.empty());
        std::string line;
        EXPECT_FALSE(std::getline(in, line));
    }
    ifile folder;
    EXPECT_FALSE(folder.open(dir.string()));
    EXPECT_TRUE(readLines(folder).empty());
    EXPECT_FALSE(folder.failed());
}

TEST_F(Streams, RecordBytesAndRoundTrip) {
    {
        ofile out(path("records.bin"), true);
        out.writeString("abc");
        out.writeString("");
        ASSERT_TRUE(out.close());
    }
    EXPECT_EQ(slurp(path("records.bin")), bytes({3, 0, 0, 0, 'a', 'b', 'c', 0, 0, 0, 0}));

    const std::string large(70000, 'q');  // longer than one read piece
    {
        ofile out(path("records.gz"));
        out.writeString("abc");
        out.writeString(large);
        out.writeString("");
        ASSERT_TRUE(out.close());
    }
    ifile in(path("records.gz"), true);
    std::string s;
    ASSERT_TRUE(in.readString(s));
    EXPECT_EQ(s, "abc");
    ASSERT_TRUE(in.readString(s));
    EXPECT_EQ(s, large);
    ASSERT_TRUE(in.readString(s));
    EXPECT_EQ(s, "");
    EXPECT_FALSE(in.readString(s));
    EXPECT_FALSE(in.failed());
}

TEST_F(Streams, RecordStopsAtTheFirstNul) {
    spill(path("nul.bin"), bytes({5, 0, 0, 0, 'a', 'b', 0, 'c', 'd', 1, 0, 0, 0, 'z'}));
    ifile in(path("nul.bin"), true);
    std::string s;
    ASSERT_TRUE(in.readString(s));
    EXPECT_EQ(s, "ab");
    ASSERT_TRUE(in.readString(s));  // the NUL's tail was consumed with its record
    EXPECT_EQ(s, "z");
}

// A damaged length must fail, leave the string alone, and allocate nothing near its claim.
TEST_F(Streams, ImpossibleRecordLengthsFail) {
    const struct {
        std::string name;
        std::string content;
    } cases[] = {
        {"negative.bin", bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'})},
        {"huge.bin", bytes({0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b', 'c'})},
        {"short.bin", bytes({4, 0, 0, 0, 'a', 'b', 'c'})},
        {"short_prefix.bin", bytes({4, 0})},
    };
    for (const auto& c : cases) {
        spill(path(c.name), c.content);
        ifile in(path(c.name), true);
        std::string s = "kept";
        EXPECT_FALSE(in.readString(s)) << c.name;
        EXPECT_EQ(s, "kept") << c.name;
    }
}

TEST_F(Streams, FullDiskMakesCloseFalse) {
    fs::create_symlink("/dev/full", path("full.gz"));
    fs::create_symlink("/dev/full", path("full.txt"));
    const std::string text = numberedText(50000);
    for (const std::string name : {"full.gz", "full.txt"}) {
        ofile big(path(name));
        big << text;
        EXPECT_FALSE(big.close()) << name;
        ofile small(path(name));  // lost only when the last buffer is written at close
        small << "x\n";
        EXPECT_FALSE(small.close()) << name;
    }
    ofile direct("/dev/full");
    direct << "x\n";
    EXPECT_FALSE(direct.close());
}

TEST_F(Streams, OutputThatCannotBeOpenedLosesTextAndSaysSo) {
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
