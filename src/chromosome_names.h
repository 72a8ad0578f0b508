// The two spellings of a chromosome's name that references use: chr20 and 20, chrM and MT.
#pragma once

#include <string>
#include <string_view>

// chr20 for 20 and 20 for chr20; MT for chrM and chrM for MT.
inline std::string otherSpelling(std::string_view name) {
    if (name == "chrM") return "MT";
    if (name == "MT") return "chrM";
    if (name.substr(0, 3) == "chr") return std::string(name.substr(3));
    return "chr" + std::string(name);
}

inline bool sameChromosome(std::string_view a, std::string_view b) {
    return a == b || otherSpelling(a) == b;
}
