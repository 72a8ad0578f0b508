// The fields of a VCF line as the reader cuts them, walked without copies, and its position.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

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

// strtol rules in 64 bits, so that no position wraps. The field ends at a blank or at the
// line's terminating NUL, where strtoll stops, so it reads nothing beyond the field.
inline int64_t parsePosition(std::string_view field) {
    return std::strtoll(field.data(), nullptr, 10);
}
