// String helpers: number and vector texts, dates, and the field splitters of the input readers.
#include "utils/sutils.h"

#include <array>
#include <iomanip>
#include <sstream>

namespace {

// The splitters run once per input line: they overwrite the strings already held by the
// vector, so a reader that keeps one vector across lines allocates only when a field grows.
class token_writer {
public:
    explicit token_writer(std::vector<std::string>& out) : tokens(out) {}
    void add(const char* begin, const char* end) {
        const size_t length = static_cast<size_t>(end - begin);
        if (count < tokens.size()) tokens[count].assign(begin, length);
        else tokens.emplace_back(begin, length);
        ++count;
    }
    int finish() {
        tokens.resize(count);
        return static_cast<int>(count);
    }
    size_t size() const { return count; }

private:
    std::vector<std::string>& tokens;
    size_t count = 0;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

using delimiter_table = std::array<bool, 256>;

delimiter_table tableOf(const std::string& delimiters) {
    delimiter_table table{};
    for (char c : delimiters) table[static_cast<unsigned char>(c)] = true;
    return table;
}

// Fields separated by runs of delimiters; runs at either end yield nothing. Stops after
// `maximum` tokens when it is not negative.
int splitSkippingRuns(const std::string& str, std::vector<std::string>& tokens,
                      const delimiter_table& table, long maximum) {
    token_writer out(tokens);
    const char* p = str.data();
    const char* const end = p + str.size();
    auto isDelimiter = [&table](char c) { return table[static_cast<unsigned char>(c)]; };
    while (maximum < 0 || out.size() < static_cast<size_t>(maximum)) {
        while (p != end && isDelimiter(*p)) ++p;
        if (p == end) break;
        const char* start = p;
        while (p != end && !isDelimiter(*p)) ++p;
        out.add(start, p);
    }
    return out.finish();
}

std::string fixed(double x, int precision) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(precision) << x;
    return text.str();
}

}  // namespace

std::string sutils::int2str(int n) { return std::to_string(n); }

std::string sutils::int2str(const std::vector<int>& v) {
    std::string text;
    for (int n : v) text += n >= 0 ? std::to_string(n) : std::string("-");
    return text;
}

std::string sutils::long2str(long n) { return std::to_string(n); }

// A precision of 0 or less means the stream default here, unlike the vector form below.
std::string sutils::double2str(double x, int precision) {
    return fixed(x, precision > 0 ? precision : 6);
}

std::string sutils::double2str(const std::vector<double>& v, int precision) {
    std::string text;
    for (double x : v) {
        text += fixed(x, precision >= 0 ? precision : 6);
        text += ' ';
    }
    return text;
}

std::string sutils::bool2str(const std::vector<bool>& v) {
    std::string text;
    text.reserve(v.size());
    for (bool b : v) text += b ? '1' : '0';
    return text;
}

// strftime leaves the buffer undefined when the text does not fit; it then returns 0.
std::string sutils::date2str(const time_t* t, const std::string& format) {
    if (t == nullptr) return std::string();
    struct tm local;
    if (localtime_r(t, &local) == nullptr) return std::string();
    char buffer[128];
    // The format is the caller's by design; strftime only reads it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const size_t length = strftime(buffer, sizeof buffer, format.c_str(), &local);
#pragma GCC diagnostic pop
    return std::string(buffer, length);
}

// Runs of spaces and tabs are one separator; the text before the first and after the last
// separator is a token even when empty, so the count of fields stays positional.
int sutils::tokenize(const std::string& str, std::vector<std::string>& tokens) {
    token_writer out(tokens);
    const char* p = str.data();
    const char* const end = p + str.size();
    for (;;) {
        const char* start = p;
        while (p != end && !isBlank(*p)) ++p;
        out.add(start, p);
        if (p == end) break;
        while (p != end && isBlank(*p)) ++p;
    }
    return out.finish();
}

int sutils::tokenize(const std::string& str, std::vector<std::string>& tokens,
                     const std::string& delimiters) {
    return splitSkippingRuns(str, tokens, tableOf(delimiters), -1);
}

int sutils::tokenize(const std::string& str, std::vector<std::string>& tokens, int maximum) {
    static const delimiter_table blanks = tableOf(" \t");
    return splitSkippingRuns(str, tokens, blanks, maximum);
}
