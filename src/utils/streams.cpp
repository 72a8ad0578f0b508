// Compressed text streams: the chain is [gzip or bzip2 filter,] then the file.
#include "utils/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/filter/gzip.hpp>

#include "utils/futils.h"

namespace io = boost::iostreams;

// The file end of an output: loops over interrupted and short writes, holds text back in
// large-blocks delivery, and after the first failure sends nothing more to the file.
class descriptor_writer {
public:
    descriptor_writer(int descriptor, bool ours, ofile::delivery when,
                      ofile::failure_handler report)
        : fd(descriptor), owned(ours), mode(when), onFailure(std::move(report)) {}

    void write(const char* s, size_t n) {
        if (mode == ofile::delivery::each_flush) return writeAll(s, n);
        held.append(s, n);
        if (held.size() >= ofile::large_block) drain();
    }
    // Writes what is held, and closes the descriptor when it is ours. False on any failure.
    bool close() {
        drain();
        if (owned && fd >= 0 && ::close(fd) != 0) fail(errno);
        fd = -1;
        return error == 0;
    }
    bool closed() const { return fd < 0; }
    // Records a failure of its own caller (an open) or of a call here, and reports the first.
    void fail(int failure) {
        if (error != 0) return;
        error = failure;
        if (onFailure) onFailure(failure);
    }

    int error = 0;

private:
    void drain() {
        writeAll(held.data(), held.size());
        held.clear();
    }
    void writeAll(const char* s, size_t n) {
        while (n > 0 && error == 0) {
            const ssize_t done = ::write(fd, s, n);
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) return fail(errno);
            s += done;
            n -= static_cast<size_t>(done);
        }
    }

    int fd;
    bool owned;
    ofile::delivery mode;
    ofile::failure_handler onFailure;
    std::string held;
};

namespace {

constexpr std::streamsize filter_buffer = 4096;

enum class compression { none, gzip, bzip2 };

compression compressionOf(const std::string& filename) {
    const std::string extension = futils::extensionFile(filename);
    if (extension == "gz") return compression::gzip;
    if (extension == "bz2") return compression::bzip2;
    return compression::none;
}

// A directory opens for reading on Linux, then every read fails: it is not a readable file.
bool isDirectory(const std::string& name) {
    struct stat info;
    return stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The chain's last link on output. It always reports the whole write done: Boost's
// compressor close loops until its sink accepts the bytes, so a refusing sink on a full disk
// would never return. The failure stays with the writer, which close() reports. A flush of
// the stream ends here as a write of what the chain held.
class writer_sink {
public:
    using char_type = char;
    using category = io::sink_tag;
    explicit writer_sink(descriptor_writer& target) : writer(&target) {}
    std::streamsize write(const char* s, std::streamsize n) {
        writer->write(s, static_cast<size_t>(n));
        return n;
    }

private:
    descriptor_writer* writer;
};

// Closing runs the (de)compressor's close, which may throw. The links are removed whatever
// happens (a second reset only deletes them: the chain is already marked closed), so no
// exception leaves close() or a destructor. The base keeps a pointer to the deleted first
// link, so the stream is pointed at nothing: a later read or write fails instead.
template <class Stream>
bool closeChain(Stream& stream) {
    bool intact = true;
    try {
        stream.reset();
    } catch (...) {
        intact = false;
        try {
            stream.reset();
        } catch (...) {
        }
    }
    stream.rdbuf(nullptr);
    return intact;
}

// Enough of a file to tell its content, and to inflate the start of a gzip member.
constexpr std::streamsize sniffed_bytes = 4096;

bool startsWith(std::string_view text, std::string_view magic) {
    return text.substr(0, magic.size()) == magic;
}

// The first bytes that a gzip member's start inflates to; fewer when it holds fewer.
std::string inflatedStart(const std::string& member, size_t wanted) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return std::string();
    std::string out(wanted, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
    z.avail_in = static_cast<uInt>(member.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(wanted);
    inflate(&z, Z_SYNC_FLUSH);
    out.resize(wanted - z.avail_out);
    inflateEnd(&z);
    return out;
}

// "BCF", major version 2, minor version 1 or 2: the whole magic number, so that a text whose
// first word merely begins so stays text.
bool isBcf(std::string_view start) {
    return startsWith(start, std::string_view("BCF\2", 4)) && start.size() > 4 &&
           (start[4] == 1 || start[4] == 2);
}

// BAM and compressed BCF are gzip too (BGZF): what they hold tells them apart from text.
file_content gzipContent(const std::string& start) {
    const std::string inner = inflatedStart(start, 5);
    if (startsWith(inner, std::string_view("BAM\1", 4))) return file_content::bam;
    if (isBcf(inner)) return file_content::bcf;
    return file_content::gzip;
}

// The chain's last link on input: the bytes read to tell the content come first, then the
// rest of the file, so that a pipe, which cannot seek back, is read whole too.
class prefixed_source {
public:
    using char_type = char;
    using category = io::source_tag;
    prefixed_source(std::string start, std::ifstream& stream)
        : prefix(std::move(start)), fd(&stream) {}
    std::streamsize read(char* s, std::streamsize n) {
        if (used < prefix.size()) {
            const size_t take = std::min(static_cast<size_t>(n), prefix.size() - used);
            std::memcpy(s, prefix.data() + used, take);
            used += take;
            return static_cast<std::streamsize>(take);
        }
        fd->read(s, n);
        if (fd->bad()) throw std::ios_base::failure("cannot read the file");
        return fd->gcount() > 0 ? fd->gcount() : -1;
    }

private:
    std::string prefix;
    size_t used = 0;
    std::ifstream* fd;
};

int32_t littleEndian(const unsigned char bytes[4]) {
    return static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
}

}  // namespace

file_content contentOf(const std::string& start) {
    if (startsWith(start, "\x1f\x8b")) return gzipContent(start);
    if (startsWith(start, "BZh") && start.size() > 3 && start[3] >= '1' && start[3] <= '9')
        return file_content::bzip2;
    if (startsWith(start, std::string_view("\xfd" "7zXZ\0", 6))) return file_content::xz;
    if (startsWith(start, "\x28\xb5\x2f\xfd")) return file_content::zstd;
    // "CRAM" and a major version from 1 to 4.
    if (startsWith(start, "CRAM") && start.size() > 4 && start[4] >= 1 && start[4] <= 4)
        return file_content::cram;
    if (isBcf(start)) return file_content::bcf;
    if (startsWith(start, std::string_view("BAM\1", 4))) return file_content::bam;
    return file_content::plain;
}

const char* contentName(file_content content) {
    switch (content) {
    case file_content::plain: return "text";
    case file_content::gzip: return "gzip";
    case file_content::bzip2: return "bzip2";
    case file_content::bcf: return "BCF";
    case file_content::bam: return "BAM";
    case file_content::cram: return "CRAM";
    case file_content::xz: return "xz";
    case file_content::zstd: return "zstd";
    }
    return "unknown";
}

// An empty stream is in a failed state, so that every read from it fails.
ifile::ifile() { setstate(std::ios::failbit); }

ifile::ifile(std::string filename, bool binaryMode) { open(std::move(filename), binaryMode); }

ifile::~ifile() { close(); }

bool ifile::open(std::string filename, bool binaryMode) {
    close();
    damaged = false;
    kind = file_content::plain;
    file = std::move(filename);
    if (isDirectory(file)) {
        fd.setstate(std::ios::failbit);
        return false;
    }
    // Binary and text modes read the same bytes here; the choice is kept for other systems.
    fd.open(file, binaryMode ? std::ios::in | std::ios::binary : std::ios::in);
    if (!fd.is_open() || !fd.good()) return false;
    std::string start(sniffed_bytes, '\0');
    fd.read(&start[0], sniffed_bytes);
    start.resize(static_cast<size_t>(fd.gcount()));
    if (fd.bad()) damaged = true;
    fd.clear();
    kind = contentOf(start);
    if (kind == file_content::gzip) push(io::gzip_decompressor(), filter_buffer);
    else if (kind == file_content::bzip2) push(io::bzip2_decompressor(false), filter_buffer);
    else if (kind != file_content::plain) return false;
    push(prefixed_source(std::move(start), fd));
    clear();
    return true;
}

// A decompression error, or a read error of the file, is thrown inside the stream buffer;
// the stream's reading operations catch it and set the bad state. A clean end never does.
bool ifile::failed() const { return damaged || (!empty() && bad()); }

bool ifile::readString(std::string& str) {
    unsigned char prefix[4];
    if (!read(reinterpret_cast<char*>(prefix), 4)) return false;
    const int32_t length = littleEndian(prefix);
    if (length < 0) return false;
    // Grows with the data actually delivered, so a damaged length cannot claim gigabytes.
    constexpr int32_t piece = 65536;
    std::string bytes;
    for (int32_t remaining = length; remaining > 0;) {
        const int32_t want = std::min(remaining, piece);
        const size_t done = bytes.size();
        bytes.resize(done + static_cast<size_t>(want));
        if (!read(&bytes[done], want)) return false;
        remaining -= want;
    }
    bytes.resize(std::min(bytes.find('\0'), bytes.size()));
    str = std::move(bytes);
    return true;
}

void ifile::close() {
    if (!empty()) {
        damaged = damaged || bad();
        if (!closeChain(*this)) damaged = true;
    }
    fd.close();  // sets the failbit of fd when it fails, also when fd was not open
    setstate(std::ios::failbit);
}

// An empty stream is bad, so that every write is dropped.
ofile::ofile() { setstate(std::ios::badbit); }

ofile::ofile(std::string filename, bool binaryMode) { open(std::move(filename), binaryMode); }

ofile::~ofile() { close(); }

bool ofile::open(std::string filename, bool) {
    close();
    file = std::move(filename);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int openError = errno;
    attach(fd, true, delivery::each_flush, nullptr);
    if (fd >= 0) return true;
    writer->fail(openError);
    setstate(std::ios::badbit);
    return false;
}

void ofile::open(int descriptor, std::string filename, delivery when,
                 failure_handler onFailure) {
    close();
    file = std::move(filename);
    attach(descriptor, false, when, std::move(onFailure));
}

void ofile::attach(int descriptor, bool owned, delivery when, failure_handler onFailure) {
    closedIntact = false;
    writer = std::make_unique<descriptor_writer>(descriptor, owned, when, std::move(onFailure));
    if (descriptor < 0) return;
    const compression kind = compressionOf(file);
    if (kind == compression::gzip) {
        const io::gzip_params params(io::zlib::default_compression, io::zlib::deflated, 15, 8,
                                     io::zlib::default_strategy, "", "", 0);
        push(io::gzip_compressor(params, filter_buffer), filter_buffer);
    }
    if (kind == compression::bzip2)
        push(io::bzip2_compressor(io::bzip2_params(9, 30), filter_buffer), filter_buffer);
    push(writer_sink(*writer));
    clear();
}

void ofile::writeString(const std::string& str) {
    if (str.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        setstate(std::ios::badbit);
        return;
    }
    const auto length = static_cast<uint32_t>(str.size());
    const char prefix[4] = {static_cast<char>(length), static_cast<char>(length >> 8),
                            static_cast<char>(length >> 16), static_cast<char>(length >> 24)};
    write(prefix, 4);
    write(str.data(), static_cast<std::streamsize>(str.size()));
}

bool ofile::close() {
    if (!writer || writer->closed()) return closedIntact;
    bool intact = !empty() && good();
    if (!empty()) intact = closeChain(*this) && intact;
    setstate(std::ios::badbit);
    closedIntact = writer->close() && intact;
    return closedIntact;
}

int ofile::error() const { return writer ? writer->error : 0; }
