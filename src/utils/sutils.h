// String helpers: numbers and vectors as text, and the line splitters of the input readers.
#pragma once

#include <ctime>
#include <string>
#include <vector>

class sutils {
public:
    static std::string int2str(int n);
    static std::string int2str(const std::vector<int>& v);
    static std::string long2str(long n);
    static std::string double2str(double x, int precision);
    static std::string double2str(const std::vector<double>& v, int precision);
    static std::string bool2str(const std::vector<bool>& v);
    static std::string date2str(const time_t* t, const std::string& format);

    // Splits at runs of spaces and tabs; keeps an empty first/last token for a leading/trailing run.
    static int tokenize(const std::string& str, std::vector<std::string>& tokens);
    // Splits at runs of any of `delimiters`; never yields an empty token.
    static int tokenize(const std::string& str, std::vector<std::string>& tokens,
                        const std::string& delimiters);
    // As above with spaces and tabs, stopping after `maximum` tokens (no limit when negative).
    static int tokenize(const std::string& str, std::vector<std::string>& tokens, int maximum);
};
