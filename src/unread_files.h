// The alignment files a run could not read, kept for the account that closes the run.
#pragma once

#include <string>
#include <vector>

class unread_files {
public:
    // How far a file got; each was named on standard error as it failed.
    enum class failure {
        not_opened,   // the file itself could not be opened
        not_scanned,  // opened, but without its index or the sequence to scan
        unreadable,   // its reads could not be read, or not to the end: the run ends with status 1
    };

    void add(failure kind, const std::string& sample, const std::string& path,
             const std::string& reason);

    // Files whose reads could not be read: their samples' blocks may lack reads.
    int unreadable() const;
    // Every one of the `listed` files failed: the run scanned nothing.
    bool noneRead(size_t listed) const;
    // On standard error, when any file failed: how many of the `listed` ones, then each with
    // its sample and why, where a user looks once the progress lines have scrolled by.
    void report(size_t listed) const;

private:
    struct unread_file {
        failure kind;
        std::string sample, path, reason;
    };
    int count(failure kind) const;

    std::vector<unread_file> files;
};
