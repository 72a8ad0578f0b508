// The sites of one run, in VCF order, with a lookup by position; writes the map section.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ofile;

// One accepted VCF data line. `pos` is the 1-based VCF position.
struct site {
    int32_t pos = 0;
    std::string ref;
    std::string alt;
    uint32_t idx = 0;
    bool snp = false;
};

class pos_index {
public:
    pos_index() = default;
    pos_index(const pos_index&) = delete;
    pos_index& operator=(const pos_index&) = delete;

    int size() const { return static_cast<int>(list.size()); }
    // Null when the index is out of range.
    site* getI(int index) const;
    // The first site added with this position and exactly these alleles, or null.
    site* getP(int position, const std::string& ref, const std::string& alt) const;
    // Adds at the end; no duplicate test.
    void push(site* s);
    void writeMAP(ofile& file) const;

    // Unchecked index access for the scan's inner loops.
    const site& operator[](int index) const { return *list[static_cast<size_t>(index)]; }

private:
    std::vector<site*> list;
    std::multimap<int32_t, site*> byPos;
};
