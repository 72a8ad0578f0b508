// Output files written beside their names and renamed into place once complete; the registry of
// temporary files that a fatal error or a stopping signal removes.
#include "utils/safe_output.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "utils/fatal.h"
#include "utils/output_targets.h"

namespace {

// The temporary files not yet renamed, in fixed storage that the signal handler reads without
// allocating: room for every output of a run (the output file, a statistics file, the phase
// sets and their two indexes) and spare.
constexpr int registry_slots = 8;
char temporaryPaths[registry_slots][PATH_MAX];
// Set once the path above names a file to remove; read by the handler, on any thread.
std::atomic<bool> registered[registry_slots];

void removeTemporaryFiles() {
    for (int k = 0; k < registry_slots; ++k)
        if (registered[k].load()) unlink(temporaryPaths[k]);
}

// Every signal that another process or a limit sends, whose default action ends the process
// and that a handler can catch. SIGPIPE and SIGXFSZ are ignored instead (prepareProcess);
// the signals of a fault in the program itself are left to their default, which dumps core.
const int stopping_signals[] = {SIGTERM, SIGINT,  SIGHUP,    SIGQUIT, SIGUSR1, SIGUSR2,
                                SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,
                                SIGSTKFLT};

// Async-signal-safe only: unlink, the default action back, and the signal again, so that
// whoever started the run sees it die of that signal.
void removeTemporaryFilesAndStop(int signal) {
    removeTemporaryFiles();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

sigset_t stoppingSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : stopping_signals) sigaddset(&set, s);
    return set;
}

// A signal ignored from the start (nohup, a background job) stays ignored, and one that a
// library handles (a profiler's SIGPROF) stays its own.
void catchStoppingSignals() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    struct sigaction action {};
    action.sa_handler = removeTemporaryFilesAndStop;
    action.sa_mask = stoppingSignalSet();
    for (int s : stopping_signals) {
        struct sigaction previous {};
        if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL)
            sigaction(s, &action, nullptr);
    }
    setFatalCleanup(removeTemporaryFiles);
}

int freeSlot() {
    for (int k = 0; k < registry_slots; ++k)
        if (!registered[k].load()) return k;
    return -1;
}

// The mode a new file gets. The umask is read from /proc: umask() reads it only by changing
// it, which another thread creating a file at that moment would see.
mode_t newFileMode() {
    const std::string mask = processStatusField("Umask:");
    if (!mask.empty()) return 0666 & ~static_cast<mode_t>(std::stoul(mask, nullptr, 8));
    const mode_t previous = umask(022);  // no /proc: the only other way
    umask(previous);
    return 0666 & ~previous;
}

}  // namespace

safe_output::signals_held::signals_held() {
    const sigset_t set = stoppingSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, &previous);
}

safe_output::signals_held::~signals_held() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

// Only a folder that refuses the temporary file where it would take the output itself (no
// permission to add a name, a name too long for `.NAME.XXXXXX`) lets the output be written
// directly: a full disk or inode table, a quota or an I/O error would cut it there too.
safe_output::safe_output(std::string outputPath, writer who)
    : path(std::move(outputPath)), byWhom(who) {
    if (isStandardOutput(path)) {
        openStandardOutput();
        return;
    }
    const output_target file = finalTarget(path);
    if (file.error != 0) fail("create", file.error);
    if (file.exists && !S_ISREG(file.info.st_mode)) {
        openDirect();
        return;
    }
    const int error = createTemporary(file.path);
    if (slot >= 0) {
        refuseUnreplaceable(file);
        attachStream(ofile::delivery::large_blocks);
        return;
    }
    if (error != EACCES && error != EPERM && error != ENAMETOOLONG) fail("create", error);
    openDirect();
    reportProblem("WARNING: No temporary file can be created beside [" + path + "] (" +
                  std::strerror(error) +
                  "): it is written directly, so a run that fails leaves it incomplete");
}

int safe_output::createTemporary(const std::string& file) {
    target = file;
    const std::string folder = folderOf(target);
    const std::string name = folder + "." + target.substr(folder.size()) + ".XXXXXX";
    const int k = freeSlot();
    if (k < 0) return EMFILE;
    if (name.size() >= PATH_MAX) return ENAMETOOLONG;
    const signals_held held;
    std::memcpy(temporaryPaths[k], name.c_str(), name.size() + 1);
    descriptor = mkstemp(temporaryPaths[k]);
    if (descriptor < 0) return errno;
    if (fchmod(descriptor, newFileMode()) != 0) {
        const int error = errno;
        unlink(temporaryPaths[k]);
        ::close(std::exchange(descriptor, -1));
        return error;
    }
    registered[k].store(true);
    slot = k;
    catchStoppingSignals();
    return 0;
}

// The rename that would replace the file at the end fails for want of a right that can be seen
// now: better said before the scan than after it.
void safe_output::refuseUnreplaceable(const output_target& file) {
    const std::string why = whyNotReplaceable(file);
    if (why.empty()) return;
    forgetTemporary();
    fail("replace", why);
}

// Opening the name would truncate the file at its own offset, while the shell's descriptor
// keeps writing at another: the output goes through descriptor 1 itself.
void safe_output::openStandardOutput() {
    descriptor = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (descriptor < 0) fail("create", errno);
    attachStream(ofile::delivery::each_flush);
}

void safe_output::openDirect() {
    descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor < 0) fail("create", errno);
    attachStream(ofile::delivery::each_flush);
}

// Once the destructor has begun, the output is being thrown away: its failures are no news.
void safe_output::attachStream(ofile::delivery when) {
    if (byWhom == writer::by_name) return;
    text.open(descriptor, path, when, [this](int failure) {
        if (!abandoned) fail("write", failure);
    });
}

safe_output::~safe_output() {
    abandoned = true;
    text.close();
    if (slot >= 0) forgetTemporary();
    if (descriptor >= 0) ::close(descriptor);
}

int (*safe_output::publishingRename)(const char*, const char*) = rename;

void safe_output::finishAll(const std::vector<safe_output*>& outputs) {
    for (safe_output* output : outputs) output->complete();
    const signals_held held;
    for (safe_output* output : outputs)
        if (const int error = output->keepOlderAside()) abandonPublishing(outputs, *output, error);
    for (safe_output* output : outputs)
        if (const int error = output->publish()) abandonPublishing(outputs, *output, error);
    for (safe_output* output : outputs) output->forgetOlder();
}

void safe_output::abandonPublishing(const std::vector<safe_output*>& outputs,
                                    const safe_output& failed, int error) {
    for (auto output = outputs.rbegin(); output != outputs.rend(); ++output)
        (*output)->restoreOlder();
    failed.fail("write", error);
}

// A failed write has ended the run already; a chain that failed otherwise has no errno.
void safe_output::complete() {
    if (byWhom == writer::stream && !text.close())
        fail("write", text.error() != 0 ? text.error() : EIO);
    if (slot >= 0 && !withdrawn && fsync(descriptor) != 0) fail("write", errno);
    if (::close(std::exchange(descriptor, -1)) != 0) fail("write", errno);
}

// A second name for the older file, `.NAME~XXXXXX` beside the temporary `.NAME.XXXXXX`: unique
// as that one is, and no longer. A hard link, or where the file system or the link rules refuse
// one, the file itself renamed aside.
int safe_output::keepOlderAside() {
    if (slot < 0) return 0;
    struct stat info;
    if (lstat(target.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
    std::string aside = temporaryPaths[slot];
    aside[aside.size() - 7] = '~';
    if (link(target.c_str(), aside.c_str()) != 0) {
        if (rename(target.c_str(), aside.c_str()) != 0) return errno;
        olderMoved = true;
    }
    older = aside;
    return 0;
}

int safe_output::publish() {
    if (slot < 0) return 0;
    if (withdrawn) {
        if (!olderMoved && !older.empty() && unlink(target.c_str()) != 0) return errno;
        forgetTemporary();
    } else {
        if (publishingRename(temporaryPaths[slot], target.c_str()) != 0) return errno;
        registered[slot].store(false);
        slot = -1;
    }
    published = true;
    return 0;
}

// Best effort: a rename back into a folder where the rename forward just worked.
void safe_output::restoreOlder() {
    if (older.empty()) {
        if (published && !withdrawn) unlink(target.c_str());
    } else if (published || olderMoved) {
        rename(older.c_str(), target.c_str());
    } else {
        unlink(older.c_str());
    }
    older.clear();
}

void safe_output::forgetOlder() {
    if (!older.empty()) unlink(older.c_str());
    older.clear();
}

// Removed before it is forgotten, so that a signal in between cannot leave it behind.
void safe_output::forgetTemporary() {
    unlink(temporaryPaths[slot]);
    registered[slot].store(false);
    slot = -1;
}

std::string safe_output::stagingPath() const { return slot >= 0 ? temporaryPaths[slot] : path; }

void safe_output::fail(const std::string& action, int error) const {
    fail(action, std::string(std::strerror(error)));
}

void safe_output::fail(const std::string& action, const std::string& reason) const {
    fatal("ERROR: Cannot " + action + " output file [" + path + "]: " + reason);
}

// open() takes the lowest free descriptor: the closed one, as those below it are open by then.
void safe_output::prepareProcess() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}
