// Tests of the file helpers: existence and creation, extensions, and the packed bit vector bytes.
#include "run_program.h"
#include "utils/futils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class FileHelpers : public ::testing::Test {
protected:
    void SetUp() override { dir = freshScratchDir(); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    fs::path dir;
};

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

std::string packed(const std::vector<bool>& v) {
    std::ostringstream out;
    futils::bool2binary(v, out);
    return out.str();
}

}  // namespace

TEST_F(FileHelpers, IsFileOnlyForReadableFiles) {
    std::ofstream(path("present.txt")) << "x";
    EXPECT_TRUE(futils::isFile(path("present.txt")));
    EXPECT_FALSE(futils::isFile(path("missing.txt")));
    EXPECT_FALSE(futils::isFile(dir.string()));
}

TEST_F(FileHelpers, CreateFileLeavesAnEmptyFile) {
    std::ofstream(path("old.txt")) << "previous content";
    EXPECT_TRUE(futils::createFile(path("old.txt")));
    EXPECT_EQ(fs::file_size(path("old.txt")), 0u);
    EXPECT_TRUE(futils::createFile(path("new.txt")));
    EXPECT_TRUE(fs::exists(path("new.txt")));
    EXPECT_FALSE(futils::createFile(path("no/such/folder/f.txt")));
}

TEST(Extension, TextAfterTheLastDotAnywhere) {
    EXPECT_EQ(futils::extensionFile("archive.tar.gz"), "gz");
    EXPECT_EQ(futils::extensionFile("noextension"), "");
    EXPECT_EQ(futils::extensionFile("name."), "");
    EXPECT_EQ(futils::extensionFile("out.d/result"), "d/result");
    EXPECT_EQ(futils::extensionFile("calls.VCF.GZ"), "GZ");
    EXPECT_EQ(futils::extensionFile(".bashrc"), "bashrc");
    EXPECT_EQ(futils::extensionFile(""), "");
}

TEST(PackedBits, LayoutIsCountThenLeastSignificantBitFirst) {
    std::vector<bool> v(10, false);
    v[0] = v[7] = v[8] = v[9] = true;
    EXPECT_EQ(packed(v), bytes({0x0A, 0, 0, 0, 0x81, 0x03}));
    EXPECT_EQ(packed({}), bytes({0, 0, 0, 0}));
    EXPECT_EQ(packed(std::vector<bool>(8, true)), bytes({8, 0, 0, 0, 0xFF}));
    EXPECT_EQ(packed(std::vector<bool>(300, false)).substr(0, 4), bytes({0x2C, 0x01, 0, 0}));
}

TEST(PackedBits, RoundTripsEveryLength) {
    std::mt19937 random(7);
    for (size_t n = 0; n <= 40; ++n) {
        std::vector<bool> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = random() & 1u;
        std::istringstream in(packed(v));
        std::vector<bool> back{true, true};
        ASSERT_TRUE(futils::binary2bool(back, in)) << n;
        EXPECT_EQ(back, v) << n;
        EXPECT_EQ(in.peek(), std::char_traits<char>::eof()) << "bytes left after n=" << n;
    }
}

// Reading stops at the first missing byte; the elements decoded so far stay set.
TEST(PackedBits, ShortDataIsAFailure) {
    const std::string full = bytes({0x0A, 0, 0, 0, 0x81, 0x03});
    std::istringstream five(full.substr(0, 5));
    std::vector<bool> v;
    EXPECT_FALSE(futils::binary2bool(v, five));
    ASSERT_EQ(v.size(), 10u);
    EXPECT_TRUE(v[0] && v[7]);
    EXPECT_FALSE(v[8] || v[9]);

    std::vector<bool> untouched{true};
    std::istringstream three(full.substr(0, 3));
    EXPECT_FALSE(futils::binary2bool(untouched, three));
    EXPECT_EQ(untouched, std::vector<bool>{true});
}

// A negative count cannot have been written; it must not become a huge allocation.
TEST(PackedBits, NegativeCountIsAFailure) {
    std::istringstream in(bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
    std::vector<bool> v{false, true};
    EXPECT_FALSE(futils::binary2bool(v, in));
    EXPECT_EQ(v, (std::vector<bool>{false, true}));
}
