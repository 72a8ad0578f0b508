// The sample values of the phase sets, each rewritten in place: the rest of the value, and of
// the line, stays byte for byte as the VCF has it.
#include "phase_values.h"

#include <algorithm>
#include <charconv>

#include "utils/fatal.h"
#include "vcf_fields.h"

namespace {

// Makes the part at a FORMAT index of the value that `out` holds from `start` `text`: in place,
// or after "." parts when the value has fewer.
void setPart(std::string& out, size_t start, long index, std::string_view text) {
    const std::string_view value = std::string_view(out).substr(start);
    const std::string_view part = valuePart(value, index);
    if (!part.empty()) {
        out.replace(start + static_cast<size_t>(part.data() - value.data()), part.size(), text);
        return;
    }
    part_walker parts(value);
    long count = 0;
    for (std::string_view p; parts.next(p);) ++count;
    for (; count < index; ++count) out += ":.";
    (out += ':') += text;
}

// Without building the alleles: every scanned value of a phased cohort comes here.
bool allelesDiffer(std::string_view genotype) {
    constexpr std::string_view separators = "|/";
    const size_t firstEnd = std::min(genotype.find_first_of(separators), genotype.size());
    const std::string_view first = genotype.substr(0, firstEnd);
    for (size_t at = firstEnd; at < genotype.size();) {
        const size_t end = std::min(genotype.find_first_of(separators, at + 1), genotype.size());
        if (genotype.substr(at + 1, end - at - 1) != first) return true;
        at = end;
    }
    return false;
}

}  // namespace

format_keys keysOf(std::string_view format) {
    part_walker keys(format);
    long count = 0;
    for (std::string_view key; keys.next(key);) ++count;
    return {keyIndex(format, "GT"), keyIndex(format, "PS"), count};
}

bool appendPhased(std::string_view value, long gt, long psIndex, const phased_call& call,
                  std::string& out) {
    if (!isPhasableGenotype(valuePart(value, gt))) return false;
    const size_t start = out.size();
    out.append(value);
    setPart(out, start, gt, call.altFirst ? "1|0" : "0|1");
    char digits[12];
    const char* end = std::to_chars(digits, digits + sizeof digits, call.ps).ptr;
    setPart(out, start, psIndex, std::string_view(digits, static_cast<size_t>(end - digits)));
    return true;
}

// Edits the copy in place: a cohort's phased VCF gives every scanned value of every line.
bool appendUnphased(std::string_view value, const format_keys& keys, std::string& out) {
    const size_t start = out.size();
    out.append(value);
    const std::string_view genotype = valuePart(value, keys.gt);
    const bool unphase = genotype.find('|') != std::string_view::npos && allelesDiffer(genotype);
    if (unphase) {
        const auto from =
            out.begin() + static_cast<std::ptrdiff_t>(start) + (genotype.data() - value.data());
        std::replace(from, from + static_cast<std::ptrdiff_t>(genotype.size()), '|', '/');
    }
    const std::string_view ps = keys.ps >= 0 ? valuePart(value, keys.ps) : std::string_view();
    const bool clearPs = !ps.empty() && ps != ".";
    if (clearPs) out.replace(start + static_cast<size_t>(ps.data() - value.data()), ps.size(), ".");
    return unphase || clearPs;
}

bool mayHoldPhase(std::string_view line, const std::vector<std::string_view>& head) {
    return head.size() >= 10 &&
           (keyIndex(head[8], "PS") >= 0 ||
            line.find('|', static_cast<size_t>(head[9].data() - line.data())) !=
                std::string_view::npos);
}

void reportLostPhase(uint64_t count) {
    if (count == 0) return;
    reportProblem("WARNING: " + std::to_string(count) +
                  " genotypes of samples with alignment files were phased in the VCF outside "
                  "the reads' blocks: written unphased, without PS");
}
