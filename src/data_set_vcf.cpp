// Reads the VCF: sample names, the sites inside the window, each sample's heterozygous sites.
#include "data_set.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "chromosome_names.h"
#include "utils/fatal.h"
#include "vcf_fields.h"
#include "vcf_lines.h"

namespace {

// Alignment positions are 32-bit: a site beyond them could never be covered by a read.
constexpr int64_t last_reachable_position = INT32_MAX;

// A line of blanks and CRs only, as an editor leaves at the end of a file: nothing to report.
bool isBlankLine(std::string_view line) {
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
// no sample costs a branch on its outcome. A heterozygous call that cannot be phased (a rare
// one) is noted as sample << 32 | row in `unphasable`.
size_t readGenotypes(field_walker& fields, long gt, packed_flags& flags, size_t row,
                     std::vector<uint64_t>& unphasable) {
    std::string_view value, genotype;
    uint64_t word = 0;
    size_t k = 0;
    for (;; ++k) {
        if (!(gt == 0 && fields.nextCall(genotype))) {
            if (!fields.next(value)) break;
            genotype = valuePart(value, gt);
        }
        const bool het = isHeterozygousGenotype(genotype);
        if (het && !isPhasableGenotype(genotype)) unphasable.push_back(uint64_t{k} << 32 | row);
        word |= uint64_t{het} << (k & 63);
        if ((k & 63) == 63) {
            setFlags(flags, row, k - 63, word);
            word = 0;
        }
    }
    setFlags(flags, row, k & ~size_t{63}, word);
    return k;
}

// The #CHROM line's sample names as its tabs give them, from the first that holds a blank on:
// the line is split at blanks too, so such a name becomes several samples, and every sample
// after it takes the genotypes of another column. Empty when no name holds a blank.
std::vector<std::string> samplesShiftedByBlanks(std::string_view line) {
    std::vector<std::string> names;
    size_t column = 0;
    for (size_t start = 0; start <= line.size(); ++column) {
        const size_t end = std::min(line.find('\t', start), line.size());
        std::string_view name = line.substr(start, end - start);
        start = end + 1;
        name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
        name.remove_suffix(name.size() - std::min(name.find_last_not_of(' ') + 1, name.size()));
        if (column >= 9 && (!names.empty() || name.find(' ') != std::string_view::npos))
            names.emplace_back(name);
    }
    return names;
}

struct vcf_counts {
    int32_t snps = 0;
    int32_t others = 0;
    long shortLines = 0;       // data lines inside the window with fewer than nine fields
    long mismatchedLines = 0;  // data lines whose genotypes do not match the sample names
    long atOrAboveTo = 0;      // data lines of the run's chromosome skipped by --to
    long beyondReach = 0;      // data lines of the run's chromosome beyond 32-bit positions
};

// What the reader fills: the data set's sample names, sites and flags.
struct vcf_tables {
    std::vector<std::string>& sampleNames;
    pos_index& sites;
    std::deque<site>& siteRecords;
    packed_flags& hetFlags;
    std::vector<uint64_t>& unphasableHets;
};

// The name and length a "##contig=<ID=...,length=...>" line gives; false for other lines and
// for a contig without a length.
bool parseContig(std::string_view line, std::string& id, int64_t& length) {
    constexpr std::string_view prefix = "##contig=<";
    if (line.substr(0, prefix.size()) != prefix) return false;
    std::string_view rest = line.substr(prefix.size()), lengthText;
    while (!rest.empty()) {
        const size_t end = std::min(rest.find_first_of(",>"), rest.size());
        const std::string_view item = rest.substr(0, end);
        if (item.substr(0, 3) == "ID=") id.assign(item.substr(3));
        if (item.substr(0, 7) == "length=") lengthText = item.substr(7);
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    if (lengthText.empty()) return false;
    length = std::strtoll(std::string(lengthText).c_str(), nullptr, 10);
    return true;
}

// Reads the lines of one VCF: the sample line, the contig lines, and the data lines of one
// chromosome inside the window. That chromosome is the one asked for, or else the first one
// met; a second one inside the window stops the storing, and the rest of the file is only
// searched for further names, so that the error can list them.
class vcf_reader {
public:
    vcf_reader(vcf_tables tables, const char *chrom, int windowFrom, int windowTo)
        : t(tables), wanted(chrom ? chrom : ""), chromosome(wanted), from(windowFrom),
          to(windowTo) {}

    void take(std::string_view line) {
        field_walker fields(line);
        std::string_view chrom;
        fields.next(chrom);
        if (!chromosomes.empty()) return noteChromosome(chrom, fields);
        if (chrom == "#CHROM") return takeSamples(line, fields);
        if (!line.empty() && line[0] == '#') return takeHeader(line);
        if (!wanted.empty() && chrom != wanted) return noteOtherName(chrom);
        wantedSeen = true;
        takeDataLine(line, chrom, fields);
    }

    const vcf_counts& counts() const { return count; }
    // The chromosome of the sites read: the one asked for, or the VCF's own; empty when the
    // VCF had no data line in the window.
    const std::string& chromosomeRead() const { return chromosome; }
    // The chromosomes met inside the window when there were several, in the order met.
    const std::vector<std::string>& severalChromosomes() const { return chromosomes; }
    bool wantedFound() const { return wanted.empty() || wantedSeen; }
    bool namesOther(const std::string& name) const { return otherNames.count(name) > 0; }
    // The samples read under another's name, from the first whose name holds a blank.
    const std::vector<std::string>& samplesShifted() const { return shiftedSamples; }
    int64_t chromosomeLength() const {
        const auto length = lengths.find(chromosome);
        return length == lengths.end() ? -1 : length->second;
    }

private:
    void takeSamples(std::string_view line, field_walker& fields) {
        std::string_view field;
        for (int k = 2; k <= 9; ++k) fields.next(field);
        while (fields.next(field)) t.sampleNames.emplace_back(field);
        const std::vector<std::string> shifted = samplesShiftedByBlanks(line);
        shiftedSamples.insert(shiftedSamples.end(), shifted.begin(), shifted.end());
        std::cout << "  * " << t.sampleNames.size() << " samples" << std::endl;
    }

    // Contig lengths are kept for all contigs: the chromosome may be met only later.
    void takeHeader(std::string_view line) {
        std::string id;
        int64_t length = 0;
        if (parseContig(line, id, length)) lengths[id] = length;
    }

    void noteOtherName(std::string_view chrom) {
        if (chrom != lastOther) otherNames.emplace(lastOther = chrom);
    }

    void takeDataLine(std::string_view line, std::string_view chrom, field_walker& fields) {
        std::string_view pos, ref, alt, format, field;
        bool complete = fields.next(pos);
        const int64_t p = complete ? parsePosition(pos) : 0;
        if (complete) {
            if (p > last_reachable_position) {
                ++count.beyondReach;
                return;
            }
            count.atOrAboveTo += p >= to;
            if (p < from || p >= to) return;
        }
        complete = complete && fields.next(field) && fields.next(ref) && fields.next(alt) &&
                   fields.next(field) && fields.next(field) && fields.next(field) &&
                   fields.next(format);
        if (!complete) {
            count.shortLines += !isBlankLine(line);
            return;
        }
        if (chromosome.empty()) chromosome.assign(chrom);
        if (chrom != chromosome) {
            chromosomes = {chromosome, std::string(chrom)};
            return;
        }
        takeSite(static_cast<int32_t>(p), ref, alt, format, fields);
    }

    void takeSite(int32_t pos, std::string_view ref, std::string_view alt,
                  std::string_view format, field_walker& fields) {
        site& s = t.siteRecords.emplace_back();
        s.pos = pos;
        s.ref.assign(ref);
        s.alt.assign(alt);
        if (t.sites.getP(s.pos, s.ref, s.alt))
            fatal("ERROR: Duplicate site pos=" + std::to_string(s.pos) + " ref=" + s.ref +
                  " alt=" + s.alt);
        s.idx = static_cast<uint32_t>(t.sites.size());
        s.snp = s.ref.size() == 1 && s.alt.size() == 1;
        t.sites.push(&s);
        ++(s.snp ? count.snps : count.others);

        const long gt = keyIndex(format, "GT");
        if (gt < 0) fatal("ERROR: No GT found at site pos=" + std::to_string(s.pos));
        t.hetFlags.addRow(t.sampleNames.size());
        count.mismatchedLines +=
            readGenotypes(fields, gt, t.hetFlags, s.idx, t.unphasableHets) !=
            t.sampleNames.size();
    }

    // After a second chromosome: only the names of the rest, inside the window.
    void noteChromosome(std::string_view chrom, field_walker& fields) {
        if (chrom == lastOther || (!chrom.empty() && chrom[0] == '#')) return;
        lastOther = chrom;
        std::string_view pos;
        if (!fields.next(pos)) return;
        const int64_t p = parsePosition(pos);
        if (p < from || p >= to || p > last_reachable_position) return;
        if (std::find(chromosomes.begin(), chromosomes.end(), chrom) == chromosomes.end())
            chromosomes.emplace_back(chrom);
    }

    vcf_tables t;
    const std::string wanted;
    std::string chromosome;
    const int32_t from, to;
    vcf_counts count;
    bool wantedSeen = false;
    std::string lastOther;               // the last name passed over, to skip its run of lines
    std::set<std::string> otherNames;    // the names passed over for --chrom
    std::vector<std::string> chromosomes;
    std::map<std::string, int64_t> lengths;
    std::vector<std::string> shiftedSamples;
};

// Positions that hold two or more SNP records: a read there is seen at each of them.
long sharedSnpPositions(const pos_index& sites) {
    std::vector<int32_t> positions;
    for (int i = 0; i < sites.size(); ++i)
        if (sites[i].snp) positions.push_back(sites[i].pos);
    std::sort(positions.begin(), positions.end());
    long shared = 0;
    for (size_t i = 1; i < positions.size(); ++i)
        shared += positions[i] == positions[i - 1] && (i < 2 || positions[i - 2] != positions[i]);
    return shared;
}

std::string bracketedList(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& n : names) list += (list.empty() ? "[" : ", [") + n + "]";
    return list;
}

// The first names, then how many more: a cohort's list would fill the screen.
std::string shortList(const std::vector<std::string>& names) {
    constexpr size_t shown = 10;
    if (names.size() <= shown) return bracketedList(names);
    return bracketedList({names.begin(), names.begin() + shown}) + " and " +
           std::to_string(names.size() - shown) + " more";
}

// Names the samples whose genotypes a blank inside a sample name moved: those from that name on.
std::string shiftedSamplesNote(const std::vector<std::string>& shifted) {
    if (shifted.empty()) return "";
    std::vector<std::string> blanks;
    std::copy_if(shifted.begin(), shifted.end(), std::back_inserter(blanks),
                 [](const std::string& n) { return n.find(' ') != std::string::npos; });
    return "\n  * the #CHROM line is split at blanks, and " +
           std::string(blanks.size() == 1 ? "the sample name " : "the sample names ") +
           shortList(blanks) + (blanks.size() == 1 ? " holds one" : " hold one") +
           ": the genotypes of " + shortList(shifted) + " are read under other sample names";
}

void report(const vcf_counts& counts, const std::string& name, int to,
            const std::vector<std::string>& shifted) {
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
                      "ignored, missing ones read as not heterozygous" +
                      shiftedSamplesNote(shifted));
    if (counts.beyondReach > 0)
        reportProblem("WARNING: " + std::to_string(counts.beyondReach) + " sites of [" + name +
                      "] lie beyond position " + std::to_string(last_reachable_position) +
                      ", which alignment files cannot reach: skipped");
    // Only the default bound: a window chosen on purpose skips what it leaves out.
    if (counts.atOrAboveTo > 0 && to == run_options().to)
        reportProblem("WARNING: " + std::to_string(counts.atOrAboveTo) + " sites of [" + name +
                      "] at or above --to " + std::to_string(to) + " were skipped");
}

// Stops the run when the VCF could not be read, or did not hold one chromosome's sites.
void checkSource(const vcf_source& source, const vcf_reader& reader, const std::string& name,
                 const char* chrom) {
    using status = vcf_source::status;
    if (source.outcome == status::cannot_open) fatal("ERROR: Cannot open VCF file [" + name + "]");
    if (source.outcome == status::not_text)
        fatal("ERROR: Cannot read VCF file [" + name + "]: " + contentName(source.content) +
              " content");
    if (source.outcome == status::cannot_read) fatal("ERROR: Cannot read VCF file [" + name + "]");
    if (source.outcome == status::bcf_from_pipe)
        fatal("ERROR: Cannot read VCF file [" + name + "]: BCF from a pipe, give a file");
    if (!reader.severalChromosomes().empty())
        fatal("ERROR: VCF file [" + name + "] holds sites on more than one chromosome (" +
              bracketedList(reader.severalChromosomes()) + "): choose one with --chrom");
    if (reader.wantedFound()) return;
    const std::string other = otherSpelling(chrom);
    const bool named = source.indexed ? std::count(source.indexedChromosomes.begin(),
                                                   source.indexedChromosomes.end(), other) > 0
                                      : reader.namesOther(other);
    fatal("ERROR: No site on chromosome [" + std::string(chrom) + "] in VCF file [" + name + "]" +
          (named ? "\n  * the VCF names it [" + other + "]" : ""));
}

}  // namespace

void data_set::readVcf(const char* filename, int from, int to) {
    const std::string name(filename);
    std::cout << "\nReading genotypes in [" << name << "] in VCF format" << std::endl;
    vcf_reader reader({sampleNames, sites, siteRecords, hetFlags, unphasableHets}, options.chrom,
                      from, to);
    vcfRead = vcf_identity::of(name);
    const vcf_source source = readVcfLines(
        name, options.chrom,
        [&](std::string_view line) {
            if (vcfRead.sampleLine.empty() && line.substr(0, 6) == "#CHROM")
                vcfRead.sampleLine = line;
            reader.take(line);
        },
        threadPool());
    checkSource(source, reader, name, options.chrom);
    report(reader.counts(), name, to, reader.samplesShifted());
    const long shared = sharedSnpPositions(sites);
    if (shared > 0)
        reportProblem("WARNING: " + std::to_string(shared) + " positions of [" + name +
                      "] hold more than one SNP record (split multi-allelic sites?): a read "
                      "there is seen at each of them");
    std::sort(unphasableHets.begin(), unphasableHets.end());
    chromosome = reader.chromosomeRead();
    chromosomeLength = reader.chromosomeLength();
}
