// Runs every folder of tests/cases through the program: its SAM files become indexed BAMs,
// `args` gives the command line, and the output, standard error and exit status must match.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "run_program.h"
#include "utils/streams.h"
#include "sam_fixture.h"
#include "vcf_fixture.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> caseNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(TEST_CASES_DIR))
        if (entry.is_directory()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// PIR lines come in the read table's order: sort them within each sample block.
std::string sortedBlocks(const std::string& text) {
    std::istringstream in(text);
    std::string result, line;
    std::vector<std::string> block;
    auto flush = [&] {
        std::sort(block.begin(), block.end());
        for (const auto& l : block) result += l + "\n";
        block.clear();
    };
    while (std::getline(in, line)) {
        const bool pirLine = !line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) &&
                             std::count(line.begin(), line.end(), '\t') >= 5;
        if (pirLine) {
            block.push_back(line);
        } else {
            flush();
            result += line + "\n";
        }
    }
    flush();
    return result;
}

std::string optionalFile(const fs::path& path, const std::string& otherwise) {
    return fs::exists(path) ? readFile(path.string()) : otherwise;
}

// The value after the last occurrence of `option`, or empty.
std::string optionValue(const std::vector<std::string>& args, const std::string& option) {
    const auto at = std::find(args.rbegin(), args.rend(), option);
    return at == args.rend() || at == args.rbegin() ? std::string() : *(at - 1);
}

std::vector<std::string> lines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

// The steps of a case's `prepare` file, one a line: "bgzip SOURCE DEST", "bcf SOURCE DEST",
// "index FILE", "age FILE" (its time set an hour back), run in the case's folder after its
// files were copied.
void prepare(const std::string& dir, const fs::path& steps) {
    if (!fs::exists(steps)) return;
    for (const std::string& line : lines(readFile(steps.string()))) {
        const std::vector<std::string> w = words(line);
        if (w[0] == "bgzip") vcf_fixture::bgzip(dir + "/" + w[1], dir + "/" + w[2]);
        else if (w[0] == "bcf") vcf_fixture::writeBcf(dir + "/" + w[1], dir + "/" + w[2]);
        else if (w[0] == "index") vcf_fixture::index(dir + "/" + w[1]);
        else if (w[0] == "age")
            fs::last_write_time(dir + "/" + w[1],
                                fs::last_write_time(dir + "/" + w[1]) - std::chrono::hours(1));
        else FAIL() << "unknown step in " << steps << ": " << line;
    }
}

// The phase sets file as text, its command line told from the program's path by what follows it.
std::string phaseSetsText(const std::string& path) {
    ifile in(path);
    std::string text;
    const std::string command = "##bridgeScan_command=";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(command, 0) == 0)
            line = command + "bridgeScan" + line.substr(line.find(' '));
        text += line + "\n";
    }
    return text;
}

// A bgzipped phase sets file comes with one index: a .tbi, or the kind `expected.index` names;
// a group's part of a cohort's, with none.
void checkPhaseSets(const fs::path& source, const std::string& dir,
                    const std::vector<std::string>& args) {
    const std::string phased = optionValue(args, "--phase-sets");
    if (phased.empty() || !fs::exists(source / "expected.phased.vcf")) return;
    EXPECT_EQ(phaseSetsText(dir + "/" + phased),
              readFile((source / "expected.phased.vcf").string()));
    if (std::find(args.begin(), args.end(), "--phase-part") != args.end()) {
        EXPECT_FALSE(fs::exists(dir + "/" + phased + ".tbi"));
        EXPECT_FALSE(fs::exists(dir + "/" + phased + ".csi"));
    } else if (fs::path(phased).extension() == ".gz") {
        const std::string kind = words(optionalFile(source / "expected.index", "tbi"))[0];
        EXPECT_TRUE(fs::exists(dir + "/" + phased + "." + kind));
        EXPECT_FALSE(fs::exists(dir + "/" + phased + (kind == "tbi" ? ".csi" : ".tbi")));
    }
}

// One run in the case's folder; what an earlier run wrote cannot pass for its output.
void checkRun(const fs::path &source, const std::string &dir,
              const std::vector<std::string> &args) {
    for (const char* option : {"--out", "--stats"})
        if (!optionValue(args, option).empty()) fs::remove(dir + "/" + optionValue(args, option));
    const program_result run = runProgram(args, dir);

    EXPECT_EQ(run.status, std::stoi(optionalFile(source / "expected.status", "0")));
    EXPECT_EQ(run.err, optionalFile(source / "expected.stderr", ""));
    if (fs::exists(source / "expected.stdout")) {
        EXPECT_EQ(run.out, readFile((source / "expected.stdout").string()));
    }
    const std::string out = optionValue(args, "--out");
    if (fs::exists(source / "expected.out") && !out.empty()) {
        EXPECT_EQ(sortedBlocks(readFile(dir + "/" + out)),
                  sortedBlocks(readFile((source / "expected.out").string())));
    } else if (!out.empty()) {
        EXPECT_FALSE(fs::exists(dir + "/" + out)) << "an output without expected.out";
    }
    const std::string stats = optionValue(args, "--stats");
    if (fs::exists(source / "expected.stats") && !stats.empty()) {
        EXPECT_EQ(readFile(dir + "/" + stats), readFile((source / "expected.stats").string()));
    }
    checkPhaseSets(source, dir, args);
}

class Cases : public testing::TestWithParam<std::string> {};

// Each line of `args` is one run, and every run must meet the same expectations.
TEST_P(Cases, OutputMatches) {
    const fs::path source = fs::path(TEST_CASES_DIR) / GetParam();
    const std::string dir = freshScratchDir();
    for (const auto& entry : fs::directory_iterator(source)) {
        const fs::path& file = entry.path();
        if (file.extension() == ".sam")
            sam_fixture::writeBam(dir, file.stem().string(), readFile(file.string()));
        else
            fs::copy_file(file, fs::path(dir) / file.filename());
    }
    prepare(dir, source / "prepare");
    for (const std::string& line : lines(readFile((source / "args").string()))) {
        SCOPED_TRACE(line);
        checkRun(source, dir, words(line));
    }
}

INSTANTIATE_TEST_SUITE_P(Folder, Cases, testing::ValuesIn(caseNames()),
                         [](const testing::TestParamInfo<std::string>& test) {
                             return test.param;
                         });

}  // namespace
