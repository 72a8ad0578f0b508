// A sample's value as the phase sets write it: phased by the reads, or, for a sample with
// alignment files outside its blocks, without the phase its VCF gave. Shared by the scan that
// writes the phase sets and by the gather that puts a cohort's groups together, which must
// write the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "phase_sets.h"

// The FORMAT keys the rewriting needs: GT and PS (-1 when absent), and how many there are.
struct format_keys {
    long gt, ps, count;
};

format_keys keysOf(std::string_view format);

// Where a phased value puts its PS: at the FORMAT's PS, or after its last key.
inline long phaseSetIndex(const format_keys& keys) { return keys.ps >= 0 ? keys.ps : keys.count; }

// Appends to `out` the sample value with the call phased and PS at `psIndex`; false, appending
// nothing, when its genotype is not one that can be phased.
bool appendPhased(std::string_view value, long gt, long psIndex, const phased_call& call,
                  std::string& out);

// Appends to `out` a scanned sample's value outside the reads' blocks: its genotype unphased
// when its alleles differ, in their order, and its PS missing. True when that changed it.
bool appendUnphased(std::string_view value, const format_keys& keys, std::string& out);

// A line written again into `out` field by field, in line order: each field replaced by what
// the caller appends after replace(field), every other byte as it stands.
class line_splice {
public:
    line_splice(std::string_view source, std::string& into)
        : line(source), out(into), from(source.data()) {
        out.clear();
    }
    // Copies what lies before `field` (a view into the line) and passes over the field.
    std::string& replace(std::string_view field) {
        out.append(from, field.data());
        from = field.data() + field.size();
        return out;
    }
    // Copies the rest of the line.
    std::string_view finish() {
        out.append(from, line.data() + line.size());
        return out;
    }

private:
    std::string_view line;
    std::string& out;
    const char* from;  // the first byte not yet in `out`
};

// Whether a data line may hold a phase to take away: a PS key, or a '|' in its sample values.
// `head`: its first 10 fields or fewer.
bool mayHoldPhase(std::string_view line, const std::vector<std::string_view>& head);

// The one warning of a run whose scanned samples lost `count` phased genotypes of the VCF.
void reportLostPhase(uint64_t count);
