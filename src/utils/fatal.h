// The one way the program stops on a fatal input error: one line on standard error, status 1.
#pragma once

#include <string>

// Flushes standard output first so that messages keep their order.
[[noreturn]] void fatal(const std::string& line);
