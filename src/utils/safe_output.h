// Output files that exist under their names only once complete, and never overwrite an input.
#pragma once

#include <signal.h>

#include <string>
#include <vector>

#include "utils/output_targets.h"
#include "utils/streams.h"

// An output file of the run. A regular file, or a name not yet taken, is written to a temporary
// file `.NAME.XXXXXX` in the same folder and renamed onto its name by finishAll(); a fatal
// error, or any signal that would end the process and can be caught, removes the temporary file
// instead. A symbolic link is followed, also a dangling one: the file it points to is replaced
// and the link stays. What the name leads to decides, never where it lies: a device, a pipe, a
// socket or a terminal is written directly, each line at once, and the file that standard
// output already is (also when named `-`), through descriptor 1 itself. An existing file that
// this user cannot replace ends the run at once, before anything is written.
class safe_output {
public:
    // Holds the stopping signals back for its lifetime, on the calling thread: while a
    // temporary file and its registry entry disagree, while several outputs are renamed (so
    // that a run stops with all of them in place or none), and while threads are started,
    // which keep them held for good so that the signals reach the thread that handles them.
    class signals_held {
    public:
        signals_held();
        ~signals_held();
        signals_held(const signals_held&) = delete;
        signals_held& operator=(const signals_held&) = delete;

    private:
        sigset_t previous;
    };

    // Who writes the bytes: this object's text stream, or a library that opens a file by name
    // (stagingPath()); then nothing goes through stream().
    enum class writer { stream, by_name };

    // Opens the output for writing; when that is impossible, the run ends with
    // "ERROR: Cannot create output file [F]: REASON". Where the folder refuses a temporary file
    // for want of permission or room in the name, but the file itself can be written, it is
    // written directly, with one warning.
    explicit safe_output(std::string path, writer who = writer::stream);
    // An output that was never finished leaves no temporary file behind.
    ~safe_output();
    safe_output(const safe_output&) = delete;
    safe_output& operator=(const safe_output&) = delete;

    ofile& stream() { return text; }
    // The file to write by name until finishAll(): the temporary file, or the output itself.
    std::string stagingPath() const;
    const std::string& name() const { return path; }
    // Ends the run with "ERROR: Cannot ACTION output file [F]: REASON", for a writer by name.
    [[noreturn]] void fail(const std::string& action, int error) const;
    [[noreturn]] void fail(const std::string& action, const std::string& reason) const;
    // The output is not wanted after all, and no older file may stay under its name (an index of
    // the other kind): publishing removes that file instead, together with the others.
    void withdraw() { withdrawn = true; }
    // Closes, checks and syncs every output, then puts each under its name, all or none: the
    // older files are kept aside under a second name until every rename has succeeded, and put
    // back when one fails. A failure ends the run with "ERROR: Cannot write output file [F]:
    // REASON", as does any failed write before.
    static void finishAll(const std::vector<safe_output*>& outputs);
    void finish() { finishAll({this}); }
    // The rename that puts a finished output under its name; a test makes it fail on purpose.
    static int (*publishingRename)(const char* from, const char* to);

    // Start-up steps, before any file is opened: descriptors 0, 1 and 2 are opened on /dev/null
    // when closed, so that no output lands where progress lines go; SIGPIPE is ignored, so
    // that a standard output nobody reads any more loses its lines without ending the run, and
    // SIGXFSZ, so that a file-size limit is a write error with its reason.
    static void prepareProcess();

private:
    // Creates the temporary file that will replace `file`: 0, or the errno of what failed.
    int createTemporary(const std::string& file);
    void openStandardOutput();
    void openDirect();
    void attachStream(ofile::delivery when);
    void refuseUnreplaceable(const output_target& file);
    void complete();
    // Each returns 0 or the errno of what failed.
    int keepOlderAside();
    int publish();
    // Undoes keepOlderAside() and publish(), whichever were done; forgetOlder() ends both.
    void restoreOlder();
    void forgetOlder();
    [[noreturn]] static void abandonPublishing(const std::vector<safe_output*>& outputs,
                                               const safe_output& failed, int error);
    // Removes the temporary file and frees its registry entry.
    void forgetTemporary();

    std::string path;    // as given: names the output in messages
    std::string target;  // the file that the temporary one replaces: path with its links followed
    int slot = -1;       // the temporary file's registry entry; -1 when written directly
    int descriptor = -1;
    bool abandoned = false;
    bool withdrawn = false;
    bool published = false;
    std::string older;         // the older file's second name while publishing; empty: none
    bool olderMoved = false;   // that name is its only one: renamed aside, not linked
    writer byWhom;
    ofile text;
};
