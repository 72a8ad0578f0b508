// The fields of a VCF line as the reader cuts them, walked without copies, and its position.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

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
        // Most characters lie above the space, and one comparison tells them.
        while (p < end && (static_cast<unsigned char>(*p) > ' ' || !isBlank(*p))) ++p;
        field = std::string_view(start, static_cast<size_t>(p - start));
        skipSeparator();
        return true;
    }

    // Takes the next field only when it is exactly three characters with no ':' (the usual
    // diploid call, whose whole value is its genotype), and gives it. Otherwise takes nothing:
    // the caller falls back to next().
    bool nextCall(std::string_view& call) {
        if (finished || end - p < 3 || isSpecial(p[0]) || isSpecial(p[1]) || isSpecial(p[2]))
            return false;
        if (p + 3 != end && !isBlank(p[3])) return false;
        call = std::string_view(p, 3);
        p += 3;
        skipSeparator();
        return true;
    }

private:
    static bool isBlank(char c) { return c == ' ' || c == '\t'; }
    static bool isSpecial(char c) { return isBlank(c) || c == ':'; }

    void skipSeparator() {
        if (p == end) finished = true;
        while (p < end && isBlank(*p)) ++p;
    }

    const char* p;
    const char* end;
    bool finished = false;
};

// The first `limit` fields of a line, cut as the VCF reader cuts them, in place; fewer when the
// line has fewer. Into `fields`, whose room is kept from line to line.
inline void firstFields(std::string_view line, size_t limit, std::vector<std::string_view>& fields) {
    field_walker walk(line);
    fields.clear();
    for (std::string_view field; fields.size() < limit && walk.next(field);)
        fields.push_back(field);
}

// The fields after those `fields` holds (the first ones of the line, as firstFields cut them),
// up to `limit` in all: a line's first fields found again cost as much as the rest.
inline void moreFields(std::string_view line, size_t limit, std::vector<std::string_view>& fields) {
    if (fields.empty()) return firstFields(line, limit, fields);
    const std::string_view last = fields.back();
    auto at = static_cast<size_t>(last.data() + last.size() - line.data());
    if (fields.size() >= limit || at == line.size()) return fields.resize(std::min(limit, fields.size()));
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    field_walker walk(line.substr(at));
    for (std::string_view field; fields.size() < limit && walk.next(field);)
        fields.push_back(field);
}

inline std::vector<std::string_view> firstFields(std::string_view line, size_t limit) {
    std::vector<std::string_view> fields;
    fields.reserve(limit);  // one allocation, not one per doubling
    firstFields(line, limit, fields);
    return fields;
}

// strtol rules in 64 bits, so that no position wraps. The field ends at a blank or at the
// line's terminating NUL, where strtoll stops, so it reads nothing beyond the field.
inline int64_t parsePosition(std::string_view field) {
    return std::strtoll(field.data(), nullptr, 10);
}

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

// The index of the last `key` of a FORMAT field, or -1.
inline long keyIndex(std::string_view format, std::string_view key) {
    part_walker keys(format);
    std::string_view part;
    long index = -1;
    for (long k = 0; keys.next(part); ++k)
        if (part == key) index = k;
    return index;
}

// The part of a sample value at a FORMAT index, in place; empty when the value has fewer parts.
inline std::string_view valuePart(std::string_view value, long index) {
    part_walker parts(value);
    std::string_view part;
    for (long k = 0; k <= index; ++k)
        if (!parts.next(part)) return std::string_view();
    return part;
}

// 0 and 1, or 1 and 0: the two differ in the lowest bit only, and the first is a 0 or a 1.
// Without branches, because a cohort's calls come in no order a predictor could learn.
inline bool isHeterozygousCall(char first, char third) {
    const auto a = static_cast<unsigned char>(first), b = static_cast<unsigned char>(third);
    return ((a ^ b) == 1) & ((a & 0xFEu) == '0');
}

// A genotype is heterozygous when it reads 0?1 or 1?0, whatever follows: the sites whose
// reads are scanned. Only a diploid call of alleles 0 and 1 (0/1, 1/0, 0|1, 1|0) can be
// written phased, so only such a call is phased.
inline bool isHeterozygousGenotype(std::string_view genotype) {
    return genotype.size() >= 3 && isHeterozygousCall(genotype[0], genotype[2]);
}
inline bool isPhasableGenotype(std::string_view genotype) {
    return genotype.size() == 3 && (genotype[1] == '/' || genotype[1] == '|') &&
           isHeterozygousCall(genotype[0], genotype[2]);
}
