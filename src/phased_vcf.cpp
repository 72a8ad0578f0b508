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

constexpr std::string_view ps_header =
    "##FORMAT=<ID=PS,Number=1,Type=Integer,Description=\"Phase set\">";
// The parts of `text` between separators.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t end = 0; end != std::string_view::npos; start = end + 1) {
        end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    }
    return parts;
}

// A diploid heterozygous call of alleles 0 and 1, phased or not.
bool isPlainHet(std::string_view gt) {
    return gt.size() == 3 && (gt[1] == '/' || gt[1] == '|') &&
           ((gt[0] == '0' && gt[2] == '1') || (gt[0] == '1' && gt[2] == '0'));
}

// The sample value with the call phased and PS at `psIndex`, its missing parts before it
// written "."; empty when its genotype is no plain heterozygous call.
std::string phasedValue(std::string_view value, size_t psIndex, const phased_call& call) {
    std::vector<std::string_view> parts = split(value, ':');
    if (!isPlainHet(parts[0])) return std::string();
    const std::string ps = std::to_string(call.ps);
    parts[0] = call.altFirst ? "1|0" : "0|1";
    if (parts.size() <= psIndex) parts.resize(psIndex + 1, ".");
    parts[psIndex] = ps;
    std::string out;
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) out += ':';
        out += parts[k];
    }
    return out;
}

// The phased calls of every sample, by site: a cursor per sample and a heap of the next ones.
class call_walk {
public:
    explicit call_walk(const std::vector<std::vector<phased_call>>& bySample) : calls(bySample) {
        for (size_t s = 0; s < calls.size(); ++s) pushNext(s, 0);
    }

    // The (sample, call) pairs at `site`, in sample order.
    std::vector<std::pair<size_t, phased_call>> at(uint32_t site) {
        std::vector<std::pair<size_t, phased_call>> found;
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
    std::priority_queue<entry, std::vector<entry>, std::greater<entry>> next;
};

// The first `limit` fields of a line, cut as the VCF reader cuts them, in place.
std::vector<std::string_view> fieldsOf(std::string_view line, size_t limit) {
    field_walker walk(line);
    std::vector<std::string_view> fields;
    for (std::string_view field; fields.size() < limit && walk.next(field);)
        fields.push_back(field);
    return fields;
}

// A data line with the values of the samples of `at` (one at least) phased, every other byte as
// it stands; the line itself when no value changes, or when its FORMAT does not begin with GT.
std::string rewrite(std::string_view line, const std::vector<std::pair<size_t, phased_call>>& at) {
    const std::vector<std::string_view> fields = fieldsOf(line, 10 + at.back().first);
    if (fields.size() < 9) return std::string(line);
    const std::vector<std::string_view> keys = split(fields[8], ':');
    if (keys[0] != "GT") return std::string(line);
    const auto psKey = std::find(keys.begin(), keys.end(), "PS");
    const size_t psIndex = static_cast<size_t>(psKey - keys.begin());
    std::vector<std::pair<size_t, std::string>> changed;  // field index, new text; in order
    for (const auto& [sample, call] : at) {
        if (9 + sample >= fields.size()) break;
        std::string value = phasedValue(fields[9 + sample], psIndex, call);
        if (!value.empty()) changed.push_back({9 + sample, std::move(value)});
    }
    if (changed.empty()) return std::string(line);
    if (psKey == keys.end()) changed.insert(changed.begin(), {8, std::string(fields[8]) + ":PS"});
    std::string out;
    const char* from = line.data();
    for (const auto& [k, value] : changed) {
        out.append(from, fields[k].data());
        out += value;
        from = fields[k].data() + fields[k].size();
    }
    out.append(from, line.data() + line.size());
    return out;
}

// Which data lines hold the run's sites, each checked against the site it must be.
class line_matcher {
public:
    line_matcher(const vcf_selection& selection, const pos_index& runSites)
        : vcf(selection), sites(runSites) {}

    // The site index of a data line of the run, or -1 for a line outside it.
    int siteOf(std::string_view line) {
        const std::vector<std::string_view> fields = fieldsOf(line, 9);
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

private:
    [[noreturn]] void changed() const {
        fatal("ERROR: VCF file [" + vcf.path + "] changed during the run: no phase sets written");
    }

    const vcf_selection& vcf;
    const pos_index& sites;
    int next = 0;
};

// The header line that records the command; a line break in an argument would end it early.
std::string commandHeader(const std::string& command) {
    std::string line = "##bridgeScan_command=" + command;
    std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return line;
}

}  // namespace

phased_vcf::phased_vcf(const std::string& filename)
    : path(filename), file(std::make_unique<vcf_output>(filename)) {}

void phased_vcf::add(size_t sample, std::vector<phased_call> sampleCalls) {
    if (calls.size() <= sample) calls.resize(sample + 1);
    calls[sample] = std::move(sampleCalls);
}

void phased_vcf::write(const vcf_selection& vcf, const pos_index& sites,
                       const std::string& command, hts_tpool* pool) {
    std::cout << "\nWriting phase sets to [" << path << "]" << std::endl;
    vcf_output& sink = *file;
    line_matcher matcher(vcf, sites);
    call_walk walk(calls);
    bool psDeclared = false;
    const vcf_source source = readVcfLines(
        vcf.path, vcf.chrom,
        [&](std::string_view line) {
            if (line.substr(0, 6) == "#CHROM") {
                if (!psDeclared) sink.put(ps_header);
                sink.put(commandHeader(command));
                return sink.put(line);
            }
            if (line.substr(0, 1) == "#") {
                psDeclared = psDeclared || line.substr(0, 16) == ps_header.substr(0, 16);
                return sink.put(line);
            }
            const int k = matcher.siteOf(line);
            if (k < 0) return;
            const auto at = walk.at(static_cast<uint32_t>(k));
            if (at.empty()) return sink.put(line);
            sink.put(rewrite(line, at));
        },
        pool);
    if (source.outcome != vcf_source::status::read)
        fatal("ERROR: Cannot read VCF file [" + vcf.path + "] again: no phase sets written");
    matcher.checkAllSeen();
    sink.close();
}

std::vector<safe_output*> phased_vcf::outputs() { return file->outputs(); }
