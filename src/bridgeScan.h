// The command line and the run sequence.
#pragma once

#include <string>

#include "run_options.h"

// Walks the arguments; an option that takes a value but is given last keeps its default.
run_options parseCommandLine(int argc, char** argv);
// Parses, checks the three required names, and runs the whole job. Returns the exit status.
int bridgeScanMain(int argc, char** argv, scan_method method = scan_method::one_pass);
// "bridgeScan VERSION (htslib VERSION)", as --version prints it.
std::string versionText();
