// Compressed text streams: the chain is [gzip or bzip2 filter,] then the file.
#include "utils/streams.h"

#include <cstdint>

#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/filter/gzip.hpp>

#include "utils/futils.h"

namespace io = boost::iostreams;

namespace {

constexpr std::streamsize filter_buffer = 4096;

enum class compression { none, gzip, bzip2 };

compression compressionOf(const std::string& filename) {
    const std::string extension = futils::extensionFile(filename);
    if (extension == "gz") return compression::gzip;
    if (extension == "bz2") return compression::bzip2;
    return compression::none;
}

// The chain's last link: writes to the file stream and always reports the whole write done,
// so a failing disk never makes the chain retry forever; the failure stays in the file
// stream's state, which close() reports.
class file_sink {
public:
    using char_type = char;
    using category = io::sink_tag;
    explicit file_sink(std::ofstream& stream) : fd(&stream) {}
    std::streamsize write(const char* s, std::streamsize n) {
        fd->write(s, n);
        return n;
    }

private:
    std::ofstream* fd;
};

}  // namespace

// An empty stream is in a failed state, so that every read from it fails.
ifile::ifile() { setstate(std::ios::failbit); }

ifile::ifile(std::string filename, bool binaryMode) { open(std::move(filename), binaryMode); }

ifile::~ifile() { close(); }

bool ifile::open(std::string filename, bool binaryMode) {
    file = std::move(filename);
    const compression kind = compressionOf(file);
    std::ios::openmode mode = std::ios::in;
    if (binaryMode || kind != compression::none) mode |= std::ios::binary;
    fd.open(file, mode);
    if (!fd.is_open() || !fd.good()) {
        setstate(std::ios::failbit);
        return false;
    }
    if (kind == compression::gzip) push(io::gzip_decompressor(), filter_buffer);
    if (kind == compression::bzip2) push(io::bzip2_decompressor(false), filter_buffer);
    push(fd);
    clear();
    return true;
}

bool ifile::readString(std::string& str) {
    char prefix[4];
    if (!read(prefix, 4)) return false;
    const int32_t length = static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<unsigned char>(prefix[0])) |
        static_cast<uint32_t>(static_cast<unsigned char>(prefix[1])) << 8 |
        static_cast<uint32_t>(static_cast<unsigned char>(prefix[2])) << 16 |
        static_cast<uint32_t>(static_cast<unsigned char>(prefix[3])) << 24);
    if (length < 0) return false;
    // Read in pieces so that a corrupt length cannot ask for gigabytes up front.
    std::string bytes;
    char chunk[65536];
    for (int32_t left = length; left > 0;) {
        const std::streamsize want = std::min<std::streamsize>(left, sizeof chunk);
        if (!read(chunk, want)) return false;
        bytes.append(chunk, static_cast<size_t>(want));
        left -= static_cast<int32_t>(want);
    }
    str.assign(bytes.c_str());
    return true;
}

void ifile::close() {
    if (!empty()) reset();
    fd.close();  // sets the failbit of fd when it fails, also when fd was not open
    setstate(std::ios::failbit);
}

ofile::ofile() { setstate(std::ios::badbit); }

ofile::ofile(std::string filename, bool binaryMode) { open(std::move(filename), binaryMode); }

ofile::~ofile() { close(); }

bool ofile::open(std::string filename, bool binaryMode) {
    file = std::move(filename);
    const compression kind = compressionOf(file);
    std::ios::openmode mode = std::ios::out;
    if (kind != compression::none || binaryMode) mode |= std::ios::binary;
    else mode |= std::ios::trunc;
    fd.open(file, mode);
    if (!fd.is_open() || !fd.good()) {
        setstate(std::ios::badbit);
        return false;
    }
    if (kind == compression::gzip) {
        io::gzip_params params(io::zlib::default_compression, io::zlib::deflated, 15, 8,
                               io::zlib::default_strategy);
        params.mtime = 0;
        push(io::gzip_compressor(params), filter_buffer);
    }
    if (kind == compression::bzip2) push(io::bzip2_compressor(9, 30), filter_buffer);
    push(file_sink(fd));
    clear();
    return true;
}

void ofile::writeString(const std::string& str) {
    const uint32_t length = static_cast<uint32_t>(str.size());
    const char prefix[4] = {static_cast<char>(length), static_cast<char>(length >> 8),
                            static_cast<char>(length >> 16), static_cast<char>(length >> 24)};
    write(prefix, 4);
    write(str.data(), static_cast<std::streamsize>(str.size()));
}

bool ofile::close() {
    bool written = good() && fd.is_open();
    if (!empty()) {
        try {
            pop();  // closes the chain: the compressor writes its trailer into the file
        } catch (const std::exception&) {
            written = false;
        }
        reset();
    }
    setstate(std::ios::badbit);
    if (fd.is_open()) {
        fd.close();
        written = written && !fd.fail();
    } else {
        fd.setstate(std::ios::failbit);
    }
    return written;
}
