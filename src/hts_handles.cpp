// The thread pool for htslib's files, where htslib looks for an index, and the pile-up buffer
// over htslib's bam_plp_*.
#include "hts_handles.h"

#include <sys/stat.h>

#include <cstring>

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

}  // namespace

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
