// Where output names finally lead, and the check that no two names of the run are one file.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

// The file a name leads to once its symbolic links are followed. A dangling link, or a name not
// taken yet, leads to the name a new file would get.
struct output_target {
    int error = 0;          // the errno of what made the name unusable (a link loop, a name too
                            // long, a folder without search permission); 0 when resolved
    bool exists = false;
    struct stat info = {};  // of the existing file
    // For a regular file or a name not taken yet: its name with every link followed, in a
    // folder named without links, so that the same file always gets the same name. For other
    // existing files (devices, pipes): the name as given.
    std::string path;
};

// The folder part of a name, with its closing '/'; empty for a name in the working folder.
std::string folderOf(const std::string& path);

output_target finalTarget(const std::string& path);

// True when `path` names the file that standard output (descriptor 1) already is; `-` names it
// too, as for samtools and bcftools.
bool isStandardOutput(const std::string& path);

// The name `path` leads to once its own links are followed, for a file written beside it (an
// index): the name itself when it is no link, or when its links lead nowhere usable.
std::string linkedName(const std::string& path);

// What an existing target that is no regular file is, for messages ("a character device", "a
// pipe"); empty for a regular file or a name not taken yet.
std::string nonFileKind(const output_target& target);

// Why this user cannot replace the existing regular file `target` by a rename: it is immutable
// or append-only, or its folder is sticky and neither the folder nor the file is the user's.
// Empty when nothing stands in the way that can be seen before trying.
std::string whyNotReplaceable(const output_target& target);

// The value of one field of /proc/self/status ("Umask:"), blanks trimmed; empty without it.
std::string processStatusField(const std::string& field);

// An output of the run, as the checks name it: `title` is "Output file", "Statistics file".
struct titled_output {
    std::string path;
    std::string title;
};

// Before any output is created: each output must lead to a usable name ("ERROR: Cannot create
// output file [F]: REASON"), none to a file of `inputs` ("ERROR: Output file [F] is also an
// input file"), and no two to the same file ("ERROR: Statistics file [F] is the output file",
// the later output named first). Inputs that do not exist are passed over.
void refuseSharedFiles(const std::vector<titled_output>& outputs,
                       const std::vector<std::string>& inputs);
