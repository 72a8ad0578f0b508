// File helpers: existence and creation tests, extensions, and packed bit vectors.
#include "utils/futils.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>

namespace {

void putLength(std::ostream& out, uint32_t n) {
    const char bytes[4] = {static_cast<char>(n), static_cast<char>(n >> 8),
                           static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
    out.write(bytes, 4);
}

bool getLength(std::istream& in, int32_t& n) {
    unsigned char bytes[4];
    if (!in.read(reinterpret_cast<char*>(bytes), 4)) return false;
    n = static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                             uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
    return true;
}

bool isDirectory(const std::string& name) {
    struct stat info;
    return stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

// A directory opens for reading on Linux but yields no data, so it is not a file here.
bool futils::isFile(const std::string& name) {
    if (isDirectory(name)) return false;
    std::ifstream file(name);
    return file.is_open();
}

bool futils::createFile(const std::string& name) {
    std::ofstream file(name, std::ios::out | std::ios::trunc);
    if (!file.is_open()) return false;
    file.close();
    return !file.fail();
}

std::string futils::extensionFile(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// A vector too long for the 32-bit count is not written at all; the stream reports it.
void futils::bool2binary(const std::vector<bool>& v, std::ostream& out) {
    if (v.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        out.setstate(std::ios::failbit);
        return;
    }
    putLength(out, static_cast<uint32_t>(v.size()));
    std::string packed((v.size() + 7) / 8, '\0');
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i]) packed[i / 8] = static_cast<char>(packed[i / 8] | 1 << (i % 8));
    out.write(packed.data(), static_cast<std::streamsize>(packed.size()));
}

// A negative count cannot come from bool2binary: it marks damaged data, read as a failure.
bool futils::binary2bool(std::vector<bool>& v, std::istream& in) {
    int32_t n = 0;
    if (!getLength(in, n) || n < 0) return false;
    v.assign(static_cast<size_t>(n), false);
    const size_t bytes = (static_cast<size_t>(n) + 7) / 8;
    char chunk[4096];
    for (size_t done = 0; done < bytes;) {
        const size_t want = std::min(bytes - done, sizeof chunk);
        in.read(chunk, static_cast<std::streamsize>(want));
        const size_t got = static_cast<size_t>(in.gcount());
        for (size_t i = 0; i < got * 8 && (done * 8 + i) < v.size(); ++i)
            v[done * 8 + i] = (static_cast<unsigned char>(chunk[i / 8]) >> (i % 8)) & 1u;
        if (got < want) return false;
        done += got;
    }
    return true;
}
