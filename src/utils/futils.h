// File helpers: existence and creation tests, extensions, and packed bit vectors.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class futils {
public:
    static bool isFile(const std::string& name);
    static bool createFile(const std::string& name);
    // The text after the last '.', or empty.
    static std::string extensionFile(const std::string& name);
    static void bool2binary(const std::vector<bool>& v, std::ostream& out);
    static bool binary2bool(std::vector<bool>& v, std::istream& in);
};
