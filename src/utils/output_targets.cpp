// Output names followed through their links to the file they lead to, and compared by it.
#include "utils/output_targets.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "utils/fatal.h"

namespace {

// The name `path` finally takes, its links followed by hand (each relative to the folder of the
// link), so that a dangling link leads somewhere too. 0 or an errno.
int followLinks(std::string& path) {
    constexpr int link_hops = 40;  // the kernel's own limit
    for (int hop = 0; hop < link_hops; ++hop) {
        if (path.empty() || path.back() == '/') return EISDIR;  // no file name to give
        struct stat info;
        if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(info.st_mode)) return 0;
        char link[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), link, sizeof link);
        if (length < 0) return errno;
        if (length == 0 || length == static_cast<ssize_t>(sizeof link)) return ENAMETOOLONG;
        const std::string next(link, static_cast<size_t>(length));
        path = next[0] == '/' ? next : folderOf(path) + next;
    }
    return ELOOP;
}

// The same name in its folder named without links: "." and "a/../b" spell folders many ways.
int inCanonicalFolder(std::string& path) {
    const std::string folder = folderOf(path);
    char real[PATH_MAX];
    if (!realpath(folder.empty() ? "." : folder.c_str(), real)) return errno;
    const std::string base = path.substr(folder.size());
    path = std::string(real) + (real[1] == '\0' ? "" : "/") + base;
    return 0;
}

bool sameFile(const output_target& a, const output_target& b) {
    if (a.exists != b.exists) return false;
    if (a.exists) return a.info.st_dev == b.info.st_dev && a.info.st_ino == b.info.st_ino;
    return a.path == b.path;
}

[[noreturn]] void cannotCreate(const std::string& path, int error) {
    fatal("ERROR: Cannot create output file [" + path + "]: " + std::strerror(error));
}

// The name the kernel opens for `path`: `-` is standard output.
std::string openedName(const std::string& path) { return path == "-" ? "/dev/stdout" : path; }

// Whether the process may rename or remove files of others in a sticky folder (root's
// CAP_FOWNER; a root without it, in a container, may not).
bool ownsEveryFile() {
    const std::string effective = processStatusField("CapEff:");
    return !effective.empty() && (std::stoull(effective, nullptr, 16) >> CAP_FOWNER & 1) != 0;
}

// The attribute flags (chattr) of `path`; 0 when they cannot be read, which leaves the rename to
// tell.
int attributeFlags(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return 0;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) flags = 0;
    close(fd);
    return flags;
}

std::string lowerFirst(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

}  // namespace

std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The kernel follows every link, also /proc's links to pipes, which name no file: when the
// name leads to a file that is not a regular one, the name itself is what to open.
output_target finalTarget(const std::string& path) {
    output_target target;
    target.path = openedName(path);
    if (stat(target.path.c_str(), &target.info) == 0) {
        target.exists = true;
        if (!S_ISREG(target.info.st_mode)) return target;
    } else if (errno != ENOENT) {
        target.error = errno;
        return target;
    }
    target.error = followLinks(target.path);
    if (target.error == 0) target.error = inCanonicalFolder(target.path);
    return target;
}

bool isStandardOutput(const std::string& path) {
    struct stat named, standard;
    return stat(openedName(path).c_str(), &named) == 0 && fstat(1, &standard) == 0 &&
           named.st_dev == standard.st_dev && named.st_ino == standard.st_ino;
}

std::string linkedName(const std::string& path) {
    std::string linked = path;
    return followLinks(linked) == 0 ? linked : path;
}

std::string nonFileKind(const output_target& target) {
    if (!target.exists) return "";
    switch (target.info.st_mode & S_IFMT) {
    case S_IFREG: return "";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFIFO: return "a pipe";
    case S_IFSOCK: return "a socket";
    case S_IFDIR: return "a folder";
    default: return "no regular file";
    }
}

std::string whyNotReplaceable(const output_target& target) {
    if (!target.exists || !S_ISREG(target.info.st_mode)) return "";
    const int flags = attributeFlags(target.path);
    if (flags & FS_IMMUTABLE_FL) return "it is immutable (chattr +i)";
    if (flags & FS_APPEND_FL) return "it is append-only (chattr +a)";
    const std::string folder = folderOf(target.path);
    struct stat info;
    if (stat(folder.empty() ? "." : folder.c_str(), &info) != 0 || !(info.st_mode & S_ISVTX))
        return "";
    const uid_t user = geteuid();
    if (user == info.st_uid || user == target.info.st_uid || ownsEveryFile()) return "";
    return "its folder is sticky (chmod +t) and neither the folder nor the file is yours";
}

std::string processStatusField(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, field.size(), field) == 0) {
            const size_t start = line.find_first_not_of(" \t", field.size());
            return start == std::string::npos ? "" : line.substr(start);
        }
    return "";
}

void refuseSharedFiles(const std::vector<titled_output>& outputs,
                       const std::vector<std::string>& inputs) {
    std::vector<output_target> targets;
    for (const titled_output& output : outputs) {
        targets.push_back(finalTarget(output.path));
        if (targets.back().error != 0) cannotCreate(output.path, targets.back().error);
    }
    for (const std::string& input : inputs) {
        output_target in;
        if (stat(input.c_str(), &in.info) != 0) continue;
        in.exists = true;
        for (size_t k = 0; k < outputs.size(); ++k)
            if (sameFile(targets[k], in))
                fatal("ERROR: Output file [" + outputs[k].path + "] is also an input file");
    }
    for (size_t k = 1; k < outputs.size(); ++k)
        for (size_t j = 0; j < k; ++j)
            if (sameFile(targets[k], targets[j]))
                fatal("ERROR: " + outputs[k].title + " [" + outputs[k].path + "] is the " +
                      lowerFirst(outputs[j].title));
}
