// Child-process runner for end-to-end tests, and scratch-folder helpers.
#include "run_program.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

running_program startProgram(const std::string& program, const std::vector<std::string>& args,
                              const std::string& directory, const child_setup& setup) {
    running_program run;
    run.capture = freshScratchDir() + "/.capture";
    fs::create_directories(run.capture);
    const std::string outPath = run.capture + "/stdout", errPath = run.capture + "/stderr";
    run.pid = fork();
    if (run.pid == 0) {
        if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(126);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (setup) setup();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return run;
}

program_result runProgram(const std::vector<std::string>& args, const std::string& directory,
                          const child_setup& setup) {
    return finishProgram(startProgram(BRIDGESCAN_BIN, args, directory, setup));
}

program_result runProgramAt(const std::string& program, const std::vector<std::string>& args,
                            const std::string& directory) {
    return finishProgram(startProgram(program, args, directory, {}));
}

program_result finishProgram(const running_program& run) {
    int status = 0;
    waitpid(run.pid, &status, 0);
    program_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp(run.capture + "/stdout");
    result.err = slurp(run.capture + "/stderr");
    fs::remove_all(run.capture);
    return result;
}

std::string freshScratchDir() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "none";
    for (char& c : name)
        if (c == '/') c = '_';
    const fs::path dir = fs::path(TEST_SCRATCH_DIR) / name;
    static std::string current;
    if (current != dir.string()) {  // one fresh folder per test, kept while it runs
        fs::remove_all(dir);
        fs::create_directories(dir);
        current = dir.string();
    }
    return dir.string();
}

std::string readFile(const std::string& path) { return slurp(path); }

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}
