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
#include "packed_calls.h"
#include "phase_values.h"
#include "utils/fatal.h"
#include "vcf_fields.h"
#include "vcf_lines.h"

namespace {

// The phased calls of every sample, by site: a reader per sample and a heap of the next ones.
class call_walk {
public:
    explicit call_walk(const std::vector<packed_calls>& bySample) {
        readers.reserve(bySample.size());
        for (const packed_calls& calls : bySample) readers.emplace_back(calls);
        for (size_t s = 0; s < readers.size(); ++s) pushNext(s);
    }

    // The (sample, call) pairs at `site`, in sample order; valid until the next call.
    const std::vector<std::pair<size_t, phased_call>>& at(uint32_t site) {
        found.clear();
        while (!next.empty() && next.top().call.site <= site) {
            const entry e = next.top();
            next.pop();
            if (e.call.site == site) found.push_back({e.sample, e.call});
            pushNext(e.sample);
        }
        std::sort(found.begin(), found.end(),
                  [](const auto& x, const auto& y) { return x.first < y.first; });
        return found;
    }

private:
    struct entry {
        phased_call call;
        size_t sample;
        bool operator>(const entry& o) const {
            return call.site != o.call.site ? call.site > o.call.site : sample > o.sample;
        }
    };
    void pushNext(size_t sample) {
        phased_call call;
        if (readers[sample].next(call)) next.push({call, sample});
    }

    std::vector<packed_calls::reader> readers;
    std::vector<std::pair<size_t, phased_call>> found;
    std::priority_queue<entry, std::vector<entry>, std::greater<entry>> next;
};

// Whether the reads phase a value of the line: a call at a sample whose genotype can be written
// phased. `fields`: as for rewrite().
bool phasesAValue(const std::vector<std::string_view>& fields,
                  const std::vector<std::pair<size_t, phased_call>>& at, long gt) {
    return std::any_of(at.begin(), at.end(), [&](const auto& call) {
        return 9 + call.first < fields.size() &&
               isPhasableGenotype(valuePart(fields[9 + call.first], gt));
    });
}

// The data line with the values of the scanned samples holding the reads' phase alone: those of
// `at` phased, the others unphased (each of these that changes is counted in `lostPhase`); every
// other byte as it stands. `fields`: the line's first 9 + scanned.size(), or fewer. Into `out`;
// false when no value changes, and the line is written as read.
bool rewrite(std::string_view line, const std::vector<std::string_view>& fields,
             const std::vector<std::pair<size_t, phased_call>>& at,
             const std::vector<bool>& scanned, uint64_t& lostPhase, std::string& out) {
    const format_keys keys = keysOf(fields[8]);
    const long psIndex = phaseSetIndex(keys);
    line_splice splice(line, out);
    bool changed = keys.ps < 0 && phasesAValue(fields, at, keys.gt);
    if (changed) (splice.replace(fields[8]) += fields[8]) += ":PS";
    auto call = at.begin();
    for (size_t sample = 0; sample < scanned.size() && 9 + sample < fields.size(); ++sample) {
        if (!scanned[sample]) continue;
        const std::string_view value = fields[9 + sample];
        std::string& text = splice.replace(value);
        const bool inBlock = call != at.end() && call->first == sample;
        if (inBlock && appendPhased(value, keys.gt, psIndex, (call++)->second, text)) {
            changed = true;
        } else if (appendUnphased(value, keys, text)) {
            ++lostPhase;
            changed = true;
        }
    }
    splice.finish();
    return changed;
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

phased_vcf::phased_vcf(const std::string& filename, phase_sets_form form) : path(filename) {
    if (form == phase_sets_form::vcf)
        file = std::make_unique<vcf_output>(filename);
    else
        part = std::make_unique<phase_part_writer>(
            filename, form == phase_sets_form::part_of_every_line);
}

void phased_vcf::add(size_t sample, const std::vector<phased_call>& sampleCalls) {
    if (calls.size() <= sample) {
        calls.resize(sample + 1);
        scanned.resize(sample + 1);
    }
    calls[sample] = packed_calls(sampleCalls);
    scanned[sample] = true;
}

void phased_vcf::write(const vcf_selection& vcf, const pos_index& sites,
                       const std::string& command, hts_tpool* pool) {
    std::cout << "\nWriting phase sets to [" << path << "]" << std::endl;
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
                if (file) file->putHeader(line, command);
                return;
            }
            firstFields(line, 10, fields);
            const int k = matcher.siteOf(fields);
            if (k < 0) return;
            const auto& at = walk.at(static_cast<uint32_t>(k));
            if (part) {
                if (!at.empty()) moreFields(line, 9 + scanned.size(), fields);
                return part->put(static_cast<size_t>(k), fields, at);
            }
            if (at.empty() && !mayHoldPhase(line, fields)) return file->put(line);
            moreFields(line, 9 + scanned.size(), fields);
            file->put(rewrite(line, fields, at, scanned, lostPhase, rewritten) ? rewritten : line);
        },
        pool);
    if (source.outcome != vcf_source::status::read)
        fatal("ERROR: Cannot read VCF file [" + vcf.path + "] again: no phase sets written");
    matcher.checkAllSeen();
    matcher.checkSameFile();
    reportLostPhase(lostPhase);
    if (file)
        file->close();
    else
        part->close(static_cast<size_t>(sites.size()));
}

std::vector<safe_output*> phased_vcf::outputs() {
    return file ? file->outputs() : std::vector<safe_output*>{part->output()};
}
