// Reads the VCF: sample names, the sites inside the window, each sample's heterozygous sites.
#include "data_set.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "utils/fatal.h"
#include "utils/streams.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Walks the fields of a line without copying them, split exactly as sutils::tokenize splits a
// line: a run of spaces and tabs is one separator, and a leading or trailing run yields an
// empty first or last field. A CR is an ordinary character. A cohort line holds thousands of
// sample fields, so building a string per field would cost more than decompressing it.
class field_walker {
public:
    explicit field_walker(std::string_view line) : p(line.data()), end(p + line.size()) {}

    // The next field, or false once the last one has been given.
    bool next(std::string_view& field) {
        if (finished) return false;
        const char* start = p;
        while (p < end && !isBlank(*p)) ++p;
        field = std::string_view(start, static_cast<size_t>(p - start));
        skipSeparator();
        return true;
    }

    // Takes the next field only when it is exactly three characters with no ':' (the usual
    // diploid call, whose whole value is its genotype), and gives its first and third.
    // Otherwise takes nothing: the caller falls back to next().
    bool nextCall(char& first, char& third) {
        if (finished || end - p < 3 || isSpecial(p[0]) || isSpecial(p[1]) || isSpecial(p[2]))
            return false;
        if (p + 3 != end && !isBlank(p[3])) return false;
        first = p[0];
        third = p[2];
        p += 3;
        skipSeparator();
        return true;
    }

private:
    static bool isSpecial(char c) { return isBlank(c) || c == ':'; }

    void skipSeparator() {
        if (p == end) finished = true;
        while (p < end && isBlank(*p)) ++p;
    }

    const char* p;
    const char* end;
    bool finished = false;
};

// Walks the parts of a FORMAT key list or a sample value, split at runs of ':' with leading
// and trailing ones ignored, so no part is ever empty.
class part_walker {
public:
    explicit part_walker(std::string_view text) : p(text.data()), end(p + text.size()) {}

    bool next(std::string_view& part) {
        while (p < end && *p == ':') ++p;
        if (p == end) return false;
        const char* start = p;
        while (p < end && *p != ':') ++p;
        part = std::string_view(start, static_cast<size_t>(p - start));
        return true;
    }

private:
    const char* p;
    const char* end;
};

// The index of the last "GT" key of a FORMAT field, or -1.
long gtIndex(std::string_view format) {
    part_walker keys(format);
    std::string_view key;
    long index = -1;
    for (long k = 0; keys.next(key); ++k)
        if (key == "GT") index = k;
    return index;
}

// 0 and 1, or 1 and 0: the two differ in the lowest bit only, and the first is a 0 or a 1.
// Without branches, because a cohort's calls come in no order a predictor could learn.
bool isHeterozygousCall(char first, char third) {
    const auto a = static_cast<unsigned char>(first), b = static_cast<unsigned char>(third);
    return ((a ^ b) == 1) & ((a & 0xFEu) == '0');
}

// A sample value is heterozygous when its genotype part reads 0?1 or 1?0; the separator is
// not looked at, so phased and unphased calls count alike. A value with fewer parts than the
// GT index needs is a missing call, and a genotype of fewer than three characters a haploid
// call: neither is heterozygous.
bool isHeterozygous(std::string_view value, long gt) {
    part_walker parts(value);
    std::string_view genotype;
    for (long k = 0; k <= gt; ++k)
        if (!parts.next(genotype)) return false;
    return genotype.size() >= 3 && isHeterozygousCall(genotype[0], genotype[2]);
}

// strtol rules, no error detection, narrowed to 32 bits. The field ends at a blank or at the
// line's terminating NUL, where strtol stops, so it reads nothing beyond the field.
int32_t parsePosition(std::string_view field) {
    return static_cast<int32_t>(static_cast<uint32_t>(std::strtol(field.data(), nullptr, 10)));
}

// A line of blanks and CRs only, as an editor leaves at the end of a file: nothing to report.
bool isBlankLine(const std::string& line) {
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

// Sets the flags given by one word of 64 heterozygosity bits, starting at sample `base`.
void setFlags(packed_flags& flags, size_t row, size_t base, uint64_t word) {
    const size_t samples = flags.rowSize(row);
    for (; word != 0; word &= word - 1) {
        const size_t k = base + static_cast<size_t>(__builtin_ctzll(word));
        if (k < samples) flags.set(row, k);
    }
}

// Sets the flags of one site's row from its sample fields; returns how many fields there were.
// Fields beyond the row are counted, not stored. The bits are gathered 64 at a time so that
// no sample costs a branch on its outcome.
size_t readGenotypes(field_walker& fields, long gt, packed_flags& flags, size_t row) {
    std::string_view value;
    char first = 0, third = 0;
    uint64_t word = 0;
    size_t k = 0;
    for (;; ++k) {
        bool het;
        if (gt == 0 && fields.nextCall(first, third)) het = isHeterozygousCall(first, third);
        else if (fields.next(value)) het = isHeterozygous(value, gt);
        else break;
        word |= uint64_t{het} << (k & 63);
        if ((k & 63) == 63) {
            setFlags(flags, row, k - 63, word);
            word = 0;
        }
    }
    setFlags(flags, row, k & ~size_t{63}, word);
    return k;
}

struct vcf_counts {
    int32_t snps = 0;
    int32_t others = 0;
    long shortLines = 0;       // data lines inside the window with fewer than nine fields
    long mismatchedLines = 0;  // data lines whose genotypes do not match the sample names
};

void report(const vcf_counts& counts, const std::string& name) {
    std::cout << "  * " << counts.snps << " bi-allelic SNPs" << std::endl;
    if (counts.others > 0)
        std::cout << "  * " << counts.others << " non bi-allelic SNPs rejected" << std::endl;
    if (counts.shortLines > 0)
        reportProblem("WARNING: Skipped " + std::to_string(counts.shortLines) +
                      " lines with fewer than 9 fields in [" + name + "]");
    if (counts.mismatchedLines > 0)
        reportProblem("WARNING: " + std::to_string(counts.mismatchedLines) + " lines in [" +
                      name +
                      "] hold more or fewer genotypes than there are samples: extra ones were "
                      "ignored, missing ones read as not heterozygous");
}

}  // namespace

void data_set::readVcf(const char* filename, int from, int to) {
    const std::string name(filename);
    std::cout << "\nReading genotypes in [" << name << "] in VCF format" << std::endl;
    ifile in;
    if (!in.open(name, false)) fatal("ERROR: Cannot open VCF file [" + name + "]");

    vcf_counts counts;
    std::string line;
    std::string_view field;
    while (std::getline(in, line)) {
        field_walker fields(line);
        fields.next(field);
        if (field == "#CHROM") {
            for (int k = 2; k <= 9; ++k) fields.next(field);
            while (fields.next(field)) sampleNames.emplace_back(field);
            std::cout << "  * " << sampleNames.size() << " samples" << std::endl;
            continue;
        }
        if (!line.empty() && line[0] == '#') continue;

        std::string_view pos, ref, alt, format;
        bool complete = fields.next(pos);
        if (complete) {
            const int32_t p = parsePosition(pos);
            if (p < from || p >= to) continue;
        }
        complete = complete && fields.next(field) && fields.next(ref) && fields.next(alt) &&
                   fields.next(field) && fields.next(field) && fields.next(field) &&
                   fields.next(format);
        if (!complete) {
            counts.shortLines += !isBlankLine(line);
            continue;
        }

        site& s = siteRecords.emplace_back();
        s.pos = parsePosition(pos);
        s.ref.assign(ref);
        s.alt.assign(alt);
        if (sites.getP(s.pos, s.ref, s.alt))
            fatal("ERROR: Duplicate site pos=" + std::to_string(s.pos) + " ref=" + s.ref +
                  " alt=" + s.alt);
        s.idx = static_cast<uint32_t>(sites.size());
        s.snp = s.ref.size() == 1 && s.alt.size() == 1;
        sites.push(&s);
        ++(s.snp ? counts.snps : counts.others);

        const long gt = gtIndex(format);
        if (gt < 0) fatal("ERROR: No GT found at site pos=" + std::to_string(s.pos));
        hetFlags.addRow(sampleNames.size());
        counts.mismatchedLines += readGenotypes(fields, gt, hetFlags, s.idx) != sampleNames.size();
    }
    if (in.failed()) fatal("ERROR: Cannot read VCF file [" + name + "]");
    report(counts, name);
}
