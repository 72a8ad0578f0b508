// Runs the built program in a child process and captures what it prints and its exit status.
#pragma once

#include <string>
#include <vector>

struct program_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs the program with these arguments (not including the program name), in `directory`
// when it is not empty.
program_result runProgram(const std::vector<std::string>& args, const std::string& directory = "");
program_result runProgramAt(const std::string& program, const std::vector<std::string>& args,
                            const std::string& directory = "");

// A fresh, empty folder under the test scratch area, named after the running test.
std::string freshScratchDir();
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
