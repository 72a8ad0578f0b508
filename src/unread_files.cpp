// The closing account of the alignment files that could not be read.
#include "unread_files.h"

#include <algorithm>

#include "utils/fatal.h"

void unread_files::add(failure kind, const std::string& sample, const std::string& path,
                       const std::string& reason) {
    files.push_back({kind, sample, path, reason});
}

int unread_files::count(failure kind) const {
    return static_cast<int>(std::count_if(files.begin(), files.end(),
                                          [&](const unread_file& f) { return f.kind == kind; }));
}

int unread_files::unreadable() const { return count(failure::unreadable); }

bool unread_files::noneRead(size_t listed) const {
    return listed > 0 && files.size() == listed;
}

void unread_files::report(size_t listed) const {
    if (files.empty()) return;
    std::string lines = "WARNING: " + std::to_string(files.size()) + " of " +
                        std::to_string(listed) + " alignment files could not be read:";
    for (const unread_file& f : files)
        lines += "\n  * sample [" + f.sample + "], file [" + f.path + "]: " + f.reason;
    reportProblem(lines);
}
