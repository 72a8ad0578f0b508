// Fuzzes data_set::readBam over a fixed set of samples: a plain list and the same text
// gzip-compressed must read alike, and raw bytes under .gz and .bz2 names must not crash.
#include <string>
#include <vector>

#include "data_set.h"
#include "fuzz_support.h"

namespace {

// Two samples share a name, and one name is a prefix of another.
const char samples_vcf[] =
    "##fileformat=VCFv4.2\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\tS10\tS1\n"
    "1\t100\t.\tA\tG\t.\t.\t.\tGT\t0|1\t1|0\t0/1\t0/0\n";

struct list_outcome {
    bool stopped = false;
    std::vector<std::vector<std::string>> files, sequences;
    bool operator==(const list_outcome& o) const {
        return stopped == o.stopped && files == o.files && sequences == o.sequences;
    }
};

bool hasBlank(const std::string& s) { return s.find_first_of(" \t") != std::string::npos; }

// One entry per sample, paths and names paired; a path is never empty and no field holds a
// blank; the second S1 gets nothing, since lines go to the first sample of a name.
void checkInvariants(const data_set& data) {
    const size_t n = data.sampleNames.size();
    FUZZ_CHECK(data.bamFiles.size() == n && data.sequenceNames.size() == n);
    for (size_t s = 0; s < n; ++s) {
        FUZZ_CHECK(data.bamFiles[s].size() == data.sequenceNames[s].size());
        for (size_t j = 0; j < data.bamFiles[s].size(); ++j) {
            FUZZ_CHECK(!data.bamFiles[s][j].empty() && !hasBlank(data.bamFiles[s][j]));
            FUZZ_CHECK(!hasBlank(data.sequenceNames[s][j]));
        }
    }
    FUZZ_CHECK(data.bamFiles[3].empty());
}

list_outcome read(const std::string& path) {
    static memory_file vcf(".vcf");
    static const bool written = (vcf.write(samples_vcf, sizeof samples_vcf - 1), true);
    (void)written;
    list_outcome out;
    data_set data(13, 10);
    try {
        data.readVcf(vcf.path().c_str(), 0, 1000000000);
        FUZZ_CHECK(data.sampleNames.size() == 4);
        data.readBam(path.c_str());
    } catch (const fatal_stop&) {
        out.stopped = true;
        return out;
    }
    checkInvariants(data);
    out.files = data.bamFiles;
    out.sequences = data.sequenceNames;
    return out;
}

}  // namespace

FUZZ_TARGET_PREPARED

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file plain(".list"), gzip(".list.gz"), bzip2(".list.bz2");
    const uint8_t mode = data[0];
    const uint8_t* text = data + 1;
    const size_t length = size - 1;
    switch (mode % 3) {
    case 0:
        plain.write(text, length);
        gzip.write(gzipMembers(text, length, length / 2));
        if (startsLikeText(text, length))
            FUZZ_CHECK(read(plain.path()) == read(gzip.path()));
        break;
    case 1:
        gzip.write(text, length);
        read(gzip.path());
        break;
    default:
        bzip2.write(text, length);
        read(bzip2.path());
        break;
    }
    return 0;
}
