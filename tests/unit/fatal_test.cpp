// The fatal-error exit, its replaceable handler, and exceptions that nothing catches.
#include <unistd.h>

#include <exception>
#include <iostream>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include "utils/fatal.h"

namespace {

struct fatal_stop : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void throwStop(const std::string& line) { throw fatal_stop(line); }
void returnQuietly(const std::string&) {}

// Puts back whatever handler was installed before the test, also when it fails.
class handler_guard {
public:
    explicit handler_guard(fatal_handler handler) : previous(setFatalHandler(handler)) {}
    ~handler_guard() { setFatalHandler(previous); }
    handler_guard(const handler_guard&) = delete;
    handler_guard& operator=(const handler_guard&) = delete;

private:
    fatal_handler previous;
};

TEST(fatalDeathTest, endsTheProcessWithStatusOneAfterPendingOutput) {
    // Standard output goes to standard error here, so the order of the two is visible.
    EXPECT_EXIT((dup2(2, 1), std::cout << "progress ", fatal("ERROR: boom")),
                testing::ExitedWithCode(1), "^progress ERROR: boom\n$");
}

TEST(fatal, aThrowingHandlerUnwindsIntoTheCallerAfterTheMessage) {
    handler_guard guard(throwStop);
    testing::internal::CaptureStderr();
    try {
        fatal("ERROR: stop here");
        ADD_FAILURE() << "fatal returned";
    } catch (const fatal_stop& stop) {
        EXPECT_STREQ(stop.what(), "ERROR: stop here");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: stop here\n");
}

TEST(fatalDeathTest, aHandlerThatReturnsStillEndsTheProcess) {
    EXPECT_EXIT((setFatalHandler(returnQuietly), fatal("ERROR: kept")), testing::ExitedWithCode(1),
                "^ERROR: kept\n$");
}

TEST(fatalDeathTest, removingTheHandlerRestoresTheExit) {
    EXPECT_EQ(setFatalHandler(throwStop), nullptr);
    EXPECT_EQ(setFatalHandler(nullptr), &throwStop);
    EXPECT_EXIT(fatal("ERROR: again"), testing::ExitedWithCode(1), "^ERROR: again\n$");
}

// std::terminate while `e` is being handled, as when nothing catches it.
[[noreturn]] void terminateWith(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (...) {
        std::terminate();
    }
}

TEST(fatalDeathTest, anUncaughtExceptionEndsTheRunAsAFatalError) {
    EXPECT_EXIT((endUncaughtExceptionsAsFatal(),
                 terminateWith(std::make_exception_ptr(std::runtime_error("cannot go on")))),
                testing::ExitedWithCode(1), "^ERROR: cannot go on\n$");
    EXPECT_EXIT((endUncaughtExceptionsAsFatal(),
                 terminateWith(std::make_exception_ptr(std::bad_alloc()))),
                testing::ExitedWithCode(1), "^ERROR: Out of memory\n$");
}

}  // namespace
