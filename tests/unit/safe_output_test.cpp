// Publishing several outputs together: a rename that fails part-way leaves every name as it was,
// and a withdrawn name loses its older file only with the others.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"
#include "utils/safe_output.h"

namespace fs = std::filesystem;

namespace {

int renamesBeforeFailure = 0;

// The publishing rename, failing once `renamesBeforeFailure` renames have succeeded, as a
// folder made read-only meanwhile would.
int failingRename(const char* from, const char* to) {
    if (renamesBeforeFailure-- == 0) {
        errno = EROFS;
        return -1;
    }
    return std::rename(from, to);
}

// One output of a publishing: its name, the older file under it (none when empty), and whether
// it is withdrawn rather than written.
struct planned_output {
    std::string name;
    std::string older;
    bool withdrawn = false;
};

// Every file of the folder, hidden ones included, with its content, in name order.
std::string folderContents(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir))
        files[entry.path().filename().string()] = readFile(entry.path().string());
    std::string all;
    for (const auto& [name, content] : files) all += name + ": " + content;
    return all;
}

// Writes the older files, then stages and publishes the outputs, each with "new NAME".
void publish(const std::string& dir, const std::vector<planned_output>& plan) {
    std::vector<std::unique_ptr<safe_output>> outputs;
    std::vector<safe_output*> all;
    for (const planned_output& output : plan) {
        outputs.push_back(std::make_unique<safe_output>(dir + "/" + output.name));
        outputs.back()->stream() << "new " << output.name << "\n";
        if (output.withdrawn) outputs.back()->withdraw();
        all.push_back(outputs.back().get());
    }
    safe_output::finishAll(all);
}

std::string prepared(const std::vector<planned_output>& plan) {
    const std::string dir = freshScratchDir() + "/outputs";
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const planned_output& output : plan)
        if (!output.older.empty()) writeFile(dir + "/" + output.name, output.older);
    return dir;
}

const std::vector<planned_output> four_outputs = {{"pirs.txt", "older pirs\n"},
                                                  {"stats.tsv", ""},
                                                  {"phased.vcf", "older phased\n"},
                                                  {"phased.vcf.csi", "older index\n", true}};

// Publishes `four_outputs` in `dir` with the rename after `failing` ones failing, after `setup`
// in the dying process; the folder must end as it began.
void expectEveryOutputAsBefore(const std::string& dir, int failing, void (*setup)()) {
    SCOPED_TRACE(failing);
    const std::string before = folderContents(dir);
    EXPECT_EXIT(
        {
            setup();
            safe_output::publishingRename = failingRename;
            renamesBeforeFailure = failing;
            publish(dir, four_outputs);
        },
        testing::ExitedWithCode(1),
        "ERROR: Cannot write output file \\[.*/" +
            four_outputs[static_cast<size_t>(failing)].name + "\\]: Read-only file system");
    EXPECT_EQ(folderContents(dir), before);
}

// Whichever rename fails, and whether the outputs before it replaced a file or made a new one
// or removed one, the folder ends as it began: no new file, no older one lost, nothing hidden.
TEST(safeOutputDeathTest, aRenameThatFailsLeavesEveryOutputAsBefore) {
    for (int failing = 1; failing < 3; ++failing)
        expectEveryOutputAsBefore(prepared(four_outputs), failing, [] {});
}

// The same where the older files cannot be linked: root's files, which the link rules
// (fs.protected_hardlinks) keep another user from linking, in a folder of that user's, who may
// rename them. They are renamed aside instead, and back.
TEST(safeOutputDeathTest, olderFilesThatCannotBeLinkedAreRenamedAsideAndBack) {
    static const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody || readFile("/proc/sys/fs/protected_hardlinks") != "1\n")
        GTEST_SKIP() << "needs root, a user nobody and protected hard links";
    const std::string dir = prepared(four_outputs);
    ASSERT_EQ(chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    for (int failing = 1; failing < 3; ++failing)
        expectEveryOutputAsBefore(dir, failing, [] {
            if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                setuid(nobody->pw_uid) != 0)
                _exit(125);
        });
}

TEST(safeOutput, publishingReplacesAndRemovesTogetherAndLeavesNothingAside) {
    const std::vector<planned_output> plan = {{"pirs.txt", "older pirs\n"},
                                              {"phased.vcf.gz.tbi", ""},
                                              {"phased.vcf.gz.csi", "older index\n", true}};
    const std::string dir = prepared(plan);
    publish(dir, plan);
    EXPECT_EQ(folderContents(dir),
              "phased.vcf.gz.tbi: new phased.vcf.gz.tbi\npirs.txt: new pirs.txt\n");
}

}  // namespace
