// The log writer's routing, mute switches, exact prefixes, naming rule and fatal path.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "utils/lfile.h"

namespace {
std::string scratch(const std::string& name) {
    const std::filesystem::path dir = std::filesystem::path(TEST_SCRATCH_DIR) / "lfile";
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

TEST(lfile, logNameAndPrefix) {
    lfile log;
    EXPECT_EQ(log.getPrefix(), "");
    const std::string base = scratch("run1");
    const struct {
        std::string given, name, prefix;
    } cases[] = {{base, base + ".log", base},
                 {base + ".txt", base + ".txt.log", base + ".txt"},
                 {base + ".log", base + ".log", base},
                 {base + ".LOG", base + ".LOG.log", base + ".LOG"},
                 {base + ".a.b", base + ".a.b.log", base + ".a.b"}};
    for (const auto& c : cases) {
        EXPECT_TRUE(log.open(c.given)) << c.given;
        EXPECT_EQ(log.name(), c.name);
        EXPECT_EQ(log.getPrefix(), c.prefix);
        EXPECT_TRUE(std::filesystem::exists(c.name));
    }
}

TEST(lfile, routingAndMuteSwitches) {
    lfile log;
    ASSERT_TRUE(log.open(scratch("routing")));
    testing::internal::CaptureStdout();
    log.print("a");
    log.printC("b");
    log.printL("c");
    log.println("d");
    log.printlnC("e");
    log.printlnL("f");
    log.muteC();
    log.println("g");
    log.printC("h");
    log.warning("w1");
    log.unmuteC();
    log.muteL();
    log.println("i");
    log.printL("j");
    log.warning("w2");
    log.unmuteL();
    log.warning("w3");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "abd\ne\n\033[33mWARNING:\033[0m w1\ni\n\033[33mWARNING:\033[0m w2\n"
              "\033[33mWARNING:\033[0m w3\n");
    // Written while the object is alive: every message is flushed at once.
    EXPECT_EQ(slurp(log.name()), "acd\nf\ng\nWARNING: w1\nWARNING: w3\n");
}

TEST(lfile, reopeningSwitchesToTheNewLogAndTruncates) {
    lfile log;
    ASSERT_TRUE(log.open(scratch("first")));
    log.printlnL("one");
    ASSERT_TRUE(log.open(scratch("second")));
    log.printlnL("two");
    ASSERT_TRUE(log.open(scratch("second")));
    log.printlnL("three");
    EXPECT_EQ(slurp(scratch("first.log")), "one\n");
    EXPECT_EQ(slurp(scratch("second.log")), "three\n");
}

TEST(lfile, unwritableLogLeavesTheConsoleAlone) {
    lfile log;
    EXPECT_FALSE(log.open(scratch("missing/dir/run")));
    testing::internal::CaptureStdout();
    log.println("still here");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "still here\n");
}

TEST(lfileDeathTest, errorClosesTheLogAndExitsWithOne) {
    lfile log;
    ASSERT_TRUE(log.open(scratch("fatal")));
    log.println("before");
    log.muteC();
    // The console is standard output; send it to standard error where the death test looks.
    EXPECT_EXIT((dup2(2, 1), log.error("boom")), testing::ExitedWithCode(1),
                "^\033\\[33mERROR:\033\\[0m boom\n$");
    EXPECT_EQ(slurp(scratch("fatal.log")), "before\nERROR: boom\n");
}
