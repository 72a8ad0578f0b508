// Fuzzes data_set::readVcf: the input as a plain VCF and the same text gzip-compressed must
// read alike, and raw bytes under .gz and .bz2 names test the decompressors' error paths (and,
// read by their content, the text, BCF and refused paths).
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "data_set.h"
#include "fuzz_support.h"

namespace {

// What a read leaves: a fatal stop with its message, or the samples, sites and flags.
struct vcf_outcome {
    bool stopped = false;
    std::string message;
    std::vector<std::string> samples;
    std::vector<std::tuple<int32_t, std::string, std::string, bool>> sites;
    std::vector<std::vector<bool>> flags;

    bool operator==(const vcf_outcome& o) const {
        return std::tie(stopped, message, samples, sites, flags) ==
               std::tie(o.stopped, o.message, o.samples, o.sites, o.flags);
    }
};

// Sites are numbered in order, the lookup finds each one (duplicates are fatal), and every
// site has a flag row no longer than the samples known.
void checkInvariants(const data_set& data) {
    FUZZ_CHECK(data.hetFlags.rows() == static_cast<size_t>(data.sites.size()));
    for (int i = 0; i < data.sites.size(); ++i) {
        const site& s = data.sites[i];
        FUZZ_CHECK(s.idx == static_cast<uint32_t>(i));
        FUZZ_CHECK(s.snp == (s.ref.size() == 1 && s.alt.size() == 1));
        FUZZ_CHECK(data.sites.getP(s.pos, s.ref, s.alt) == &s);
        FUZZ_CHECK(data.hetFlags.rowSize(static_cast<size_t>(i)) <= data.sampleNames.size());
    }
}

vcf_outcome read(const std::string& path, int from, int to) {
    vcf_outcome out;
    data_set data(13, 10);
    try {
        data.readVcf(path.c_str(), from, to);
    } catch (const fatal_stop& stop) {
        out.stopped = true;
        out.message = stop.what();
        return out;
    }
    checkInvariants(data);
    out.samples = data.sampleNames;
    for (int i = 0; i < data.sites.size(); ++i) {
        const site& s = data.sites[i];
        out.sites.emplace_back(s.pos, s.ref, s.alt, s.snp);
        std::vector<bool> row(data.hetFlags.rowSize(static_cast<size_t>(i)));
        for (size_t k = 0; k < row.size(); ++k) row[k] = data.hetFlags.get(static_cast<size_t>(i), k);
        out.flags.push_back(row);
    }
    return out;
}

struct window {
    int from, to;
};
const window windows[] = {{0, 1000000000}, {100, 200}, {INT32_MIN, INT32_MAX}};

}  // namespace

FUZZ_TARGET_PREPARED

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file plain(".vcf"), gzip(".vcf.gz"), bzip2(".vcf.bz2");
    const uint8_t mode = data[0];
    const window w = windows[(mode / 4) % 3];
    const uint8_t* text = data + 1;
    const size_t length = size - 1;
    switch (mode % 4) {
    case 0:
    case 1: {
        // One file, so that the messages, which name it, can be compared too.
        plain.write(text, length);
        const vcf_outcome asText = read(plain.path(), w.from, w.to);
        plain.write(gzipMembers(text, length, mode % 2 ? length / 2 : length));
        const vcf_outcome compressed = read(plain.path(), w.from, w.to);
        if (startsLikeText(text, length)) FUZZ_CHECK(asText == compressed);
        break;
    }
    case 2:
        gzip.write(text, length);
        read(gzip.path(), w.from, w.to);
        break;
    default:
        bzip2.write(text, length);
        read(bzip2.path(), w.from, w.to);
        break;
    }
    return 0;
}
