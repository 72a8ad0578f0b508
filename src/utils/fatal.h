// How the program reports problems: one line on standard error, and status 1 when fatal.
#pragma once

#include <string>

// Writes a problem that the run survives: one line on standard error, after flushing standard
// output so that messages keep their order.
void reportProblem(const std::string& line);

// Reports the line as above, then ends the process with status 1.
[[noreturn]] void fatal(const std::string& line);

// Called by fatal() after the line is written, instead of ending the process. A fuzz target or
// a test sets one to unwind back into itself (throw, or longjmp) so that an intended stop is
// not taken for a crash. A handler that returns still ends the process with status 1.
using fatal_handler = void (*)(const std::string& line);

// Installs `handler` (null restores ending the process) and returns the one it replaces.
fatal_handler setFatalHandler(fatal_handler handler);

// Called by fatal() after the line is written and before the handler or the exit, so that a
// unit holding files that must not outlive a failed run (temporary outputs) can remove them
// without this one knowing it. Installs `cleanup` (null: none) and returns the one it replaces.
using fatal_cleanup = void (*)();
fatal_cleanup setFatalCleanup(fatal_cleanup cleanup);

// From now on, an exception that nothing catches ends the run as fatal() does, never with
// std::terminate's abort: "ERROR: Out of memory" for std::bad_alloc, "ERROR: " and its message
// for any other, so that temporary files are removed and the status is 1.
void endUncaughtExceptionsAsFatal();
