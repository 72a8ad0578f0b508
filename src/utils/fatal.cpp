// Fatal input errors end the process here, and nowhere else.
#include "utils/fatal.h"

#include <cstdlib>
#include <iostream>

namespace {

fatal_handler installed = nullptr;
fatal_cleanup cleanupHook = nullptr;

}  // namespace

fatal_handler setFatalHandler(fatal_handler handler) {
    const fatal_handler previous = installed;
    installed = handler;
    return previous;
}

fatal_cleanup setFatalCleanup(fatal_cleanup cleanup) {
    const fatal_cleanup previous = cleanupHook;
    cleanupHook = cleanup;
    return previous;
}

void reportProblem(const std::string& line) {
    std::cout.flush();
    std::cerr << line << std::endl;
}

void fatal(const std::string& line) {
    reportProblem(line);
    if (cleanupHook) cleanupHook();
    if (installed) installed(line);
    std::exit(1);
}
