// Fuzzes the three line splitters against plain reference splitters, also when the token
// vector they write into already holds strings from an earlier line.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "utils/sutils.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Runs of blanks separate; the text before the first and after the last run counts even empty.
std::vector<std::string> positionalFields(const std::string& str) {
    std::vector<std::string> fields(1);
    bool inRun = false;
    for (char c : str) {
        if (!isBlank(c)) {
            fields.back() += c;
            inRun = false;
        } else if (!inRun) {
            fields.emplace_back();
            inRun = true;
        }
    }
    return fields;
}

// Runs of delimiters separate, and empty fields are dropped.
std::vector<std::string> nonEmptyFields(const std::string& str, const std::string& delimiters,
                                        int maximum) {
    std::vector<std::string> fields;
    std::string current;
    auto close = [&] {
        if (!current.empty()) fields.push_back(current);
        current.clear();
    };
    for (char c : str) {
        if (delimiters.find(c) != std::string::npos) close();
        else current += c;
    }
    close();
    if (maximum >= 0 && fields.size() > static_cast<size_t>(maximum)) fields.resize(maximum);
    return fields;
}

// What a reader's vector holds from the line before.
std::vector<std::string> leftovers(size_t count) {
    std::vector<std::string> tokens;
    for (size_t k = 0; k < count; ++k) tokens.push_back(std::string(k * 7, 'x'));
    return tokens;
}

}  // namespace

FUZZ_TARGET_PREPARED

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string delimiters = in.ConsumeRandomLengthString(6);
    const int maximum = in.ConsumeIntegralInRange<int>(-2, 12);
    const size_t held = in.ConsumeIntegralInRange<size_t>(0, 6);
    const std::string line = in.ConsumeRemainingBytesAsString();

    std::vector<std::string> tokens = leftovers(held);
    int count = sutils::tokenize(line, tokens);
    FUZZ_CHECK(count == static_cast<int>(tokens.size()));
    FUZZ_CHECK(tokens == positionalFields(line));

    tokens = leftovers(held);
    count = sutils::tokenize(line, tokens, delimiters);
    FUZZ_CHECK(count == static_cast<int>(tokens.size()));
    FUZZ_CHECK(tokens == nonEmptyFields(line, delimiters, -1));

    tokens = leftovers(held);
    count = sutils::tokenize(line, tokens, maximum);
    FUZZ_CHECK(count == static_cast<int>(tokens.size()));
    FUZZ_CHECK(tokens == nonEmptyFields(line, std::string(" \t"), maximum));
    return 0;
}
