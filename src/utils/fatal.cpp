// Fatal input errors end the process here, and nowhere else.
#include "utils/fatal.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <new>

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

namespace {

std::string uncaughtMessage() {
    try {
        if (std::current_exception()) std::rethrow_exception(std::current_exception());
    } catch (const std::bad_alloc&) {
        return "ERROR: Out of memory";
    } catch (const std::exception& e) {
        return std::string("ERROR: ") + e.what();
    } catch (...) {
    }
    return "ERROR: Internal error";
}

}  // namespace

void endUncaughtExceptionsAsFatal() {
    std::set_terminate([] { fatal(uncaughtMessage()); });
}
