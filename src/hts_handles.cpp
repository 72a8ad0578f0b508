// The thread pool for htslib's files, where htslib looks for an index, and the pile-up buffer
// over htslib's bam_plp_*.
#include "hts_handles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <htslib/hts_log.h>

#include "utils/safe_output.h"

namespace {

// htslib 1.16 tries `.csi` appended to the name, then in place of the name's last extension
// (from the last '.' of the whole path, folders included), then the same with the format's own
// extension, and loads the first name that exists.
std::string indexFound(const std::string& data, const char* ownExtension) {
    const size_t dot = data.rfind('.');
    for (const std::string extension : {".csi", ownExtension}) {
        std::vector<std::string> names = {data + extension};
        if (dot != std::string::npos && dot > 0) names.push_back(data.substr(0, dot) + extension);
        for (const std::string& name : names) {
            struct stat info;
            if (stat(name.c_str(), &info) == 0) return name;
        }
    }
    return "";
}

char severityTag(enum htsLogLevel severity) {
    switch (severity) {
    case HTS_LOG_ERROR: return 'E';
    case HTS_LOG_WARNING: return 'W';
    case HTS_LOG_INFO: return 'I';
    case HTS_LOG_DEBUG: return 'D';
    case HTS_LOG_TRACE: return 'T';
    default: return '*';
    }
}

// A BGZF block that fails to inflate on a pool thread is told by that thread (the inflate's own
// line) and again by the reader (a line no single thread writes); a block inflated ahead and
// thrown away by a seek is told by its thread alone, and may be inflated again. One thread
// tells each failure once, the inflate's line just before the reader's failure: so the pool
// threads' inflate lines are held back, and the last one stands in for the reader's own.
std::mutex heldLock;
char heldLine[1024];  // empty when none is held

bool onPoolThread() { return gettid() != getpid(); }

bool isPoolReaderLine(const char* context, const char* format) {
    return std::strcmp(context, "bgzf_read_block") == 0 &&
           std::strncmp(format, "BGZF decode jobs returned error", 31) == 0;
}

__attribute__((format(printf, 3, 0))) void holdBack(enum htsLogLevel severity,
                                                     const char* context, const char* format,
                                                     va_list args) {
    const std::lock_guard<std::mutex> held(heldLock);
    const int prefix =
        std::snprintf(heldLine, sizeof heldLine, "[%c::%s] ", severityTag(severity), context);
    if (prefix > 0 && static_cast<size_t>(prefix) < sizeof heldLine)
        std::vsnprintf(heldLine + prefix, sizeof heldLine - static_cast<size_t>(prefix), format,
                       args);
}

void writeHeldBack() {
    const std::lock_guard<std::mutex> held(heldLock);
    if (heldLine[0] != '\0') std::fprintf(stderr, "%s\n", heldLine);
    heldLine[0] = '\0';
}

}  // namespace

// htslib's own log function, replaced: htslib calls it through the dynamic linker, so this one
// writes its lines as htslib writes them, but for what only a thread pool changes (above). A
// damaged file then gives the same messages for every --threads.
extern "C" void hts_log(enum htsLogLevel severity, const char* context, const char* format, ...) {
    if (severity > hts_get_log_level()) return;
    const int saved = errno;
    va_list args;
    va_start(args, format);
    if (std::strcmp(context, "bgzf_uncompress") == 0 && onPoolThread()) {
        holdBack(severity, context, format, args);
    } else if (isPoolReaderLine(context, format)) {
        writeHeldBack();
    } else {
        std::fprintf(stderr, "[%c::%s] ", severityTag(severity), context);
        std::vfprintf(stderr, format, args);
        std::fputc('\n', stderr);
    }
    va_end(args);
    errno = saved;
}

hts_tpool_ptr startThreadPool(int threads) {
    if (threads < 2) return nullptr;
    const safe_output::signals_held held;
    return hts_tpool_ptr(hts_tpool_init(threads - 1));
}

void useThreadPool(htsFile* file, hts_tpool* pool) {
    if (!pool) return;
    // Four blocks in flight a thread: fewer waits for the thread that reads the records.
    // htslib keeps the pool, not this record.
    htsThreadPool shared = {pool, 4 * hts_tpool_size(pool)};
    hts_set_thread_pool(file, &shared);
}

std::vector<std::string> indexedInputs(const std::string& path,
                                       std::initializer_list<const char*> ownExtensions) {
    const size_t delimiter = path.find(HTS_IDX_DELIM);
    if (delimiter != std::string::npos)
        return {path.substr(0, delimiter), path.substr(delimiter + std::strlen(HTS_IDX_DELIM))};
    std::vector<std::string> files = {path};
    for (const char* extension : ownExtensions) files.push_back(indexFound(path, extension));
    return files;
}

bool isOlderThan(const std::string& index, const std::string& data) {
    struct stat indexInfo, dataInfo;
    return stat(index.c_str(), &indexInfo) == 0 && stat(data.c_str(), &dataInfo) == 0 &&
           indexInfo.st_mtime < dataInfo.st_mtime;
}

pileup_buffer::pileup_buffer(pileup_callback callback, void* userData)
    : func(callback), data(userData) {
    create();
}

// No auto-function: records are pushed by us, so no C++ code ever runs inside htslib.
void pileup_buffer::create() {
    iter.reset(bam_plp_init(nullptr, nullptr));
    broken = false;
    // Pinned rather than inherited, so that a library default change cannot move it.
    if (iter) bam_plp_set_maxcnt(iter.get(), pileup_depth_cap);
}

void pileup_buffer::reset() {
    if (broken) {
        create();
    } else if (iter) {
        bam_plp_reset(iter.get());
    }
}

int pileup_buffer::push(const bam1_t* b) {
    if (!iter) return -1;
    // htslib itself drops only unmapped records.
    if (b->core.flag & pileup_flag_mask) return 0;
    const int ret = bam_plp_push(iter.get(), b);
    if (ret < 0) {
        broken = true;
        return ret;
    }
    // Draining at once also keeps the depth cap working: htslib caps only the records that
    // start at the column it is waiting to emit.
    emitColumns();
    return 0;
}

void pileup_buffer::flush() {
    if (!iter) return;
    if (bam_plp_push(iter.get(), nullptr) < 0) {
        broken = true;
        return;
    }
    emitColumns();
}

// The callback runs here, in our frame, never inside an htslib call.
void pileup_buffer::emitColumns() {
    int tid = 0;
    int n = 0;
    hts_pos_t pos = 0;
    while (const bam_pileup1_t* pl = bam_plp64_next(iter.get(), &tid, &pos, &n)) {
        func(static_cast<uint32_t>(tid), static_cast<uint32_t>(pos), n, pl, data);
    }
    // NULL means both "no more columns" and "error"; only the count tells them apart.
    if (n < 0) broken = true;
}
