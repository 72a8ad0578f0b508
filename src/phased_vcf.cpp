// Writes the phase sets file: the VCF read again line by line, the data lines of the run's sites
// rewritten where a sample has a phased call, a heap walking the samples' calls in site order.
#include "phased_vcf.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <queue>
#include <string_view>

#include "hts_handles.h"
#include "utils/fatal.h"
#include "vcf_fields.h"
#include "vcf_lines.h"

namespace {

// The parts of `text` between separators (either of two).
std::vector<std::string_view> split(std::string_view text, char separator, char other) {
    const char separators[] = {separator, other};
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t end = 0; end != std::string_view::npos; start = end + 1) {
        end = text.find_first_of(std::string_view(separators, 2), start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    }
    return parts;
}

// The value with its part at a FORMAT index made `text`: in place, or after "." parts when
// the value has fewer.
std::string withPart(std::string_view value, long index, std::string_view text) {
    const std::string_view part = valuePart(value, index);
    std::string out;
    if (!part.empty()) {
        const size_t at = static_cast<size_t>(part.data() - value.data());
        out.append(value.substr(0, at)).append(text).append(value.substr(at + part.size()));
        return out;
    }
    out.assign(value);
    part_walker parts(value);
    long count = 0;
    for (std::string_view p; parts.next(p);) ++count;
    for (; count < index; ++count) out += ":.";
    return out.append(":").append(text);
}

// The FORMAT keys the rewriting needs: GT and PS (-1 when absent), and how many there are.
struct format_keys {
    long gt, ps, count;
};

format_keys keysOf(std::string_view format) {
    part_walker keys(format);
    long count = 0;
    for (std::string_view key; keys.next(key);) ++count;
    return {keyIndex(format, "GT"), keyIndex(format, "PS"), count};
}

// The sample value with the call phased and PS at `psIndex`; empty when its genotype is not
// one that can be phased.
std::string phasedValue(std::string_view value, long gt, long psIndex, const phased_call& call) {
    if (!isPhasableGenotype(valuePart(value, gt))) return std::string();
    return withPart(withPart(value, gt, call.altFirst ? "1|0" : "0|1"), psIndex,
                    std::to_string(call.ps));
}

bool allelesDiffer(std::string_view genotype) {
    const std::vector<std::string_view> alleles = split(genotype, '|', '/');
    return std::any_of(alleles.begin(), alleles.end(),
                       [&](std::string_view allele) { return allele != alleles[0]; });
}

// A scanned sample's value outside the reads' blocks holds no phase: its genotype unphased when
// its alleles differ, in their order, and its PS missing. Empty when that changes nothing.
std::string unphasedValue(std::string_view value, const format_keys& keys) {
    const std::string_view genotype = valuePart(value, keys.gt);
    const bool phased = genotype.find('|') != std::string_view::npos;
    // Most values: unphased, and no PS key on the line.
    if (!phased && keys.ps < 0) return std::string();
    std::string out(value);
    if (phased && allelesDiffer(genotype)) {
        std::string unphased(genotype);
        std::replace(unphased.begin(), unphased.end(), '|', '/');
        out = withPart(value, keys.gt, unphased);
    }
    const std::string_view ps = valuePart(out, keys.ps);
    if (keys.ps >= 0 && !ps.empty() && ps != ".") out = withPart(out, keys.ps, ".");
    return out == value ? std::string() : out;
}

// The phased calls of every sample, by site: a cursor per sample and a heap of the next ones.
class call_walk {
public:
    explicit call_walk(const std::vector<std::vector<phased_call>>& bySample) : calls(bySample) {
        for (size_t s = 0; s < calls.size(); ++s) pushNext(s, 0);
    }

    // The (sample, call) pairs at `site`, in sample order; valid until the next call.
    const std::vector<std::pair<size_t, phased_call>>& at(uint32_t site) {
        found.clear();
        while (!next.empty() && next.top().site <= site) {
            const entry e = next.top();
            next.pop();
            if (e.site == site) found.push_back({e.sample, calls[e.sample][e.k]});
            pushNext(e.sample, e.k + 1);
        }
        std::sort(found.begin(), found.end(),
                  [](const auto& x, const auto& y) { return x.first < y.first; });
        return found;
    }

private:
    struct entry {
        uint32_t site;
        size_t sample, k;
        bool operator>(const entry& o) const {
            return site != o.site ? site > o.site : sample > o.sample;
        }
    };
    void pushNext(size_t sample, size_t k) {
        if (k < calls[sample].size()) next.push({calls[sample][k].site, sample, k});
    }

    const std::vector<std::vector<phased_call>>& calls;
    std::vector<std::pair<size_t, phased_call>> found;
    std::priority_queue<entry, std::vector<entry>, std::greater<entry>> next;
};

// No sample value of a line needs a change when no scanned sample has a call at it, and it has
// neither a PS key nor a '|' in its sample values: most lines of an unphased VCF. `head`: its
// first 10 fields or fewer.
bool keptAsItIs(std::string_view line, const std::vector<std::string_view>& head, bool calls) {
    if (calls) return false;
    return head.size() < 10 || (keyIndex(head[8], "PS") < 0 &&
                                line.find('|', static_cast<size_t>(head[9].data() - line.data())) ==
                                    std::string_view::npos);
}

// The data line with the values of the scanned samples holding the reads' phase alone: those of
// `at` phased, the others unphased (each of these that changes is counted in `lostPhase`); every
// other byte as it stands. `fields`: the line's first 9 + scanned.size(), or fewer. Into `out`;
// false, and `out` left as it was, when no value changes.
bool rewrite(std::string_view line, const std::vector<std::string_view>& fields,
             const std::vector<std::pair<size_t, phased_call>>& at,
             const std::vector<bool>& scanned, uint64_t& lostPhase, std::string& out) {
    const format_keys keys = keysOf(fields[8]);
    const long psIndex = keys.ps >= 0 ? keys.ps : keys.count;
    std::vector<std::pair<size_t, std::string>> changed;  // field index, new text; in order
    bool phased = false;
    auto call = at.begin();
    for (size_t sample = 0; sample < scanned.size() && 9 + sample < fields.size(); ++sample) {
        if (!scanned[sample]) continue;
        std::string value;
        if (call != at.end() && call->first == sample)
            value = phasedValue(fields[9 + sample], keys.gt, psIndex, (call++)->second);
        phased = phased || !value.empty();
        if (value.empty()) {
            value = unphasedValue(fields[9 + sample], keys);
            lostPhase += !value.empty();
        }
        if (!value.empty()) changed.push_back({9 + sample, std::move(value)});
    }
    if (changed.empty()) return false;
    if (phased && keys.ps < 0) changed.insert(changed.begin(), {8, std::string(fields[8]) + ":PS"});
    out.clear();
    const char* from = line.data();
    for (const auto& [k, value] : changed) {
        out.append(from, fields[k].data());
        out += value;
        from = fields[k].data() + fields[k].size();
    }
    out.append(from, line.data() + line.size());
    return true;
}

// Which data lines hold the run's sites, each checked against the site it must be.
class line_matcher {
public:
    line_matcher(const vcf_selection& selection, const pos_index& runSites)
        : vcf(selection), sites(runSites) {}

    // The site index of a data line of the run, or -1 for a line outside it; `fields`: its
    // first 9 or more.
    int siteOf(const std::vector<std::string_view>& fields) {
        if (fields.size() < 9 || fields[0] != vcf.chromosome) return -1;
        const int64_t pos = parsePosition(fields[1]);
        if (pos < vcf.from || pos >= vcf.to) return -1;
        const int k = next++;
        if (k >= sites.size() || sites[k].pos != pos || sites[k].ref != fields[3] ||
            sites[k].alt != fields[4])
            changed();
        return k;
    }
    void checkAllSeen() const {
        if (next != sites.size()) changed();
    }
    // The same file as the first read's, not one put in its place or rewritten since.
    void checkSameFile() const {
        if (!vcf_identity::of(vcf.path).sameFileAs(vcf.identity)) changed();
    }
    void checkSampleLine(std::string_view line) const {
        if (line != vcf.identity.sampleLine) changed();
    }

private:
    [[noreturn]] void changed() const {
        fatal("ERROR: VCF file [" + vcf.path + "] changed during the run: no phase sets written");
    }

    const vcf_selection& vcf;
    const pos_index& sites;
    int next = 0;
};

// htslib's warnings on the first read of the VCF would come again on the second: meanwhile it
// reports errors alone.
class htslib_warnings_held {
public:
    htslib_warnings_held() : level(hts_get_log_level()) {
        hts_set_log_level(std::min(level, HTS_LOG_ERROR));
    }
    ~htslib_warnings_held() { hts_set_log_level(level); }
    htslib_warnings_held(const htslib_warnings_held&) = delete;
    htslib_warnings_held& operator=(const htslib_warnings_held&) = delete;

private:
    const htsLogLevel level;
};

}  // namespace

phased_vcf::phased_vcf(const std::string& filename)
    : path(filename), file(std::make_unique<vcf_output>(filename)) {}

void phased_vcf::add(size_t sample, std::vector<phased_call> sampleCalls) {
    if (calls.size() <= sample) {
        calls.resize(sample + 1);
        scanned.resize(sample + 1);
    }
    calls[sample] = std::move(sampleCalls);
    scanned[sample] = true;
}

void phased_vcf::write(const vcf_selection& vcf, const pos_index& sites,
                       const std::string& command, hts_tpool* pool) {
    std::cout << "\nWriting phase sets to [" << path << "]" << std::endl;
    vcf_output& sink = *file;
    line_matcher matcher(vcf, sites);
    matcher.checkSameFile();
    call_walk walk(calls);
    uint64_t lostPhase = 0;
    std::vector<std::string_view> fields;  // of the line read, kept for their room
    std::string rewritten;
    const htslib_warnings_held quiet;
    const vcf_source source = readVcfLines(
        vcf.path, vcf.chrom,
        [&](std::string_view line) {
            if (line.substr(0, 1) == "#") {
                if (line.substr(0, 6) == "#CHROM") matcher.checkSampleLine(line);
                return sink.putHeader(line, command);
            }
            firstFields(line, 10, fields);
            const int k = matcher.siteOf(fields);
            if (k < 0) return;
            const auto& at = walk.at(static_cast<uint32_t>(k));
            if (keptAsItIs(line, fields, !at.empty())) return sink.put(line);
            firstFields(line, 9 + scanned.size(), fields);
            sink.put(rewrite(line, fields, at, scanned, lostPhase, rewritten) ? rewritten : line);
        },
        pool);
    if (source.outcome != vcf_source::status::read)
        fatal("ERROR: Cannot read VCF file [" + vcf.path + "] again: no phase sets written");
    matcher.checkAllSeen();
    matcher.checkSameFile();
    if (lostPhase > 0)
        reportProblem("WARNING: " + std::to_string(lostPhase) +
                      " genotypes of samples with alignment files were phased in the VCF outside "
                      "the reads' blocks: written unphased, without PS");
    sink.close();
}

std::vector<safe_output*> phased_vcf::outputs() { return file->outputs(); }
