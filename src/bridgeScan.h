// The command line and the run sequence.
#pragma once

#include "data_set.h"

struct command_line {
    const char* vcf = nullptr;
    const char* bam = nullptr;
    const char* out = nullptr;
    int baseQuality = 13;
    int readQuality = 10;
    int from = 0;
    int to = 1000000000;
};

// Walks the arguments; a numeric option given last, with no value after it, keeps its default.
command_line parseCommandLine(int argc, char** argv);
// Parses, checks the three required names, and runs the whole job. Returns the exit status.
int bridgeScanMain(int argc, char** argv, scan_method method = scan_method::one_pass);
