// Shared fuzz-target plumbing: the fatal handler, silenced streams, memfd-backed named files.
#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <htslib/hts.h>

#include "utils/fatal.h"
#include "utils/streams.h"

namespace {

[[noreturn]] void throwStop(const std::string& line) { throw fatal_stop(line); }

void fail(const char* what) {
    std::perror(what);
    std::abort();
}

// One deflate stream in gzip framing for [data, data + size).
void appendMember(std::string& out, const uint8_t* data, size_t size) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        fail("deflateInit2");
    std::string buffer(deflateBound(&z, size) + 32, '\0');
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = reinterpret_cast<Bytef*>(&buffer[0]);
    z.avail_out = static_cast<uInt>(buffer.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) fail("deflate");
    out.append(buffer, 0, z.total_out);
    deflateEnd(&z);
}

}  // namespace

void prepareFuzzTarget() {
    setFatalHandler(throwStop);
    std::cout.rdbuf(nullptr);
    std::cerr.rdbuf(nullptr);
    hts_set_log_level(HTS_LOG_OFF);
}

memory_file::memory_file(const std::string& suffix) {
    fd = memfd_create("bridgescan-fuzz", 0);
    if (fd < 0) fail("memfd_create");
    char name[] = "/tmp/bridgescan-fuzz-XXXXXX";
    if (!mkdtemp(name)) fail("mkdtemp");
    folder = name;
    link = folder + "/input" + suffix;
    // Opening the link opens the memfd anew, at offset 0, as a reader opening a file would.
    const std::string target = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
    if (symlink(target.c_str(), link.c_str()) != 0) fail("symlink");
}

memory_file::~memory_file() {
    unlink(link.c_str());
    rmdir(folder.c_str());
    close(fd);
}

void memory_file::write(const void* data, size_t size) {
    if (ftruncate(fd, 0) != 0) fail("ftruncate");
    const char* p = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, p + done, size - done, static_cast<off_t>(done));
        if (n <= 0) fail("pwrite");
        done += static_cast<size_t>(n);
    }
}

std::string gzipMembers(const uint8_t* data, size_t size, size_t split) {
    if (split > size) split = size;
    std::string out;
    appendMember(out, data, split);
    appendMember(out, data + split, size - split);
    return out;
}

void propertyFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

bool startsLikeText(const uint8_t* data, size_t size) {
    const std::string start(reinterpret_cast<const char*>(data), std::min<size_t>(size, 4096));
    return contentOf(start) == file_content::plain;
}
