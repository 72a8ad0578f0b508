// Runs the built program in a child process and captures what it prints and its exit status.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct program_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs in the child just before the program starts, its standard output and error already
// captured: closes descriptors, sets limits or signal actions.
using child_setup = std::function<void()>;

// A program started and not yet waited for.
struct running_program {
    pid_t pid = -1;
    std::string capture;  // the folder holding what it prints
};

// Runs the program with these arguments (not including the program name), in `directory`
// when it is not empty.
program_result runProgram(const std::vector<std::string>& args, const std::string& directory = "",
                          const child_setup& setup = {});
program_result runProgramAt(const std::string& program, const std::vector<std::string>& args,
                            const std::string& directory = "");
// The same in two steps, for a test that acts on the program while it runs.
running_program startProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::string& directory, const child_setup& setup);
program_result finishProgram(const running_program& run);

// A fresh, empty folder under the test scratch area, named after the running test.
std::string freshScratchDir();
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
