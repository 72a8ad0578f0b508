// Scans one sample's BAM files for what each read shows at the sample's heterozygous SNPs.
//
// Two scans give the same read table. The one-pass scan (the default) reads each BAM file once
// over the stretch that holds the sample's sites and finds the sites each record covers from
// the sorted site positions. The per-site scan fetches and piles up each site on its own; it
// costs several times more and is kept as the reference that the one-pass scan is tested
// against. Both keep the pile-up's rules: the flag mask, the depth cap, and observations in
// increasing site index within each file.
#include "data_set.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "bamutils.h"
#include "chromosome_names.h"
#include "hts_handles.h"
#include "utils/fatal.h"

namespace {

// One BAM file ready to scan: file, header, index, and the target to scan.
struct opened_bam {
    sam_file_ptr file;
    sam_hdr_ptr header;
    hts_idx_ptr index;
    int target = -1;
    bool truncated = false;  // no end-of-file marker: read what is there, then report it
};

// The last target of that exact name, or -1.
int findTarget(const sam_hdr_t* header, const std::string& name) {
    int found = -1;
    for (int t = 0; t < sam_hdr_nref(header); ++t)
        if (name == sam_hdr_tid2name(header, t)) found = t;
    return found;
}

// How the scan opens a file, and what it knows of the chromosome to check the file against.
struct open_settings {
    const std::string& vcfName;  // empty when the VCF named none
    int64_t vcfLength;           // -1 when the VCF's header gives none
    const char* reference;       // --reference, or null
    hts_tpool* pool;             // decompression threads, or null
};

// A file whose header lacks the name may spell the chromosome the other way.
void reportMissingSequence(const sam_hdr_t* header, const std::string& sequence) {
    const std::string other = otherSpelling(sequence);
    std::string line = "Fail to find @SQ id = [" + sequence + "] in the header";
    if (findTarget(header, other) >= 0) line += "\n  * the header names it [" + other + "]";
    reportProblem(line);
}

// The same name with another length is most likely another build of the reference.
void checkLength(const std::string& path, const opened_bam& bam, const std::string& sequence,
                 const open_settings& expected) {
    const hts_pos_t length = sam_hdr_tid2len(bam.header.get(), bam.target);
    if (expected.vcfLength < 0 || length == expected.vcfLength) return;
    reportProblem("WARNING: [" + path + "]: [" + sequence + "] is " + std::to_string(length) +
                  " bp long, the VCF's [" + expected.vcfName + "] " +
                  std::to_string(expected.vcfLength) + " bp: another reference build?");
}

// Loads the index by its name, so that htslib warns when a BAM index is older than the file
// (for a CRAM index, which htslib does not check, the scan says it). That may be only a copy's
// time, so the index is used all the same, with a word on what to do.
bool loadIndex(const std::string& path, opened_bam& bam) {
    const bool cramFile = hts_get_format(bam.file.get())->format == htsExactFormat::cram;
    const std::vector<std::string> files = indexedInputs(path, {cramFile ? ".crai" : ".bai"});
    const std::string& index = files[1];
    bam.index.reset(sam_index_load2(bam.file.get(), files[0].c_str(),
                                    index.empty() ? nullptr : index.c_str()));
    if (!bam.index || !isOlderThan(index, files[0])) return bam.index != nullptr;
    const std::string title =
        cramFile ? "WARNING: index [" + index + "] is older than [" + files[0] + "]\n" : "";
    reportProblem(title + "  * the index is older than the file: remake it with samtools index "
                          "if reads are missing");
    return true;
}

// Why a file was not scanned, for the closing account.
struct open_failure {
    unread_files::failure kind;
    std::string reason;
};

// Opens the file, its index and its target, reporting a failure on standard error; returns
// the failure, or nothing when the file is ready to scan.
std::optional<open_failure> openBam(const std::string& path, const std::string& sequence,
                                    const open_settings& settings, opened_bam& bam) {
    using failure = unread_files::failure;
    bam.file.reset(sam_open(path.c_str(), "r"));
    const int openError = bam.file ? 0 : errno;
    // Given to every file: only CRAM files use it, and then nothing is looked up elsewhere.
    if (bam.file && settings.reference) hts_set_fai_filename(bam.file.get(), settings.reference);
    // A file without its end-of-file marker is read as it is, then reported. With a pool,
    // htslib takes a cut at a block boundary for a clean end, and how much of the file is read
    // varies: such a file is read without the pool.
    if (bam.file) {
        bam.truncated = hts_check_EOF(bam.file.get()) == 0;
        if (!bam.truncated) useThreadPool(bam.file.get(), settings.pool);
    }
    if (bam.file) bam.header.reset(sam_hdr_read(bam.file.get()));
    if (!bam.header) {
        std::cerr << "Fail to open BAM file [" << path << "]" << std::endl;
        return open_failure{failure::not_opened,
                            openError ? "cannot be opened (" +
                                            std::string(std::strerror(openError)) + ")"
                                      : "cannot be opened: no BAM or CRAM header"};
    }
    if (!loadIndex(path, bam)) {
        std::cerr << "Fail to open BAM index file associated to [" << path << "]" << std::endl;
        return open_failure{failure::not_scanned, "its index cannot be opened"};
    }
    bam.target = findTarget(bam.header.get(), sequence);
    if (bam.target < 0) {
        reportMissingSequence(bam.header.get(), sequence);
        return open_failure{failure::not_scanned, "no sequence [" + sequence + "] in its header"};
    }
    checkLength(path, bam, sequence, settings);
    // CRAM decodes only what the scan reads.
    hts_set_opt(bam.file.get(), CRAM_OPT_REQUIRED_FIELDS,
                SAM_QNAME | SAM_FLAG | SAM_RNAME | SAM_POS | SAM_MAPQ | SAM_CIGAR | SAM_SEQ |
                    SAM_QUAL);
    return std::nullopt;
}

bool isCram(const opened_bam& bam) { return hts_get_format(bam.file.get())->format == cram; }

// The line that says why a file could not be read to its end, as far as the scan can tell;
// empty when it cannot. A CRAM fails most often for want of its reference.
std::string unreadableReason(const opened_bam& bam, bool referenceGiven) {
    if (bam.truncated) return "\n  * the file has no end-of-file marker: it is truncated";
    if (isCram(bam) && !referenceGiven) return "\n  * give its reference with --reference FASTA";
    return "";
}

// Hands every record of [from, to) on the target to visit, in file order. False when htslib
// could not read them all: a damaged file, or a CRAM whose reference cannot be found.
template <class Visit>
bool readRegion(samFile* file, const hts_idx_t* index, int target, int64_t from, int64_t to,
                bam1_t* record, Visit&& visit) {
    if (to <= 0) return true;  // no record lies before the first base
    hts_itr_ptr region(sam_itr_queryi(index, target, std::max<int64_t>(0, from), to));
    if (!region) return false;
    int status;
    while ((status = sam_itr_next(file, region.get(), record)) >= 0) visit(record);
    return status == -1;
}

// The mapping quality filter (255 means none); a record it drops is counted. The flags were
// tested before.
bool countedReadFilters(const bam1_t* b, data_set::pileup_state& state) {
    const int mappingQuality = b->core.qual;
    const bool passes = mappingQuality <= 254 && mappingQuality >= state.minReadQuality;
    state.counts.droppedMapq += !passes;
    return passes;
}

// The run stops on a base it cannot decode; a cohort has thousands of files, so say where.
[[noreturn]] void undecodableBase(const bam1_t* b, int code, const std::string& path,
                                  int64_t pos0) {
    fatal("extractNucleotide " + std::to_string(code) + " unknown\n  * read [" +
          bamutils::extractName(b) + "] in [" + path + "] at position " +
          std::to_string(pos0 + 1));
}

// Records what b shows at pos0, its base at read offset `offset` (-1: none), when the base
// passes the quality threshold; a base below it, but not below the phasing's, is recorded for
// the phasing alone (and still counted as dropped). The base is decoded first, as the accessors
// do: an undecodable base stops the run whatever its quality.
void observeAt(const bam1_t* b, int64_t offset, int64_t pos0, uint32_t idx,
               data_set::pileup_state& state) {
    if (offset < 0) return;
    const int code = bam_seqi(bam_get_seq(b), offset);
    const char base = bamutils::baseLetter(code);
    if (base == 0) undecodableBase(b, code, state.file, pos0);
    const auto quality = static_cast<signed char>(bam_get_qual(b)[offset]);
    const bool phaseOnly = quality < state.minBaseQuality;
    if (phaseOnly) {
        ++state.counts.droppedBaseq;
        if (quality < state.minPhaseBaseQuality) return;
    }
    state.reads.add(bam_get_qname(b), idx, static_cast<uint8_t>(base),
                    static_cast<uint8_t>(quality), b->core.flag & BAM_FSUPPLEMENTARY, phaseOnly);
}

// Counts a record read; false, and counted as dropped, when the pile-up would drop it.
bool countRecord(const bam1_t* b, scan_counts& counts) {
    ++counts.records;
    const bool dropped = b->core.flag & pileup_flag_mask;
    counts.droppedFlag += dropped;
    return !dropped;
}

}  // namespace

int fetch_function(const bam1_t* b, void* data) {
    static_cast<pileup_buffer*>(data)->push(b);
    return 0;  // a fetch always runs to the end of its region
}

int pileup_function(uint32_t, uint32_t pos, int n, const bam_pileup1_t* pl, void* data) {
    auto& state = *static_cast<data_set::pileup_state*>(data);
    if (static_cast<int64_t>(pos) + 1 != state.sitePos || n < 1) return 0;
    const uint32_t idx = state.owner->sites[state.siteIndex].idx;
    for (int i = 0; i < n; ++i) {
        const bam1_t* b = pl[i].b;
        if (b->core.flag & (BAM_FQCFAIL | BAM_FUNMAP)) continue;
        if (countedReadFilters(b, state))
            observeAt(b, cigar_cursor(b).offsetAt(pos), pos, idx, state);
    }
    return 0;
}

bool data_set::isHetSnp(int sample, int siteIndex) const {
    const size_t row = static_cast<size_t>(siteIndex), k = static_cast<size_t>(sample);
    return sites[siteIndex].snp && k < hetFlags.rowSize(row) && hetFlags.get(row, k);
}

void data_set::bridgeScan(int sample) {
    const auto& paths = bamFiles[static_cast<size_t>(sample)];
    const auto& sequences = sequenceNames[static_cast<size_t>(sample)];
    pileup.counts = scan_counts();
    for (int i = 0; i < sites.size(); ++i) pileup.counts.hetSnps += isHetSnp(sample, i);
    for (size_t f = 0; f < paths.size(); ++f) {
        std::cout << "\nOpening BAM file [" << paths[f] << "] for sample ["
                  << sampleNames[static_cast<size_t>(sample)] << "]" << std::endl;
        opened_bam bam;
        const std::optional<open_failure> failed = openBam(
            paths[f], sequences[f],
            {chromosome, chromosomeLength, options.reference, threadPool()}, bam);
        if (failed) {
            unread.add(failed->kind, sampleNames[static_cast<size_t>(sample)], paths[f],
                       failed->reason);
            continue;
        }
        // Without the sequence in the given reference, htslib would look for it elsewhere.
        if (options.reference && isCram(bam) && !referenceSequences.count(sequences[f])) {
            reportUnreadable(sample, paths[f],
                             "\n  * the reference [" + std::string(options.reference) +
                                 "] holds no sequence [" + sequences[f] + "]");
            continue;
        }
        pileup.file = paths[f];
        std::cout << "Sequence Name=" << sequences[f] << " found at Index=" << bam.target
                  << std::endl;
        std::cout << "Initialise Pile-Up [" << pileup.minBaseQuality << ", "
                  << pileup.minReadQuality << "]" << std::endl;
        const bool complete =
            options.scan == scan_method::per_site
                ? scanPerSite(sample, bam.file.get(), bam.index.get(), bam.target)
                : scanOnePass(sample, bam.file.get(), bam.index.get(), bam.target);
        // The reads before the damage stay; the run goes on, and ends with status 1.
        if (!complete || bam.truncated)
            reportUnreadable(sample, paths[f],
                             unreadableReason(bam, options.reference != nullptr));
    }
}

// The account gives the reason without its bullet.
void data_set::reportUnreadable(int sample, const std::string& path, const std::string& reason) {
    reportProblem("ERROR: Cannot read BAM file [" + path + "]" + reason);
    constexpr std::string_view bullet = "\n  * ";
    unread.add(unread_files::failure::unreadable, sampleNames[static_cast<size_t>(sample)], path,
               reason.empty() ? "cannot be read to its end"
                              : "cannot be read: " + reason.substr(bullet.size()));
}

bool data_set::scanPerSite(int sample, samFile* file, const hts_idx_t* index, int target) {
    pileup_buffer buffer(pileup_function, &pileup);
    if (!buffer.valid()) {
        std::cerr << "Impossible to initialise pile-up" << std::endl;
        return true;
    }
    std::cout << "Piling up reads ..." << std::endl;
    bam1_ptr record(bam_init1());
    for (pileup.siteIndex = 0; pileup.siteIndex < sites.size(); ++pileup.siteIndex) {
        if (!isHetSnp(sample, pileup.siteIndex)) continue;
        pileup.sitePos = sites[pileup.siteIndex].pos;
        buffer.reset();
        const bool complete =
            readRegion(file, index, target, int64_t{pileup.sitePos} - 1, pileup.sitePos,
                       record.get(), [&](const bam1_t* b) {
                           countRecord(b, pileup.counts);
                           fetch_function(b, &buffer);
                       });
        buffer.flush();
        if (!complete) return false;
    }
    return true;
}

namespace {

// A site of the sample in the one-pass scan, with the depth-cap state of its own pile-up.
struct scan_site {
    int64_t pos0;
    uint32_t idx;
    int kept;              // records the site's pile-up would have held
    int64_t lastKeptStart;  // where the last of them started
};

// The pile-up drops a record starting where the last kept one did once it holds the cap.
bool keptByPileup(scan_site& s, int64_t start) {
    if (s.kept >= pileup_depth_cap && s.lastKeptStart == start) return false;
    ++s.kept;
    s.lastKeptStart = start;
    return true;
}

// The stretches [from, to) that hold the sites, cut where sites lie so far apart that a fresh
// index query costs less than reading the reads between them. A record is handled once, by
// the first stretch that returns it, against every site it covers.
std::vector<std::pair<int64_t, int64_t>> siteStretches(const std::vector<scan_site>& targets) {
    constexpr int64_t worth_a_query = 65536;
    std::vector<std::pair<int64_t, int64_t>> stretches;
    for (const scan_site& s : targets) {
        if (stretches.empty() || s.pos0 - stretches.back().second >= worth_a_query)
            stretches.emplace_back(s.pos0, s.pos0 + 1);
        else
            stretches.back().second = s.pos0 + 1;
    }
    return stretches;
}

}  // namespace

bool data_set::scanOnePass(int sample, samFile* file, const hts_idx_t* index, int target) {
    std::cout << "Piling up reads ..." << std::endl;
    std::vector<scan_site> targets;
    for (int i = 0; i < sites.size(); ++i)
        if (isHetSnp(sample, i))
            targets.push_back({int64_t{sites[i].pos} - 1, sites[i].idx, 0, -1});
    if (targets.empty()) return true;
    std::stable_sort(targets.begin(), targets.end(),
                     [](const scan_site& a, const scan_site& b) { return a.pos0 < b.pos0; });

    const size_t firstObservation = pileup.reads.observations();
    bam1_ptr record(bam_init1());
    size_t first = 0;              // first site at or after the current record's start
    int64_t doneUpTo = INT64_MIN;  // records starting at or before this were read already
    auto visit = [&](const bam1_t* b) {
        if (b->core.pos <= doneUpTo || !countRecord(b, pileup.counts)) return;
        cigar_cursor walk(b);  // one walk for all the sites the record covers
        // Where the pile-up would end the record: a CIGAR covering no reference covers one base.
        const int64_t start = b->core.pos, end = std::max(walk.referenceEnd(), start + 1);
        while (first < targets.size() && targets[first].pos0 < start) ++first;
        const bool usable = countedReadFilters(b, pileup);
        for (size_t j = first; j < targets.size() && targets[j].pos0 < end; ++j)
            if (keptByPileup(targets[j], start) && usable)
                observeAt(b, walk.offsetAt(targets[j].pos0), targets[j].pos0, targets[j].idx,
                          pileup);
    };
    bool complete = true;
    for (const auto& [from, to] : siteStretches(targets)) {
        complete = readRegion(file, index, target, from, to, record.get(), visit);
        if (!complete) break;
        doneUpTo = to - 1;
    }
    // Within a file, a read's observations go in increasing site index, as a per-site scan
    // makes them. Record by record they may not: the mates of a pair can cover interleaved
    // sites, and the VCF need not be sorted by position.
    pileup.reads.sortObservationsSince(firstObservation);
    return complete;
}
